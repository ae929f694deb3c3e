#include <QtTest>

#include "evtparser.h"
#include "id3parser.h"
#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3item.h"
#include "zvr3metatype_p.h"
#include "zvr3parser.h"
#include "zvr3testutil.h"

class tst_zvr3base : public QObject
{
    Q_OBJECT
private slots:
    void recordsRegisterUnderTheirNames_data();
    void recordsRegisterUnderTheirNames();
    void defaults();
    void unknownValuesPassWithoutEffect_data();
    void unknownValuesPassWithoutEffect();
};

void tst_zvr3base::recordsRegisterUnderTheirNames_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("zvr3command") << zvr3value(zvr3command()) << QByteArray("zvr3command");
    QTest::newRow("zvr3error") << zvr3value(zvr3error()) << QByteArray("zvr3error");
    QTest::newRow("zvr3item") << zvr3value(zvr3item()) << QByteArray("zvr3item");
    QTest::newRow("HDR_T") << zvr3value(HDR_T()) << QByteArray("HDR_T");
    QTest::newRow("ARCHIVE_T_HDR") << zvr3value(ARCHIVE_T_HDR()) << QByteArray("ARCHIVE_T_HDR");
    QTest::newRow("IDX_T") << zvr3value(IDX_T()) << QByteArray("IDX_T");
    QTest::newRow("DATA_T") << zvr3value(DATA_T()) << QByteArray("DATA_T");
    QTest::newRow("combined") << zvr3value(zvr3parser_combined_DATA_T()) << QByteArray("zvr3parser_combined_DATA_T");
    QTest::newRow("position") << zvr3value(zvr3parser_position()) << QByteArray("zvr3parser_position");
    QTest::newRow("ZVR_ID3_REC") << zvr3value(ZVR_ID3_REC()) << QByteArray("ZVR_ID3_REC");
    QTest::newRow("EVENTS_FILE_DATA_T") << zvr3value(EVENTS_FILE_DATA_T()) << QByteArray("EVENTS_FILE_DATA_T");
    QTest::newRow("EVENTS_FILE_LIST_T") << zvr3value(EVENTS_FILE_LIST_T()) << QByteArray("EVENTS_FILE_LIST_T");
}

void tst_zvr3base::recordsRegisterUnderTheirNames()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, name);
    QCOMPARE(QByteArray(value.typeName()), name);
    const QMetaType byName = QMetaType::fromName(name);
    QVERIFY(byName.isValid());
    QCOMPARE(byName.id(), value.userType());
    // Whole frames and single records are different types, though they have the same fields.
    QVERIFY(!zvr3holds<DATA_T>(zvr3value(zvr3parser_combined_DATA_T())));
}

void tst_zvr3base::defaults()
{
    const zvr3error error;
    QCOMPARE(error.code, 0);
    QVERIFY(error.text.isEmpty());
    const zvr3command command;
    QCOMPARE(command.code, 0);
    QVERIFY(!command.data.isValid());
    const zvr3command open(2, QUrl(QStringLiteral("tcp://host")));
    QCOMPARE(open.code, 2);
    QCOMPARE(open.data.toUrl().host(), QStringLiteral("host"));
}

void tst_zvr3base::unknownValuesPassWithoutEffect_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::newRow("invalid") << QVariant();
    QTest::newRow("int") << QVariant(42);
    QTest::newRow("string") << QVariant(QStringLiteral("\xB5\xB5"));
    QTest::newRow("command") << zvr3value(zvr3command(2, QByteArray("x")));
    QTest::newRow("record") << zvr3value(DATA_T());
}

void tst_zvr3base::unknownValuesPassWithoutEffect()
{
    QFETCH(QVariant, value);
    const QByteArray header = QByteArray::fromHex("b5b505b5090000000000");
    zvr3parser parser;
    id3parser index;
    evtparser events;
    for (zvr3parserbase *node : {static_cast<zvr3parserbase *>(&parser), static_cast<zvr3parserbase *>(&index),
                                 static_cast<zvr3parserbase *>(&events)}) {
        zvr3test::Recorder out(node);
        node->slotData(value);
        QVERIFY(out.values.isEmpty());
    }
    // Nothing was buffered either: the stream still starts at position 0.
    const QList<QVariant> values = zvr3test::feed(parser, header, 0);
    QCOMPARE(values.size(), 3);
    QCOMPARE(values.at(1).value<zvr3parser_position>().position, 0);
}

QTEST_GUILESS_MAIN(tst_zvr3base)
#include "tst_zvr3base.moc"

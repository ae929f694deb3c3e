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
    void recordsRegisterUnderTheirNames_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("zvr3command") << zvr3value(zvr3command());
        QTest::newRow("zvr3error") << zvr3value(zvr3error());
        QTest::newRow("zvr3item") << zvr3value(zvr3item());
        QTest::newRow("HDR_T") << zvr3value(HDR_T());
        QTest::newRow("ARCHIVE_T_HDR") << zvr3value(ARCHIVE_T_HDR());
        QTest::newRow("IDX_T") << zvr3value(IDX_T());
        QTest::newRow("DATA_T") << zvr3value(DATA_T());
        QTest::newRow("zvr3parser_combined_DATA_T") << zvr3value(zvr3parser_combined_DATA_T());
        QTest::newRow("zvr3parser_position") << zvr3value(zvr3parser_position());
        QTest::newRow("ZVR_ID3_REC") << zvr3value(ZVR_ID3_REC());
        QTest::newRow("EVENTS_FILE_DATA_T") << zvr3value(EVENTS_FILE_DATA_T());
        QTest::newRow("EVENTS_FILE_LIST_T") << zvr3value(EVENTS_FILE_LIST_T());
    }

    void recordsRegisterUnderTheirNames()
    {
        // Each type under the row's name, found by that name (as queued connections do), and a
        // whole frame never taken for a single record.
        QFETCH(QVariant, value);
        const QByteArray name = QTest::currentDataTag();
        QCOMPARE(QByteArray(value.typeName()), name);
        QCOMPARE(QMetaType::fromName(name).id(), value.userType());
        QVERIFY(!zvr3holds<DATA_T>(zvr3value(zvr3parser_combined_DATA_T())));
    }

    void unknownValuesPassWithoutEffect_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("invalid") << QVariant();
        QTest::newRow("int") << QVariant(42);
        QTest::newRow("string") << QVariant(QStringLiteral("\xB5\xB5"));
        QTest::newRow("command") << zvr3value(zvr3command(2, QByteArray("x")));
        QTest::newRow("record") << zvr3value(DATA_T());
    }

    void unknownValuesPassWithoutEffect()
    {
        // Nothing comes out, and nothing is buffered: the stream parser's first header is still at 0.
        QFETCH(QVariant, value);
        zvr3parser parser;
        id3parser index;
        evtparser events;
        for (zvr3parserbase *node : std::initializer_list<zvr3parserbase *>{&parser, &index, &events}) {
            zvr3test::Recorder out(node);
            node->slotData(value);
            QVERIFY(out.values.isEmpty());
        }
        const QList<QVariant> values = zvr3test::feed(parser, QByteArray::fromHex("b5b505b5090000000000"), 0);
        QCOMPARE(zvr3test::listing(values).value(1),
                 R"({"record": "zvr3parser_position", "type": 1, "position": 0, "length": 9})");
    }
};

QTEST_GUILESS_MAIN(tst_zvr3base)
#include "tst_zvr3base.moc"

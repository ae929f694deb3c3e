#include <QtTest>

#include "evtparser.h"
#include "id3parser.h"
#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3item.h"
#include "zvr3metatype_p.h"
#include "zvr3parser.h"

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
};

QTEST_GUILESS_MAIN(tst_zvr3base)
#include "tst_zvr3base.moc"

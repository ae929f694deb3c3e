#include <QtTest>

#include "evtparser.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

class tst_evtparser : public QObject
{
    Q_OBJECT
private slots:
    void records_data()
    {
        QTest::addColumn<int>("chunkSize");
        QTest::newRow("1") << 1;
        QTest::newRow("7") << 7;
        QTest::newRow("1460") << 1460;
    }

    void records()
    {
        // A record without texts, and one whose second text is empty. Repeated, so that chunks
        // end inside every field; a record whose text is cut waits for the text's zero byte.
        QFETCH(int, chunkSize);
        const EVENTS_FILE_DATA_T a{Q_INT64_C(4000000000000), 77, {}};
        const EVENTS_FILE_DATA_T b{5000, 0xFFFFFFFF, {{3, QStringLiteral("Motion \u0434")}, {4, QString()}}};
        const QByteArray bytes = (zvr3stream::encodeEvent(a) + zvr3stream::encodeEvent(b)).repeated(50);
        evtparser whole;
        const QStringList expected = zvr3test::listing(zvr3test::feed(whole, bytes, 0));
        QCOMPARE(expected.mid(0, 4), QStringList({
            R"({"record": "zvr3parser_position", "type": 6, "position": 0, "length": 9})",
            R"({"record": "EVENTS_FILE_DATA_T", "time": 4000000000000, "number": 77, "texts": []})",
            R"({"record": "zvr3parser_position", "type": 6, "position": 9, "length": 22})",
            QString::fromUtf8(R"({"record": "EVENTS_FILE_DATA_T", "time": 5000, "number": 4294967295, "texts": [{"id": 3, "text": "Motion д"}, {"id": 4, "text": ""}]})"),
        }));
        QCOMPARE(expected.size(), 200);
        QCOMPARE(expected.at(198), R"({"record": "zvr3parser_position", "type": 6, "position": 1528, "length": 22})");
        evtparser parser;
        QCOMPARE(zvr3test::listing(zvr3test::feed(parser, bytes, chunkSize)), expected);
    }
};

QTEST_GUILESS_MAIN(tst_evtparser)
#include "tst_evtparser.moc"

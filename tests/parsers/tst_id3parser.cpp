#include <QtTest>

#include "id3parser.h"
#include "zvr3testutil.h"

class tst_id3parser : public QObject
{
    Q_OBJECT
private slots:
    void entries_data()
    {
        QTest::addColumn<int>("chunkSize");
        QTest::newRow("whole") << 0;
        QTest::newRow("10") << 10;
        QTest::newRow("1") << 1;
    }

    void entries()
    {
        QFETCH(int, chunkSize);
        // Type 1, count 9, unused, position bits 32-39 = 0x01, 4,000,000,000 s, position bits 0-31
        // 0x80000000, pairs 1 to 12; then type 7, count 3, position bits 32-39 = 0.
        const QByteArray file = zvr3test::hex("01 09 FF 01 00 28 6B EE 00 00 00 80 01 02 03 04 05 06 07 08 09 0A 0B 0C"
                                              "07 03 FF 00 00 28 6B EE 00 00 00 80 01 02 03 04 05 06 07 08 09 0A 0B 0C");
        id3parser parser;
        QCOMPARE(zvr3test::listing(zvr3test::feed(parser, file, chunkSize)), QStringList({
            R"({"record": "zvr3parser_position", "type": 5, "position": 0, "length": 24})",
            R"({"record": "ZVR_ID3_REC", "type": 1, "count": 6, "position": 6442450944, "time": 4000000000000, "pairs": [[1, 2], [3, 4], [5, 6], [7, 8], [9, 10], [11, 12]]})",
            R"({"record": "zvr3parser_position", "type": 5, "position": 24, "length": 24})",
            R"({"record": "ZVR_ID3_REC", "type": 7, "count": 3, "position": 2147483648, "time": 4000000000000, "pairs": [[1, 2], [3, 4], [5, 6], [7, 8], [9, 10], [11, 12]]})",
        }));
        QVERIFY(zvr3test::feed(parser, QByteArray(23, '\0'), 0).isEmpty());  // a part entry stays unread
    }
};

QTEST_GUILESS_MAIN(tst_id3parser)
#include "tst_id3parser.moc"

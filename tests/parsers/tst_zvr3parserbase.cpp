#include <QtTest>

#include "evtparser.h"
#include "id3parser.h"
#include "zvr3command.h"
#include "zvr3metatype_p.h"
#include "zvr3parser.h"
#include "zvr3parser_buffer.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

// The parser base with its buffer, and the two parsers of fixed-layout files built on it. The
// stream parser has tests of its own.
class tst_zvr3parserbase : public QObject
{
    Q_OBJECT
private slots:
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

    // The buffer's number readers, and appending chunks of every size, are covered by the parser
    // tests: any record cut short or misplaced there changes what the parsers emit.
    void readString_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("from");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("after");
        QTest::newRow("text") << QByteArray("ab\0c", 4) << 0 << QStringLiteral("ab") << 3;
        QTest::newRow("empty text") << QByteArray("\0ab", 3) << 0 << QString() << 1;
        QTest::newRow("no zero yet") << QByteArray("abc") << 0 << QString() << 0;
        QTest::newRow("at the end") << QByteArray("ab") << 2 << QString() << 2;
        QTest::newRow("past the end") << QByteArray("ab") << 9 << QString() << 9;
        QTest::newRow("utf-8") << QByteArray("\xd0\x9a\xd0\xb0\0", 5) << 0 << QStringLiteral("\u041a\u0430") << 5;
    }

    void readString()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, from);
        QFETCH(QString, text);
        QFETCH(int, after);
        zvr3parser_buffer b;
        b.append(bytes);
        QCOMPARE(b.readString(from), text);
        QCOMPARE(from, after);
    }

    void skipPastTheEndCarriesOver()
    {
        zvr3parser_buffer b;
        b.append("abc");
        b.advance(5);  // 2 bytes beyond what has arrived
        b.append("d");  // swallowed by the skip, as is the "e" that follows
        b.append("efgh");
        QCOMPARE(b.available(), 3);
        QCOMPARE(b.position(), 5);
        int pos = 0;
        QCOMPARE(b.readBytes(pos, 3), QByteArray("fgh"));
    }

    void indexFile_data()
    {
        QTest::addColumn<int>("chunkSize");
        QTest::newRow("whole") << 0;
        QTest::newRow("10") << 10;
        QTest::newRow("1") << 1;
    }

    void indexFile()
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

    void eventFile_data()
    {
        QTest::addColumn<int>("chunkSize");
        QTest::newRow("1") << 1;
        QTest::newRow("7") << 7;
        QTest::newRow("1460") << 1460;
    }

    void eventFile()
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

QTEST_GUILESS_MAIN(tst_zvr3parserbase)
#include "tst_zvr3parserbase.moc"

#include <QtTest>

#include "zvr3parser_buffer.h"

class tst_zvr3parser_buffer : public QObject
{
    Q_OBJECT
private slots:
    void readersStopAtTheEnd()
    {
        // Reads past what has arrived give 0 or zero bytes, and still advance the position.
        zvr3parser_buffer b;
        b.append(QByteArray::fromHex("0102030405"));
        int pos = 0;
        QCOMPARE(b.readU32(pos), 0x04030201u);
        QCOMPARE(b.readU16(pos), 0);  // one byte short
        QCOMPARE(b.readU8(pos), 0);
        QCOMPARE(pos, 7);
        pos = 3;
        QCOMPARE(b.readBytes(pos, 3), QByteArray(3, '\0'));
        QCOMPARE(pos, 6);
        pos = 3;
        QCOMPARE(b.readBytes(pos, 2), QByteArray::fromHex("0405"));
        QCOMPARE(b.readU8(--pos), 5);
        QCOMPARE(b.peekU32(1), 0x05040302u);
        QCOMPARE(b.peekU32(2), 0u);
    }

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

    void appendKeepsPositions()
    {
        zvr3parser_buffer b;
        b.append("abcd");
        b.advance(3);
        b.append("ef");  // "d" is still unconsumed and stays in front of the new bytes
        QCOMPARE(b.available(), 3);
        QCOMPARE(b.position(), 3);
        QByteArray expected = "def";
        for (int i = 0; i < 1000; ++i) {
            b.append(QByteArray(1, char('0' + i % 10)));
            expected += char('0' + i % 10);
            if (i % 100 == 0)
                b.advance(1);  // consumed bytes are dropped as the buffer goes on
        }
        int pos = 0;
        QCOMPARE(b.readBytes(pos, int(b.available())), expected.mid(10));
        QCOMPARE(b.position(), 13);
        b.advance(b.available());
        b.append("xyz");
        QCOMPARE(b.position(), 1006);
        QCOMPARE(b.peekU32(0), 0u);
    }

    void skipPastTheEndCarriesOver()
    {
        zvr3parser_buffer b;
        b.append("abc");
        b.advance(5);  // 2 bytes beyond what has arrived
        QCOMPARE(b.available(), -2);
        b.append("d");  // swallowed by the skip
        QCOMPARE(b.available(), -1);
        b.append("efgh");
        QCOMPARE(b.available(), 3);
        QCOMPARE(b.position(), 5);
        int pos = 0;
        QCOMPARE(b.readBytes(pos, 3), QByteArray("fgh"));
    }
};

QTEST_GUILESS_MAIN(tst_zvr3parser_buffer)
#include "tst_zvr3parser_buffer.moc"

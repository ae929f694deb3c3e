#include <QtTest>

#include "zvr3parser_buffer.h"

class tst_zvr3parser_buffer : public QObject
{
    Q_OBJECT
private slots:
    // The number readers, and appending chunks of every size, are covered by the parser tests: any
    // record cut short or misplaced there changes what the parsers emit.

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

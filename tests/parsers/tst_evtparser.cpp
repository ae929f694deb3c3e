#include <QtTest>

#include "evtparser.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

class tst_evtparser : public QObject
{
    Q_OBJECT
private slots:
    void records();
    void chunkInvariance_data();
    void chunkInvariance();
    void cutTextWaits();
};

namespace {
QByteArray twoRecords()
{
    EVENTS_FILE_DATA_T a;
    a.time = Q_INT64_C(4000000000000);
    a.number = 77;
    EVENTS_FILE_DATA_T b;
    b.time = 5000;
    b.number = 0xFFFFFFFF;
    b.texts = {{3, QStringLiteral("Motion \u0434")}, {4, QString()}};
    return zvr3stream::encodeEvent(a) + zvr3stream::encodeEvent(b);
}
}

void tst_evtparser::records()
{
    evtparser parser;
    const QByteArray bytes = twoRecords();
    QCOMPARE(bytes.size(), 9 + 9 + 1 + 10 + 1 + 1);
    const QStringList expected = {
        R"({"record": "zvr3parser_position", "type": 6, "position": 0, "length": 9})",
        R"({"record": "EVENTS_FILE_DATA_T", "time": 4000000000000, "number": 77, "texts": []})",
        R"({"record": "zvr3parser_position", "type": 6, "position": 9, "length": 22})",
        QString::fromUtf8(R"({"record": "EVENTS_FILE_DATA_T", "time": 5000, "number": 4294967295, "texts": [{"id": 3, "text": "Motion д"}, {"id": 4, "text": ""}]})"),
    };
    QCOMPARE(zvr3test::listing(zvr3test::feed(parser, bytes, 0)), expected);
}

void tst_evtparser::chunkInvariance_data()
{
    QTest::addColumn<int>("chunkSize");
    QTest::newRow("1") << 1;
    QTest::newRow("7") << 7;
    QTest::newRow("1460") << 1460;
}

void tst_evtparser::chunkInvariance()
{
    QFETCH(int, chunkSize);
    const QByteArray bytes = twoRecords().repeated(20);
    evtparser whole;
    evtparser chunked;
    QCOMPARE(zvr3test::listing(zvr3test::feed(chunked, bytes, chunkSize)),
             zvr3test::listing(zvr3test::feed(whole, bytes, 0)));
}

void tst_evtparser::cutTextWaits()
{
    // The record's first text is cut after "Mo": it is not read as empty, the record waits.
    evtparser parser;
    const QByteArray bytes = twoRecords().mid(9);
    QVERIFY(zvr3test::feed(parser, bytes.left(12), 0).isEmpty());
    const QList<QVariant> out = zvr3test::feed(parser, bytes.mid(12), 0);
    QCOMPARE(out.size(), 2);
    QCOMPARE(out.at(1).value<EVENTS_FILE_DATA_T>().texts.at(0).text, QStringLiteral("Motion \u0434"));
}

QTEST_GUILESS_MAIN(tst_evtparser)
#include "tst_evtparser.moc"

#include <QtTest>

#include "id3parser.h"
#include "zvr3testutil.h"

class tst_id3parser : public QObject
{
    Q_OBJECT
private slots:
    void entries_data();
    void entries();
    void fields();
};

namespace {
// type 1, count 9, unused, position bits 32-39 = 0x01, 4,000,000,000 s, position low 0x80000000, pairs 1..12
const QByteArray Entry = zvr3test::hex("01 09 FF 01 00 28 6B EE 00 00 00 80 01 02 03 04 05 06 07 08 09 0A 0B 0C");
}

void tst_id3parser::entries_data()
{
    QTest::addColumn<int>("chunkSize");
    QTest::newRow("whole") << 0;
    QTest::newRow("10") << 10;
    QTest::newRow("1") << 1;
}

void tst_id3parser::entries()
{
    QFETCH(int, chunkSize);
    id3parser parser;
    QByteArray file = Entry + Entry;
    file[24] = 7;  // the second entry's type
    zvr3test::Recorder out(&parser);
    QList<int> emittedAt;  // bytes fed when each record came out
    int fed = 0;
    QObject::connect(&parser, &zvr3base::sigData, &parser, [&](const QVariant &v) {
        if (v.metaType() == QMetaType::fromType<ZVR_ID3_REC>())
            emittedAt.append(fed);
    });
    const int step = chunkSize ? chunkSize : int(file.size());
    for (int at = 0; at < file.size(); at += step) {
        fed = qMin<int>(at + step, int(file.size()));
        parser.slotData(file.mid(at, step));
    }
    parser.slotData(QByteArray(23, '\0'));  // a trailing part entry stays unread
    const QStringList expected = {
        R"({"record": "zvr3parser_position", "type": 5, "position": 0, "length": 24})",
        R"({"record": "ZVR_ID3_REC", "type": 1, "count": 6, "position": 6442450944, "time": 4000000000000, "pairs": [[1, 2], [3, 4], [5, 6], [7, 8], [9, 10], [11, 12]]})",
        R"({"record": "zvr3parser_position", "type": 5, "position": 24, "length": 24})",
        R"({"record": "ZVR_ID3_REC", "type": 7, "count": 6, "position": 6442450944, "time": 4000000000000, "pairs": [[1, 2], [3, 4], [5, 6], [7, 8], [9, 10], [11, 12]]})",
    };
    QCOMPARE(zvr3test::listing(out.values), expected);
    // Each entry comes out as soon as its 24th byte is there.
    const int first = chunkSize ? ((24 + step - 1) / step) * step : 48;
    QCOMPARE(emittedAt.first(), qMin(first, 48));
    QCOMPARE(emittedAt.last(), 48);
}

void tst_id3parser::fields()
{
    id3parser parser;
    QByteArray e = Entry;
    e[1] = 3;
    e[3] = 0;
    const auto values = zvr3test::feed(parser, e, 0);
    const ZVR_ID3_REC r = values.at(1).value<ZVR_ID3_REC>();
    QCOMPARE(r.count, 3u);
    QCOMPARE(r.position, Q_INT64_C(0x80000000));
    QCOMPARE(r.pairs[5].second, 12u);  // all six pairs are read whatever count says
}

QTEST_GUILESS_MAIN(tst_id3parser)
#include "tst_id3parser.moc"

#include <QtTest>

#include "zvr3decoder_priv_nmea.h"
#include "zvr3decoder_priv_text.h"
#include "zvr3metatype_p.h"

// The text and NMEA decoders, driven by direct decode() calls on the test's thread.
class tst_zvr3decoder_priv_nmea : public QObject
{
    Q_OBJECT
private slots:
    void text_data();
    void text();
    void rmcWorkedExample();
    void sentenceSplitAcrossItems_data();
    void sentenceSplitAcrossItems();
    void cutInName();
    void ignoredSentences_data();
    void ignoredSentences();
    void rmcVoidStatus();
    void gga_data();
    void gga();
    void pgrme();
    void time_data();
    void time();
    void runawaySentenceIsDropped();

private:
    static STREAM_T stream(const char *codec);
    static QList<QVariant> decode(zvr3decoder_priv &decoder, const QList<QByteArray> &payloads);
    static zvr3position_info position(const QVariant &value) { return value.value<zvr3item>().value.value<zvr3position_info>(); }
};

namespace {
const QByteArray Rmc("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
const QByteArray Gga("$GPGGA,123519,4807.038,N,01131.000,W,1,08,2,545.4,M,46.9,M,,*47\r\n");
constexpr qint64 RmcTime = 764426119000LL;  // 1994-03-23 12:35:19 UTC
}

STREAM_T tst_zvr3decoder_priv_nmea::stream(const char *codec)
{
    STREAM_T s;
    s.number = 1;
    s.type = 4;
    s.codec = QString::fromLatin1(codec);
    return s;
}

QList<QVariant> tst_zvr3decoder_priv_nmea::decode(zvr3decoder_priv &decoder, const QList<QByteArray> &payloads)
{
    QList<QVariant> out;
    const QMetaObject::Connection c = connect(&decoder, &zvr3decoder_priv::sigData, [&](const QVariant &v) { out.append(v); });
    for (const QByteArray &payload : payloads) {
        zvr3item item;
        item.data = payload;
        decoder.decode(item);
    }
    disconnect(c);
    return out;
}

void tst_zvr3decoder_priv_nmea::text_data()
{
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");
    QTest::newRow("stops at zero") << QByteArray("text") << QByteArray("abc\0def", 7) << "abc";
    QTest::newRow("utf-8") << QByteArray("text") << QByteArray("gr\xc3\xbc\xc3\x9f") << QString::fromUtf8("grüß");
    QTest::newRow("invalid utf-8") << QByteArray("text") << QByteArray("a\xff") << QString::fromUtf8("a\xef\xbf\xbd");
    QTest::newRow("empty") << QByteArray("text-none") << QByteArray() << "";
    QTest::newRow("text-utf8") << QByteArray("text-utf8") << QByteArray("x\0y", 3) << "x";
    QTest::newRow("koi8") << QByteArray("text-koi8") << QByteArray("\xf0\xd2\xc9\xd7\xc5\xd4") << QString::fromUtf8("Привет");
    QTest::newRow("koi8r whole payload") << QByteArray("text-koi8r") << QByteArray("\xc4\0\xc1", 3)
                                         << QString::fromUtf8("д") + QChar(0) + QString::fromUtf8("а");
}

void tst_zvr3decoder_priv_nmea::text()
{
    QFETCH(QByteArray, codec);
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    zvr3decoder_priv_text decoder(stream(codec.constData()));
    const QList<QVariant> out = decode(decoder, {payload, payload});
    QCOMPARE(out.size(), 2);
    QCOMPARE(out.at(1).value<zvr3item>().value.toString(), expected);
}

void tst_zvr3decoder_priv_nmea::rmcWorkedExample()
{
    zvr3decoder_priv_nmea decoder(stream("nmea"));
    const QList<QVariant> out = decode(decoder, {Rmc});
    QCOMPARE(out.size(), 1);
    const zvr3position_info p = position(out.at(0));
    QCOMPARE(p.valid, true);
    QCOMPARE(p.latitude, 48.1173);
    QCOMPARE(p.longitude, 11 + 31.0 / 60);
    QCOMPARE(p.speed, 22.4 * 0.514444444);
    QCOMPARE(p.course, 84.4);
    QCOMPARE(p.time, RmcTime);
    QVERIFY(decoder.sentenceBuffer().isEmpty());
}

void tst_zvr3decoder_priv_nmea::sentenceSplitAcrossItems_data()
{
    QTest::addColumn<int>("cut");
    QTest::newRow("in the latitude") << 22;
    QTest::newRow("after the name") << 6;
    QTest::newRow("before the last field") << int(Rmc.lastIndexOf(','));
    QTest::newRow("at the dollar") << 0;
}

void tst_zvr3decoder_priv_nmea::sentenceSplitAcrossItems()
{
    QFETCH(int, cut);
    zvr3decoder_priv_nmea decoder(stream("nmea"));
    const QList<QVariant> first = decode(decoder, {Gga + Rmc.left(cut)});
    QCOMPARE(first.size(), 1);
    QCOMPARE(position(first.at(0)).time, qint64(0));
    QCOMPARE(position(first.at(0)).satellites, 8);
    QCOMPARE(decoder.sentenceBuffer(), cut ? Rmc.left(cut) : QByteArray());
    const QList<QVariant> second = decode(decoder, {Rmc.mid(cut)});
    QCOMPARE(second.size(), 1);
    const zvr3position_info p = position(second.at(0));
    QCOMPARE(p.time, RmcTime);
    QCOMPARE(p.longitude, 11 + 31.0 / 60);
    QCOMPARE(p.satellites, 8);  // kept from the GGA sentence
    QCOMPARE(p.altitude, 545.4);
    QVERIFY(decoder.sentenceBuffer().isEmpty());
}

void tst_zvr3decoder_priv_nmea::cutInName()
{
    // "$GPR" matches no known name: dropped at once, and its rest is ignored with the next item.
    zvr3decoder_priv_nmea decoder(stream("nmea"));
    const QList<QVariant> out = decode(decoder, {Rmc.left(4), Rmc.mid(4)});
    QCOMPARE(out.size(), 2);
    QCOMPARE(position(out.at(1)).valid, false);
    QCOMPARE(position(out.at(1)).time, qint64(0));
    QVERIFY(decoder.sentenceBuffer().isEmpty());
}

void tst_zvr3decoder_priv_nmea::ignoredSentences_data()
{
    QTest::addColumn<QByteArray>("sentence");
    QTest::newRow("mode field") << QByteArray("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A*6A\r\n");
    QTest::newRow("GNRMC") << QByteArray("$GNRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
    QTest::newRow("GPVTG") << QByteArray("$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48\r\n");
    QTest::newRow("garbage") << QByteArray("\x01\x02 no dollar at all");
}

void tst_zvr3decoder_priv_nmea::ignoredSentences()
{
    QFETCH(QByteArray, sentence);
    zvr3decoder_priv_nmea decoder(stream("nmea"));
    const QList<QVariant> out = decode(decoder, {sentence + "$GPGGA,1"});
    QCOMPARE(out.size(), 1);
    const zvr3position_info p = position(out.at(0));
    QCOMPARE(p.valid, false);
    QCOMPARE(p.latitude, 0.0);
    QCOMPARE(p.time, qint64(0));
    QCOMPARE(decoder.sentenceBuffer(), QByteArray("$GPGGA,1"));
}

void tst_zvr3decoder_priv_nmea::rmcVoidStatus()
{
    QByteArray voidFix = Rmc;
    voidFix.replace(",A,", ",V,");
    voidFix.replace(",N,", ",S,");
    zvr3decoder_priv_nmea decoder(stream("nmea"));
    const zvr3position_info p = position(decode(decoder, {Rmc, voidFix}).at(1));
    QCOMPARE(p.valid, false);
    QCOMPARE(p.latitude, -48.1173);
    QCOMPARE(p.time, RmcTime);
    QCOMPARE(p.course, 84.4);
}

void tst_zvr3decoder_priv_nmea::gga_data()
{
    QTest::addColumn<QByteArray>("fix");
    QTest::addColumn<QByteArray>("hdop");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("expectedHdop");
    QTest::newRow("fix 1, hdop 2") << QByteArray("1") << QByteArray("2") << true << 2.0;
    QTest::newRow("fix 0") << QByteArray("0") << QByteArray("2") << false << 2.0;
    QTest::newRow("empty fix") << QByteArray() << QByteArray("3") << true << 3.0;
    QTest::newRow("hdop with a point") << QByteArray("1") << QByteArray("1.2") << true << 0.0;
}

void tst_zvr3decoder_priv_nmea::gga()
{
    QFETCH(QByteArray, fix);
    QFETCH(QByteArray, hdop);
    QFETCH(bool, valid);
    QFETCH(double, expectedHdop);
    const QByteArray sentence = "$GPGGA,123519,4807.038,N,01131.000,W," + fix + ",08," + hdop + ",545.4,M,46.9,M,,*47\r\n";
    zvr3decoder_priv_nmea decoder(stream("nmea"));
    const zvr3position_info p = position(decode(decoder, {sentence}).at(0));
    QCOMPARE(p.valid, valid);
    QCOMPARE(p.hdop, expectedHdop);
    QCOMPARE(p.latitude, 48.1173);
    QCOMPARE(p.longitude, -(11 + 31.0 / 60));
    QCOMPARE(p.altitude, 545.4);
    QCOMPARE(p.satellites, 8);
    QCOMPARE(p.time, qint64(0));  // GGA carries no date
}

void tst_zvr3decoder_priv_nmea::pgrme()
{
    // Fields: 3 date, 4 time, 6/7 latitude, 8/9 longitude, 11 fix, 12 km/h, 13 course, 14 hdop.
    const QByteArray sentence = "$PGRME,x,x,230394,123519,x,4807.038,N,01131.000,E,x,1,36,84.4,3,x*00\r\n";
    zvr3decoder_priv_nmea decoder(stream("nmea"));
    const QList<QVariant> out = decode(decoder, {Gga, sentence});
    const zvr3position_info p = position(out.at(1));
    QCOMPARE(p.valid, true);
    QCOMPARE(p.latitude, 48.1173);
    QCOMPARE(p.longitude, 11 + 31.0 / 60);
    QCOMPARE(p.speed, 10.0);
    QCOMPARE(p.course, 84.4);
    QCOMPARE(p.time, RmcTime);
    QCOMPARE(p.hdop, 3.0);
    QCOMPARE(p.satellites, 8);  // PGRME leaves the count of GGA
}

void tst_zvr3decoder_priv_nmea::time_data()
{
    QTest::addColumn<QByteArray>("date");
    QTest::addColumn<QByteArray>("clock");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("no fraction") << QByteArray("230394") << QByteArray("123519") << true << RmcTime;
    QTest::newRow("one digit") << QByteArray("230394") << QByteArray("123519.5") << true << RmcTime + 500;
    QTest::newRow("two digits") << QByteArray("230394") << QByteArray("123519.05") << true << RmcTime + 50;
    QTest::newRow("three digits") << QByteArray("230394") << QByteArray("123519.123") << true << RmcTime + 123;
    QTest::newRow("four digits") << QByteArray("230394") << QByteArray("123519.1234") << false << qint64(0);
    QTest::newRow("year 69 is 2069") << QByteArray("311269") << QByteArray("235959") << true << 3155759999000LL;
    QTest::newRow("year 70 is 1970") << QByteArray("010170") << QByteArray("000000") << true << qint64(0);
    QTest::newRow("leap day") << QByteArray("290224") << QByteArray("010203") << true << 1709168523000LL;
    QTest::newRow("no such day") << QByteArray("300223") << QByteArray("010203") << false << qint64(0);
    QTest::newRow("hour 24") << QByteArray("230394") << QByteArray("240000") << false << qint64(0);
    QTest::newRow("empty date") << QByteArray() << QByteArray("123519") << false << qint64(0);
    QTest::newRow("letters") << QByteArray("23o394") << QByteArray("123519") << false << qint64(0);
}

void tst_zvr3decoder_priv_nmea::time()
{
    QFETCH(QByteArray, date);
    QFETCH(QByteArray, clock);
    QFETCH(bool, ok);
    QFETCH(qint64, expected);
    qint64 ms = 0;
    QCOMPARE(zvr3decoder_priv_nmea::readTime(date, clock, ms), ok);
    QCOMPARE(ms, expected);

    // In a sentence, a time that cannot be read leaves the last one.
    QByteArray sentence = Rmc;
    sentence.replace("123519", clock).replace("230394", date);
    zvr3decoder_priv_nmea decoder(stream("nmea"));
    const QList<QVariant> out = decode(decoder, {Rmc, sentence});
    QCOMPARE(position(out.at(1)).time, ok ? expected : RmcTime);
}

void tst_zvr3decoder_priv_nmea::runawaySentenceIsDropped()
{
    zvr3decoder_priv_nmea decoder(stream("nmea"));
    decode(decoder, {"$GPRMC,1"});
    for (int i = 0; i < 100; ++i)
        decode(decoder, {QByteArray(100, 'x')});
    QVERIFY(decoder.sentenceBuffer().size() < 4200);
}

QTEST_GUILESS_MAIN(tst_zvr3decoder_priv_nmea)
#include "tst_zvr3decoder_priv_nmea.moc"

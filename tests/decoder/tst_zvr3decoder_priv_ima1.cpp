#include <QtTest>

#include "zvr3decoder_priv_ima1.h"
#include "zvr3metatype_p.h"
#include "zvr3sound_buffer.h"
#include "zvr3testutil.h"

// The IMA ADPCM decoder, driven by direct decode() calls on the test's thread.
class tst_zvr3decoder_priv_ima1 : public QObject
{
    Q_OBJECT
private slots:
    void payloads_data();
    void payloads();
    void workedExamples_data();
    void workedExamples();
    void predictorLimits();
    void stateRunsAcrossItems();
    void rate_data();
    void rate();

private:
    struct Run
    {
        int emitted = 0;
        zvr3sound_buffer sound;
    };
    static Run decode(zvr3decoder_priv_ima1 &decoder, const QByteArray &payload);
    static STREAM_T stream(const QString &text3 = QStringLiteral("-rate=8000"));
    static QVector<qint16> samples(const QByteArray &pcm);
};

STREAM_T tst_zvr3decoder_priv_ima1::stream(const QString &text3)
{
    STREAM_T s;
    s.number = 1;
    s.type = 2;
    s.codec = QStringLiteral("ima1");
    s.text3 = text3;
    return s;
}

tst_zvr3decoder_priv_ima1::Run tst_zvr3decoder_priv_ima1::decode(zvr3decoder_priv_ima1 &decoder, const QByteArray &payload)
{
    Run run;
    const QMetaObject::Connection c = connect(&decoder, &zvr3decoder_priv::sigData, [&](const QVariant &v) {
        ++run.emitted;
        run.sound = v.value<zvr3item>().value.value<zvr3sound_buffer>();
    });
    zvr3item item;
    item.data = payload;
    decoder.decode(item);
    disconnect(c);
    return run;
}

QVector<qint16> tst_zvr3decoder_priv_ima1::samples(const QByteArray &pcm)
{
    QVector<qint16> out;
    for (qsizetype i = 0; i + 1 < pcm.size(); i += 2)
        out.append(qFromLittleEndian<qint16>(pcm.constData() + i));
    return out;
}

void tst_zvr3decoder_priv_ima1::payloads_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("emitted");
    QTest::addColumn<int>("pcmBytes");
    QTest::addColumn<bool>("stateMoves");
    QTest::newRow("empty") << QByteArray() << 0 << 0 << false;
    QTest::newRow("one byte") << zvr3test::hex("77") << 0 << 0 << false;
    QTest::newRow("silence 320") << zvr3test::hex("40 01") << 1 << 320 << false;
    QTest::newRow("silence 0") << zvr3test::hex("00 00") << 0 << 0 << false;
    QTest::newRow("three bytes") << zvr3test::hex("77 77 77") << 1 << 12 << true;
}

void tst_zvr3decoder_priv_ima1::payloads()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, emitted);
    QFETCH(int, pcmBytes);
    QFETCH(bool, stateMoves);
    zvr3decoder_priv_ima1 decoder(stream());
    decoder.setState(100, 10);
    const Run run = decode(decoder, payload);
    QCOMPARE(run.emitted, emitted);
    QCOMPARE(run.sound.data.size(), pcmBytes);
    if (emitted) {
        QCOMPARE(run.sound.channels, 1);
        QCOMPARE(run.sound.rate, 8000);
    }
    if (payload.size() == 2)
        QCOMPARE(run.sound.data, QByteArray(pcmBytes, '\0'));
    QCOMPARE(decoder.predictor() != 100 || decoder.stepIndex() != 10, stateMoves);
}

void tst_zvr3decoder_priv_ima1::workedExamples_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QVector<qint16>>("expected");
    QTest::addColumn<int>("index");
    // Code 7 at step 7: 0 + 7 + 3 + 1 = 11, index 8; code 0 at step 16: 2, index 7.
    QTest::newRow("70") << zvr3test::hex("70 00 00") << QVector<qint16>{11, 13, 14, 15, 16, 17} << 3;
    QTest::newRow("77") << zvr3test::hex("77 88 08") << QVector<qint16>{11, 41, 37, 34, 37, 34} << 12;
}

void tst_zvr3decoder_priv_ima1::workedExamples()
{
    QFETCH(QByteArray, payload);
    QFETCH(QVector<qint16>, expected);
    QFETCH(int, index);
    zvr3decoder_priv_ima1 decoder(stream());
    // The first byte alone, to check the state it leaves.
    qint16 predictor = 0;
    quint8 stepIndex = 0;
    qint16 two[2];
    zvr3decoder_priv_ima1::expand(reinterpret_cast<const uchar *>(payload.constData()), 1, two, predictor, stepIndex);
    QCOMPARE(int(stepIndex), payload.at(0) == 0x70 ? 7 : 16);
    const Run run = decode(decoder, payload);
    QCOMPARE(samples(run.sound.data), expected);
    QCOMPARE(decoder.stepIndex(), index);
    QCOMPARE(decoder.predictor(), int(expected.constLast()));
}

void tst_zvr3decoder_priv_ima1::predictorLimits()
{
    zvr3decoder_priv_ima1 decoder(stream());
    decoder.setState(32760, 60);
    QCOMPARE(samples(decode(decoder, zvr3test::hex("77 77 77")).sound.data).first(), qint16(32767));
    decoder.setState(-32760, 60);
    QCOMPARE(samples(decode(decoder, zvr3test::hex("FF FF FF")).sound.data).first(), qint16(-32767));
}

void tst_zvr3decoder_priv_ima1::stateRunsAcrossItems()
{
    QByteArray payload;
    for (int i = 0; i < 1000; ++i)
        payload += char((i * 37 + i / 7) & 0xFF);
    zvr3decoder_priv_ima1 whole(stream());
    const QByteArray expected = decode(whole, payload).sound.data;
    zvr3decoder_priv_ima1 split(stream());
    QByteArray pcm;
    for (qsizetype at = 0; at < payload.size(); at += 250) {
        pcm += decode(split, payload.mid(at, 250)).sound.data;
        // Silence in between leaves the state as it was.
        decode(split, zvr3test::hex("10 00"));
    }
    QCOMPARE(pcm.size(), 4000);
    QCOMPARE(pcm, expected);
}

void tst_zvr3decoder_priv_ima1::rate_data()
{
    QTest::addColumn<QString>("text3");
    QTest::addColumn<int>("rate");
    QTest::newRow("alone") << "-rate=8000" << 8000;
    QTest::newRow("among options") << "-bits=4 -rate=16000 -x" << 16000;
    QTest::newRow("capitals") << "-RATE=8000" << 0;
    QTest::newRow("no digits") << "-rate=" << 0;
    QTest::newRow("none") << "" << 0;
}

void tst_zvr3decoder_priv_ima1::rate()
{
    QFETCH(QString, text3);
    QFETCH(int, rate);
    zvr3decoder_priv_ima1 decoder(stream(text3));
    QCOMPARE(decode(decoder, zvr3test::hex("00 01 02")).sound.rate, rate);
    QCOMPARE(decoder.rate(), rate);
}

QTEST_GUILESS_MAIN(tst_zvr3decoder_priv_ima1)
#include "tst_zvr3decoder_priv_ima1.moc"

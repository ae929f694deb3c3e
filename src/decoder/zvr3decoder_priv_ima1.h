// Internal header of zvr3lib, not installed.
#ifndef ZVR3DECODER_PRIV_IMA1_H
#define ZVR3DECODER_PRIV_IMA1_H

#include <QRegularExpression>

#include "zvr3decoder_priv.h"

// "ima1" sound: a continuous stream of 4-bit IMA ADPCM codes, one channel, no block headers, high
// nibble first. The ADPCM state runs on from item to item; a 2-byte payload is a count of zero
// bytes of silence. The sample rate comes from a "-rate=N" clause in the stream's option text.
class zvr3decoder_priv_ima1 : public zvr3decoder_priv
{
    Q_OBJECT
public:
    explicit zvr3decoder_priv_ima1(const STREAM_T &stream);
    ~zvr3decoder_priv_ima1() override;

    void decode(zvr3item &item) override;

    // The ADPCM state, for tests.
    int predictor() const { return m_predictor; }
    int stepIndex() const { return m_stepIndex; }
    void setState(int predictor, int stepIndex);
    int rate() const { return m_rate; }

    // Expands n payload bytes into 2 × n samples at out, advancing the state, which must be in the
    // ranges the decoder keeps it in: predictor -32767..32767, step index 0..88.
    static void expand(const uchar *in, qsizetype n, qint16 *out, qint16 &predictor, quint8 &stepIndex);

private:
    qint16 m_predictor = 0;
    quint8 m_stepIndex = 0;
    int m_rate = 0;
    QRegularExpression m_rateClause;
};

#endif // ZVR3DECODER_PRIV_IMA1_H

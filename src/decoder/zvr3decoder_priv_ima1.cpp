#include "zvr3decoder_priv_ima1.h"

#include <QtEndian>

#include "zvr3metatype_p.h"
#include "zvr3sound_buffer.h"

namespace {
// The step sizes and index changes of the published IMA ADPCM algorithm.
const qint16 stepTable[89] = {
    7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55, 60, 66, 73,
    80, 88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337, 371, 408, 449, 494,
    544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066, 2272, 2499,
    2749, 3024, 3327, 3660, 4026, 4428, 4871, 5358, 5894, 6484, 7132, 7845, 8630, 9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
const qint8 indexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

// The difference that each step index and code magnitude (the low three bits) give, worked out
// once with the algorithm's shifts: step / 8, plus step, step / 2 and step / 4 for bits 2, 1 and 0.
// One load per sample instead of three tests; the values are exactly the shifted sums.
struct Differences
{
    Differences()
    {
        for (int index = 0; index < 89; ++index) {
            const int s = stepTable[index];
            for (int code = 0; code < 8; ++code) {
                int difference = s >> 3;
                if (code & 4)
                    difference += s;
                if (code & 2)
                    difference += s >> 1;
                if (code & 1)
                    difference += s >> 2;
                table[index][code] = difference;
            }
        }
    }
    int table[89][8];
};
const Differences differences;

inline int step(int code, int &predictor, int &index)
{
    const int difference = differences.table[index][code & 7];
    predictor = (code & 8) ? predictor - difference : predictor + difference;
    predictor = qBound(-32767, predictor, 32767);
    index = qBound(0, index + indexTable[code], 88);
    return predictor;
}
}

zvr3decoder_priv_ima1::zvr3decoder_priv_ima1(const STREAM_T &stream)
    : zvr3decoder_priv(stream)
    , m_rateClause(QStringLiteral("-rate=(\\d+)"))
{
}

zvr3decoder_priv_ima1::~zvr3decoder_priv_ima1()
{
    stopWorker();
}

void zvr3decoder_priv_ima1::setState(int predictor, int stepIndex)
{
    m_predictor = qint16(qBound(-32767, predictor, 32767));
    m_stepIndex = quint8(qBound(0, stepIndex, 88));
}

void zvr3decoder_priv_ima1::expand(const uchar *in, qsizetype n, qint16 *out, qint16 &predictor, quint8 &stepIndex)
{
    int p = predictor;
    int index = stepIndex;
    for (qsizetype i = 0; i < n; ++i) {
        const int byte = in[i];
        out[2 * i] = qToLittleEndian(qint16(step(byte >> 4, p, index)));
        out[2 * i + 1] = qToLittleEndian(qint16(step(byte & 15, p, index)));
    }
    predictor = qint16(p);
    stepIndex = quint8(index);
}

void zvr3decoder_priv_ima1::decode(zvr3item &item)
{
    if (m_rate == 0) {
        const QRegularExpressionMatch match = m_rateClause.match(m_stream.text3);
        if (match.hasMatch()) {
            bool ok = false;
            const int rate = match.captured(1).toInt(&ok, 10);
            if (ok)
                m_rate = rate;
        }
    }

    const QByteArray &payload = item.data;
    const qsizetype n = payload.size();
    zvr3sound_buffer sound;
    sound.rate = m_rate;
    sound.channels = 1;
    if (n < 2)
        return;
    if (n == 2) {
        // Silence: the payload counts zero bytes.
        const int count = qFromLittleEndian<quint16>(payload.constData());
        if (count == 0)
            return;
        sound.data = QByteArray(count, '\0');
    } else {
        sound.data = QByteArray(4 * n, Qt::Uninitialized);
        expand(reinterpret_cast<const uchar *>(payload.constData()), n,
               reinterpret_cast<qint16 *>(sound.data.data()), m_predictor, m_stepIndex);
    }
    item.value = zvr3value(sound);
    emitItem(item);
}

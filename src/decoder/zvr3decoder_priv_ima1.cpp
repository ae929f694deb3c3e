#include "zvr3decoder_priv_ima1.h"

#include <QtEndian>

#include "zvr3metatype_p.h"
#include "zvr3sound_buffer.h"

namespace {
// The step sizes and index changes of the published IMA ADPCM algorithm.
constexpr qint16 stepTable[89] = {
    7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55, 60, 66, 73,
    80, 88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337, 371, 408, 449, 494,
    544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066, 2272, 2499,
    2749, 3024, 3327, 3660, 4026, 4428, 4871, 5358, 5894, 6484, 7132, 7845, 8630, 9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr qint8 indexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

// The decoder keeps its state in a form that makes each limit one unsigned comparison and one
// conditional move, with no branch that random codes would mispredict:
// - the predictor is held biased by Bias, so its range -32767..32767 becomes 0..2 × Bias and a
//   sum below 0 wraps round to a number above it;
// - the step index is held as its row offset (index × 16) into the difference table, so that it
//   addresses the table directly and a step below row 0 wraps round in the same way.
// A code can only push past the limit on the side it moves towards, so that side's limit is what
// an out-of-range sum becomes.
constexpr quint32 Bias = 32767;
constexpr quintptr LastRow = 88 * 16;

struct Tables
{
    constexpr Tables()
    {
        for (int index = 0; index < 89; ++index) {
            // The algorithm's shifted sum: step / 8, plus step, step / 2 and step / 4 for bits 2,
            // 1 and 0 of the code, negated when bit 3 is set. Truncating each shift on its own
            // matters: ((2 × magnitude + 1) × step) / 8 is not the same number for most steps.
            const int s = stepTable[index];
            for (int code = 0; code < 16; ++code) {
                int d = s >> 3;
                if (code & 4)
                    d += s;
                if (code & 2)
                    d += s >> 1;
                if (code & 1)
                    d += s >> 2;
                difference[index * 16 + code] = quint32(code & 8 ? -d : d);
            }
        }
        for (int code = 0; code < 16; ++code)
            rowChange[code] = quintptr(qintptr(indexTable[code]) * 16);
    }
    quint32 difference[89 * 16] = {};  // signed, as two's complement
    quintptr rowChange[16] = {};
};
constexpr Tables tables;

// Makes the compiler hold v in a register at this point. A limit that is known before the
// comparison lets it choose a conditional move; otherwise it works the limit out only when needed,
// behind a branch that noisy sound would mispredict every other time.
#if defined(__GNUC__)
#define ZVR3_IN_REGISTER(v) asm("" : "+r"(v))
#else
#define ZVR3_IN_REGISTER(v) (void)0
#endif

// One code: the next sample, from the state before it.
inline qint16 step(quintptr code, quint32 &biased, quintptr &row)
{
    quint32 predictorLimit = quint32((code >> 3) - 1) & (2 * Bias);  // 0 when bit 3 is set
    quintptr rowLimit = (0 - ((code >> 2) & 1)) & LastRow;  // the last row when bit 2 is set
    ZVR3_IN_REGISTER(predictorLimit);
    ZVR3_IN_REGISTER(rowLimit);
    const quint32 sum = biased + tables.difference[row + code];
    biased = sum > 2 * Bias ? predictorLimit : sum;
    const quintptr next = row + tables.rowChange[code];
    row = next > LastRow ? rowLimit : next;
    return qint16(int(biased) - int(Bias));
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
    // The state lives in registers for the whole payload; both codes of a byte per turn.
    quint32 biased = quint32(predictor + int(Bias));
    quintptr row = quintptr(stepIndex) * 16;
    for (qsizetype i = 0; i < n; ++i) {
        const quintptr byte = in[i];
        out[2 * i] = qToLittleEndian(step(byte >> 4, biased, row));
        out[2 * i + 1] = qToLittleEndian(step(byte & 15, biased, row));
    }
    predictor = qint16(int(biased) - int(Bias));
    stepIndex = quint8(row / 16);
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

// Throughput of the stream parser against a plain memcpy of the same bytes.
//
//   zvr3bench [--benchmark_filter=...]
//
// BM_Memcpy is the baseline: the same stream copied in the same chunks; BM_MemcpySound the same
// for the stream of sound records. At the end the figures are printed against their baselines of
// the same run: the parser on video in 64 KiB chunks against memcpy, the parser in 1,460-byte
// chunks (a TCP segment) against its own 64 KiB figure, and the sound records per second.
#include <benchmark/benchmark.h>

#include <cstring>

#include "zvr3benchratio.h"
#include "zvr3parser.h"
#include "zvr3streamwriter.h"

namespace {

// 4 video streams with frames of 4 KB to 200 KB (the large ones in parts), sound and texts.
const QByteArray &videoStream()
{
    static const QByteArray bytes = [] {
        zvr3stream::Recording r;
        r.seconds = 2;
        r.videoStreams = 4;
        r.minFrameBytes = 4000;
        r.maxFrameBytes = 200000;
        return zvr3stream::generate(r);
    }();
    return bytes;
}

// Sound only: data records of 320 bytes.
const QByteArray &smallRecordStream()
{
    static const QByteArray bytes = [] {
        zvr3stream::Recording r;
        r.seconds = 20;
        r.videoStreams = 0;
        r.framesPerSecond = 1;
        r.audioRecordsPerSecond = 5000;
        r.text = false;
        return zvr3stream::generate(r);
    }();
    return bytes;
}

// The chunks refer to the stream's own bytes, as the memcpy baseline reads them: the harness adds
// neither copies nor scattered allocations of its own.
QList<QByteArray> chunks(const QByteArray &bytes, int size)
{
    QList<QByteArray> out;
    for (qsizetype at = 0; at < bytes.size(); at += size)
        out.append(QByteArray::fromRawData(bytes.constData() + at, qMin<qsizetype>(size, bytes.size() - at)));
    return out;
}

void memcpyChunks(benchmark::State &state, const QByteArray &src, int chunk)
{
    QByteArray dst(src.size(), Qt::Uninitialized);
    for (auto _ : state) {
        for (qsizetype at = 0; at < src.size(); at += chunk)
            std::memcpy(dst.data() + at, src.constData() + at, size_t(qMin<qsizetype>(chunk, src.size() - at)));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * src.size());
}

void BM_Memcpy(benchmark::State &state) { memcpyChunks(state, videoStream(), int(state.range(0))); }
BENCHMARK(BM_Memcpy)->Arg(65536)->Arg(1460)->Unit(benchmark::kMillisecond);

void BM_MemcpySound(benchmark::State &state) { memcpyChunks(state, smallRecordStream(), int(state.range(0))); }
BENCHMARK(BM_MemcpySound)->Arg(65536)->Unit(benchmark::kMillisecond);

void runParser(benchmark::State &state, const QByteArray &stream, int chunkSize)
{
    const QList<QByteArray> pieces = chunks(stream, chunkSize);
    qint64 records = 0;
    for (auto _ : state) {
        zvr3parser parser;
        qint64 count = 0;
        QObject::connect(&parser, &zvr3base::sigData, [&count](const QVariant &value) {
            count += value.userType() == qMetaTypeId<DATA_T>();
        });
        for (const QByteArray &piece : pieces)
            parser.slotData(piece);
        records += count;
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
    state.counters["records"] = benchmark::Counter(double(records), benchmark::Counter::kIsRate);
}

void BM_ParserVideo(benchmark::State &state) { runParser(state, videoStream(), int(state.range(0))); }
BENCHMARK(BM_ParserVideo)->Arg(65536)->Arg(1460)->Unit(benchmark::kMillisecond);

void BM_ParserSmallRecords(benchmark::State &state) { runParser(state, smallRecordStream(), int(state.range(0))); }
BENCHMARK(BM_ParserSmallRecords)->Arg(65536)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    zvr3bench::runWithRatios({
        {"BM_ParserVideo/65536", "BM_Memcpy/65536", "bytes_per_second", ">= 0.5"},
        {"BM_ParserVideo/1460", "BM_ParserVideo/65536", "bytes_per_second", ">= 0.85"},
        {"BM_ParserVideo/1460", "BM_Memcpy/1460", "bytes_per_second", ""},
        {"BM_ParserSmallRecords/65536", "BM_MemcpySound/65536", "bytes_per_second", ""},
        {"BM_ParserSmallRecords/65536", "", "records", ">= 8M records/s"},
    });
    benchmark::Shutdown();
    return 0;
}

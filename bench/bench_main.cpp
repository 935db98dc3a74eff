// SPDX-License-Identifier: MIT
// framescope-bench: Google Benchmark's command line, run inside an offscreen
// application so that images decode and windows paint as in the viewer.
#include "benchdata.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

// --write-data DIR stores the benchmark's byte streams for the peer tools:
// the multipart stream and the RTP packets as an RFC 4571 stream (a 16-bit
// length before each packet).
int writeData(const QString& dir)
{
    QByteArray rtp;
    for (const QByteArray& p : benchdata::rtpPackets()) {
        rtp.append(char(p.size() >> 8));
        rtp.append(char(p.size() & 0xFF));
        rtp += p;
    }
    const bool ok = benchdata::writeFile(dir + QStringLiteral("/multipart.bin"),
                                         benchdata::multipartStream()) &&
                    benchdata::writeFile(dir + QStringLiteral("/rtp.bin"), rtp);
    if (!ok) {
        std::fprintf(stderr, "framescope-bench: cannot write to %s\n", qPrintable(dir));
        return 1;
    }
    std::printf("multipart_bytes %lld\nmultipart_frames %d\nrtp_packets %lld\n",
                (long long)benchdata::multipartStream().size(), benchdata::StreamFrames,
                (long long)benchdata::rtpPackets().size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window reads its configuration path from the first argument; give
    // it none, the benchmark's own options are Google Benchmark's.
    int appArgc = 1;
    QApplication app(appArgc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--write-data") == 0)
        return writeData(QString::fromLocal8Bit(argv[2]));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

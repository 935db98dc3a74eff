// SPDX-License-Identifier: MIT
// The per-frame records of a device and the summary figures made of them:
// driven by synthetic frame sequences with chosen arrival times.
#include "devicestats.h"
#include "frameconversion.h"
#include "rtpcounters.h"
#include "rtpjitter.h"
#include "statssummary.h"

#include <QTest>

namespace {

constexpr std::int64_t Ms = 1000000;
const QString Jpeg = QString::fromLatin1(JpegContentType);

// One frame of a synthetic sequence: its period after the one before, its
// delay (negative: none) and its fate ('s' shown, 'k' skipped, 'c' corrupt,
// 'r' refused); packets lost and expected since the frame before.
struct Step
{
    double periodMs;
    double delayMs;
    char fate;
    int lost;
    int expected;
};

FrameRecord::Fate fateOf(char c)
{
    switch (c) {
    case 'k':
        return FrameRecord::Fate::Skipped;
    case 'c':
        return FrameRecord::Fate::Corrupt;
    case 'r':
        return FrameRecord::Fate::Refused;
    default:
        return FrameRecord::Fate::Shown;
    }
}

void feed(DeviceStats& stats, const QList<Step>& steps, RtpCounters* rtp = nullptr)
{
    std::int64_t t = 1000 * Ms;
    for (const Step& s : steps) {
        t += std::int64_t(s.periodMs * double(Ms));
        if (rtp != nullptr) {
            rtp->lost += s.lost;
            rtp->expected += s.expected;
        }
        stats.frameArrived(t, 0, 1000, Jpeg, rtp);
        if (s.delayMs >= 0)
            stats.delayMeasured(s.delayMs / 1000.0);
        if (s.fate == 'k')
            stats.frameNotShown(FrameRecord::Fate::Skipped, t);
        else
            stats.frameConverted(fateOf(s.fate), 640, 480, t + 2 * Ms);
    }
}

QList<Step> regular(int n, double periodMs)
{
    QList<Step> steps;
    for (int i = 0; i < n; ++i)
        steps.append({periodMs, -1, 's', 0, 0});
    return steps;
}

} // namespace

class tst_DeviceStats : public QObject
{
    Q_OBJECT

private slots:
    void summary_data();
    void summary();
    void ringBound_data();
    void ringBound();
    void recordsOfOneFrame();
    void framesTheWorkerDidNotDeliver_data();
    void framesTheWorkerDidNotDeliver();
    void jitter_data();
    void jitter();
};

void tst_DeviceStats::summary_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<bool>("rtp");
    // frames, fps, period mean/p50/p95/p99/max, delay p50/p99/max, loss %,
    // shown, skipped, corrupt, refused
    QTest::addColumn<QList<double>>("expected");

    QTest::newRow("no frames") << QList<Step>{} << false
                               << QList<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    QTest::newRow("one frame: no rate, no period")
        << QList<Step>{{40, 5, 's', 0, 0}} << false
        << QList<double>{1, 0, 0, 0, 0, 0, 0, 5, 5, 5, 0, 1, 0, 0, 0};
    QTest::newRow("101 frames at 40 ms: 25 fps")
        << regular(101, 40) << false
        << QList<double>{101, 25, 40, 40, 40, 40, 40, 0, 0, 0, 0, 101, 0, 0, 0};
    {
        // 99 periods of 40 ms and one of 240 ms: the mean moves, p50 and
        // p95 do not, p99 (the 99th of 100) is still 40, the max is 240.
        QList<Step> steps = regular(100, 40);
        steps.append({240, -1, 's', 0, 0});
        QTest::newRow("one stall in 100 periods")
            << steps << false
            << QList<double>{101, 100.0 / 4.2, 42, 40, 40, 40, 240, 0, 0, 0, 0, 101, 0, 0, 0};
        steps.append({240, -1, 's', 0, 0});
        QTest::newRow("two stalls in 101 periods reach p99")
            << steps << false
            << QList<double>{
                   102, 101.0 / 4.44, 4440.0 / 101, 40, 40, 240, 240, 0, 0, 0, 0, 102, 0, 0, 0};
    }
    {
        QList<Step> steps;
        for (int i = 1; i <= 100; ++i)
            steps.append({20, double(i), 's', 0, 0});
        QTest::newRow("delays 1..100 ms")
            << steps << false
            << QList<double>{100, 50, 20, 20, 20, 20, 20, 50, 99, 100, 0, 100, 0, 0, 0};
    }
    QTest::newRow("frames not shown are counted, and marked")
        << QList<Step>{{10, -1, 's', 0, 0},
                       {10, -1, 'k', 0, 0},
                       {10, -1, 'c', 0, 0},
                       {10, -1, 'r', 0, 0},
                       {10, -1, 'c', 0, 0}}
        << false << QList<double>{5, 100, 10, 10, 10, 10, 10, 0, 0, 0, 0, 1, 1, 2, 1};
    QTest::newRow("RTP loss in percent of the packets expected")
        << QList<Step>{{40, -1, 's', 0, 10}, {40, -1, 's', 1, 10}, {40, -1, 's', 2, 20}} << true
        << QList<double>{3, 25, 40, 40, 40, 40, 40, 0, 0, 0, 7.5, 3, 0, 0, 0};
}

void tst_DeviceStats::summary()
{
    QFETCH(QList<Step>, steps);
    QFETCH(bool, rtp);
    QFETCH(QList<double>, expected);

    DeviceStats stats;
    RtpCounters counters;
    feed(stats, steps, rtp ? &counters : nullptr);
    const StatsSummary s = StatsSummary::of(stats.records());
    const QList<double> got{
        double(s.frames), s.fps,           s.periodMeanMs,    s.periodP50Ms,     s.periodP95Ms,
        s.periodP99Ms,    s.periodMaxMs,   s.delayP50Ms,      s.delayP99Ms,      s.delayMaxMs,
        s.lossPercent(),  double(s.shown), double(s.skipped), double(s.corrupt), double(s.refused)};
    QCOMPARE(got.size(), expected.size());
    for (int i = 0; i < got.size(); ++i)
        QVERIFY2(
            qAbs(got[i] - expected[i]) < 1e-6,
            qPrintable(
                QStringLiteral("figure %1: %2, expected %3").arg(i).arg(got[i]).arg(expected[i])));
    QCOMPARE(s.rtp, rtp);
}

void tst_DeviceStats::ringBound_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("frames");
    QTest::addColumn<double>("periodMs");
    QTest::addColumn<int>("kept");

    QTest::newRow("within the time: all kept") << 10 << 200 << 40.0 << 200;
    // 10 s at 40 ms: the newest and the 250 frames within 10 s before it.
    QTest::newRow("older than the time: dropped") << 10 << 1000 << 40.0 << 251;
    QTest::newRow("default 600 s at 25 fps") << 600 << 20000 << 40.0 << 15001;
    // 2 s at 1 ms would be 2001 frames; at most 500 a second are kept.
    QTest::newRow("a fast device: the count bound") << 2 << 5000 << 1.0 << 1000;
    QTest::newRow("a stall longer than the time keeps the newest") << 1 << 3 << 5000.0 << 1;
}

void tst_DeviceStats::ringBound()
{
    QFETCH(int, seconds);
    QFETCH(int, frames);
    QFETCH(double, periodMs);
    QFETCH(int, kept);

    DeviceStats stats(seconds);
    feed(stats, regular(frames, periodMs));
    QCOMPARE(int(stats.records().size()), kept);
    QCOMPARE(stats.records().dropped(), std::int64_t(frames - kept));
    QCOMPARE(stats.frames(), std::int64_t(frames));
    // The newest frame is always the last delivered.
    QCOMPARE(stats.records().newest().frameNumber, std::int64_t(frames));
}

void tst_DeviceStats::recordsOfOneFrame()
{
    // A frame's record is complete (and handed to the listener) only once
    // its fate is known; events in between do not take its place, and the
    // packets counted before the first frame are not its own.
    DeviceStats stats;
    QList<FrameRecord> completed;
    stats.setListener([&completed](const FrameRecord& r) { completed.append(r); });
    RtpCounters rtp;
    rtp.expected = 100;
    rtp.lost = 3;
    stats.event(FrameRecord::Kind::Connected, 5 * Ms, 1234);
    stats.frameArrived(10 * Ms, 5678, 4000, Jpeg, &rtp);
    stats.delayMeasured(0.0125);
    rtp.expected = 110;
    rtp.lost = 4;
    rtp.jitter16 = 16 * 90 * 3; // 3 ms
    stats.frameArrived(50 * Ms, 5718, 3000, Jpeg, &rtp);
    stats.event(FrameRecord::Kind::Lost, 60 * Ms, 5728);
    QCOMPARE(completed.size(), 2);
    stats.frameConverted(FrameRecord::Fate::Shown, 320, 240, 14 * Ms);
    stats.frameConverted(FrameRecord::Fate::Corrupt, 0, 0, 70 * Ms);
    stats.event(FrameRecord::Kind::Reconnect, 80 * Ms, 5748);

    QCOMPARE(completed.size(), 5);
    const FrameRecord& first = completed[2];
    QCOMPARE(first.frameNumber, std::int64_t(1));
    QCOMPARE(first.periodNs, std::int64_t(-1));
    QCOMPARE(first.delayUs, 12500);
    QCOMPARE(first.width, 320);
    QCOMPARE(first.convertUs, 4000);
    QCOMPARE(first.packetsExpected, 100);
    QCOMPARE(first.wallMs, std::int64_t(5678));
    const FrameRecord& second = completed[3];
    QVERIFY(!second.hasDelay);
    QCOMPARE(second.periodNs, 40 * Ms);
    QCOMPARE(second.fate, FrameRecord::Fate::Corrupt);
    QVERIFY(second.notShown());
    QCOMPARE(second.packetsExpected, 10);
    QCOMPARE(second.packetsLost, 1);
    QCOMPARE(second.jitterUs, 3000);
    const StatsSummary s = StatsSummary::of(stats.records());
    QCOMPARE(s.connects, std::int64_t(1));
    QCOMPARE(s.losses, std::int64_t(1));
    QCOMPARE(s.reconnects, std::int64_t(1));
    QCOMPARE(s.frames, std::int64_t(2));
}

void tst_DeviceStats::framesTheWorkerDidNotDeliver_data()
{
    // The worker's counts before each delivery: frames completed, frames
    // left out as too large.
    QTest::addColumn<QList<int>>("completed");
    QTest::addColumn<QList<int>>("oversize");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<int>("refused");

    QTest::newRow("every frame delivered")
        << QList<int>{1, 2, 3, 4} << QList<int>{0, 0, 0, 0} << 0 << 0;
    QTest::newRow("the next frame already completed is not skipped")
        << QList<int>{2, 3, 4, 5} << QList<int>{0, 0, 0, 0} << 0 << 0;
    // Of the three frames completed beyond the first two deliveries, one
    // may still be on its way: two were replaced.
    QTest::newRow("frames replaced before the second delivery")
        << QList<int>{1, 5, 6} << QList<int>{0, 0, 0} << 2 << 0;
    QTest::newRow("one frame too large") << QList<int>{1, 3, 4} << QList<int>{0, 1, 1} << 0 << 1;
    QTest::newRow("a count that jumps adds a bounded number")
        << QList<int>{1, 1000000} << QList<int>{0, 0} << 1000 << 0;
}

void tst_DeviceStats::framesTheWorkerDidNotDeliver()
{
    QFETCH(QList<int>, completed);
    QFETCH(QList<int>, oversize);
    QFETCH(int, skipped);
    QFETCH(int, refused);

    DeviceStats stats;
    for (int i = 0; i < completed.size(); ++i) {
        const std::int64_t t = (i + 1) * 40 * Ms;
        stats.workerCounts(completed[i], oversize[i], t, 0);
        stats.frameArrived(t, 0, 100, Jpeg, nullptr);
        stats.delayMeasured(0.001);
        stats.frameConverted(FrameRecord::Fate::Shown, 8, 8, t);
    }
    const StatsSummary s = StatsSummary::of(stats.records());
    QCOMPARE(s.skipped, std::int64_t(skipped));
    QCOMPARE(s.refused, std::int64_t(refused));
    QCOMPARE(s.shown, std::int64_t(completed.size()));
    // Every delivered frame keeps its delay; the unseen ones add no period.
    QCOMPARE(s.delays, std::int64_t(completed.size()));
    QCOMPARE(s.periods, std::int64_t(completed.size() - 1));
}

void tst_DeviceStats::jitter_data()
{
    QTest::addColumn<QList<int>>("sendTicks");
    QTest::addColumn<QList<int>>("arrivalTicks");
    QTest::addColumn<double>("jitter");

    QTest::newRow("steady: none") << QList<int>{0, 3600, 7200, 10800}
                                  << QList<int>{500, 4100, 7700, 11300} << 0.0;
    // One packet 160 ticks late: |D| = 160, then 160 again on the way back.
    QTest::newRow("one late packet")
        << QList<int>{0, 3600, 7200} << QList<int>{0, 3760, 7200} << (160.0 + 150.0) / 16.0;
    QTest::newRow("clocks that wrap")
        << QList<int>{-7200, -3600, 0} << QList<int>{-100, 3500, 7100} << 0.0;
}

void tst_DeviceStats::jitter()
{
    QFETCH(QList<int>, sendTicks);
    QFETCH(QList<int>, arrivalTicks);
    QFETCH(double, jitter);

    RtpJitter j;
    for (int i = 0; i < sendTicks.size(); ++i)
        j.packet(std::uint32_t(sendTicks[i]), std::uint32_t(arrivalTicks[i]));
    QCOMPARE(j.value(), jitter);
}

QTEST_APPLESS_MAIN(tst_DeviceStats)
#include "tst_devicestats.moc"

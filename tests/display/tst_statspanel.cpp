// SPDX-License-Identifier: MIT
// The statistics panel, driven by synthetic frame sequences: what its model
// gives for one device and for all devices, and when the panel reads it.
#include "frameconversion.h"
#include "framestatistics.h"
#include "rtpcounters.h"
#include "statspanel.h"

#include <QMainWindow>
#include <QTest>

namespace {

constexpr std::int64_t Ms = 1000000;
constexpr std::int64_t Now = 1000000 * Ms;

// `frames` frames `periodMs` apart, the last at `Now`; a delay of
// `delayMs` on each (none when negative); `lostEach` packets lost of 10
// per frame (RTP when >= 0); H.264 frames instead of JPEG ones when `h264`.
void feed(DeviceStats& stats, int frames, int periodMs, int delayMs, int lostEach,
          bool h264 = false)
{
    RtpCounters rtp;
    for (int i = 0; i < frames; ++i) {
        const std::int64_t t = Now - std::int64_t(frames - 1 - i) * periodMs * Ms;
        if (lostEach >= 0) {
            rtp.expected += 10;
            rtp.lost += lostEach;
        }
        stats.frameArrived(t, 0, 1000 + i,
                           QString::fromLatin1(h264 ? H264ContentType : JpegContentType),
                           lostEach >= 0 ? &rtp : nullptr);
        if (delayMs >= 0)
            stats.delayMeasured(delayMs / 1000.0);
        stats.frameConverted(FrameRecord::Fate::Shown, 64, 48, t);
    }
}

QString summaryValue(const StatsPanelModel::Content& c, const QString& label)
{
    for (const auto& [l, v] : c.summary) {
        if (l == label)
            return v;
    }
    return QStringLiteral("(none)");
}

} // namespace

class tst_StatsPanel : public QObject
{
    Q_OBJECT

private slots:
    void oneDevice_data();
    void oneDevice();
    void allDevicesAsTheStatusLine();
    void refreshedOnlyWhileShown();
};

void tst_StatsPanel::oneDevice_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("periodMs");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("lostEach");
    QTest::addColumn<int>("periodPoints");        // within the last 60 s
    QTest::addColumn<int>("coarseBin");           // the status line's bin of the period
    QTest::addColumn<int>("fineBin");             // 5 ms bins
    QTest::addColumn<double>("lastSecondFrames"); // received in the newest second
    QTest::addColumn<QStringList>("summary");     // label=value pairs
    QTest::addColumn<bool>("h264");

    QTest::newRow("25 fps for 10 s, time-stamped")
        << 251 << 40 << 12 << -1 << 250 << 4 << 8 << 25.0
        << QStringList{"frames=251",
                       "fps=25.00",
                       "period mean/p50=40.0 / 40.0 ms",
                       "delay p50/p99/max=12.0 / 12.0 / 12.0 ms",
                       "loss=-",
                       "jitter=-"}
        << false;
    // 2 minutes at 10 fps: the series hold the last minute only; the
    // frame count is all of them.
    QTest::newRow("10 fps for 2 min")
        << 1201 << 100 << -1 << -1 << 600 << 9 << 20 << 10.0
        << QStringList{"frames=1201", "fps=10.00", "delay p50/p99/max=-"} << false;
    QTest::newRow("RTP losing 1 packet in 10")
        << 50 << 20 << -1 << 1 << 49 << 2 << 4 << 50.0
        << QStringList{"loss=10.000% (50 of 500)", "skipped/corrupt=0 / 0"} << false;
    // H.264 frames carry no time stamp: said so, not shown as "-" or 0.
    QTest::newRow("H.264 at 25 fps")
        << 251 << 40 << -1 << -1 << 250 << 4 << 8 << 25.0
        << QStringList{"frames=251", "fps=25.00", "delay p50/p99/max=no time stamp"} << true;
}

void tst_StatsPanel::oneDevice()
{
    QFETCH(int, frames);
    QFETCH(int, periodMs);
    QFETCH(int, delayMs);
    QFETCH(int, lostEach);
    QFETCH(int, periodPoints);
    QFETCH(int, coarseBin);
    QFETCH(int, fineBin);
    QFETCH(double, lastSecondFrames);
    QFETCH(QStringList, summary);
    QFETCH(bool, h264);

    DeviceStats other;
    feed(other, 5, 7, -1, -1);
    DeviceStats stats;
    feed(stats, frames, periodMs, delayMs, lostEach, h264);
    StatsPanelModel model;
    model.setSources({{QStringLiteral("dev0"), &other}, {QStringLiteral("dev1"), &stats}});

    const StatsPanelModel::Content c = model.content(1, Now);
    QCOMPARE(c.title, QStringLiteral("dev1"));
    QCOMPARE(int(c.period.size()), periodPoints);
    QCOMPARE(c.delay.size(), delayMs >= 0 ? periodPoints + 1 : 0);
    QCOMPARE(c.period.last(), QPointF(0.0, double(periodMs)));
    QCOMPARE(c.coarse[std::size_t(coarseBin)], std::int64_t(periodPoints));
    QCOMPARE(c.fine[fineBin], std::int64_t(periodPoints));
    QCOMPARE(c.framesPerSecond.size(), StatsPanelModel::SeriesSeconds);
    QCOMPARE(c.framesPerSecond.last(), lastSecondFrames);
    QCOMPARE(c.lostPerSecond.last(), lostEach > 0 ? lastSecondFrames * lostEach : 0.0);
    for (const QString& pair : summary) {
        const QString label = pair.section(QLatin1Char('='), 0, 0);
        QCOMPARE(summaryValue(c, label), pair.section(QLatin1Char('='), 1));
    }
}

void tst_StatsPanel::allDevicesAsTheStatusLine()
{
    // "All devices" shows the status line's own figures: its frame count,
    // moving average and histogram, and the process-wide packet counts.
    FrameStatistics statistics;
    for (int i = 0; i < 30; ++i)
        statistics.addFrame(i % 3 == 0 ? 45 : 15);
    DeviceStats a;
    feed(a, 20, 40, -1, -1);
    DeviceStats b;
    feed(b, 10, 80, -1, -1);
    StatsPanelModel model;
    model.setSources({{QStringLiteral("dev0"), &a}, {QStringLiteral("dev1"), &b}});
    StatsPanelModel::Window w;
    w.statistics = &statistics;
    w.packetsLost = 5;
    w.packetsOutOfOrder = 1;
    w.packetsExpected = 1200;
    w.frameDelaySeconds = 0.0123;
    model.setWindow(w);

    const StatsPanelModel::Content c = model.content(-1, Now);
    QCOMPARE(c.title, QStringLiteral("All devices"));
    QCOMPARE(c.coarse, statistics.histCount());
    QCOMPARE(c.periodMeanMs, statistics.avgFrameTime());
    QCOMPARE(summaryValue(c, "frames"), QStringLiteral("30"));
    QCOMPARE(summaryValue(c, "period avg"),
             QString::number(statistics.avgFrameTime(), 'f', 3) + QStringLiteral(" ms"));
    QCOMPARE(summaryValue(c, "packets lost"), QStringLiteral("5"));
    QCOMPARE(summaryValue(c, "out of order"), QStringLiteral("1"));
    QCOMPARE(summaryValue(c, "percentage missed"), QStringLiteral("0.417%"));
    QCOMPARE(summaryValue(c, "delay"), QStringLiteral("12.3 ms"));
    // The series hold both devices' frames.
    QCOMPARE(c.framesPerSecond.last(), 20.0 + 10.0);
    QCOMPARE(c.period.size(), 19 + 9);
}

void tst_StatsPanel::refreshedOnlyWhileShown()
{
    QMainWindow window;
    auto* panel = new StatsPanel(&window);
    window.addDockWidget(Qt::RightDockWidgetArea, panel);
    DeviceStats stats;
    panel->addDevice(QStringLiteral("dev0"), &stats);
    panel->hide();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    feed(stats, 10, 40, -1, -1);
    QTest::qWait(3 * StatsPanel::RefreshMs);
    QCOMPARE(panel->refreshes(), 0);

    panel->setDevice(0);
    const int afterChoice = panel->refreshes();
    QCOMPARE(panel->plot()->content().title, QStringLiteral("dev0"));
    panel->show();
    QTRY_VERIFY(panel->refreshes() > afterChoice);
    // A new frame reaches the panel within its refresh interval.
    const int settled = panel->refreshes();
    feed(stats, 1, 40, -1, -1);
    QTRY_VERIFY(panel->refreshes() > settled);
    QCOMPARE(panel->plot()->content().summary.first().second, QStringLiteral("11"));
}

QTEST_MAIN(tst_StatsPanel)
#include "tst_statspanel.moc"

// SPDX-License-Identifier: MIT
// The frame statistics of the window: the status line's two forms, the
// histogram log line, the histogram's bins and the moving average.
#include "framestatistics.h"

#include <QTest>
#include <QTime>

#include <algorithm>
#include <climits>

class tst_FrameStatistics : public QObject
{
    Q_OBJECT

private slots:
    void statusText_data();
    void statusText();
    void histogramLine();
    void histogramBins_data();
    void histogramBins();
    void movingAverage_data();
    void movingAverage();
};

void tst_FrameStatistics::statusText_data()
{
    QTest::addColumn<qint64>("frame");
    QTest::addColumn<double>("avg");
    QTest::addColumn<int>("period");
    QTest::addColumn<qint64>("lost");
    QTest::addColumn<qint64>("outOfOrder");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<double>("delay");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("stamped");
    const auto row = [](const char* name, qint64 frame, double avg, int period, qint64 lost,
                        qint64 outOfOrder, qint64 expected, double delay, const char* text,
                        bool stamped = true) {
        QTest::newRow(name) << frame << avg << period << lost << outOfOrder << expected << delay
                            << QString::fromLatin1(text) << stamped;
    };
    row("delay form", 7, 33.3333, 34, 0, 0, 0, 0.0123,
        "frameNr:     7 avg: 33.333 frame time:   34  Delay:       12.3ms");
    row("packet-loss form", 1000, 40.123456, 41, 5, 1, 1200, 0.5,
        "frameNr: 1000 avg: 40.123 frame time:   41  packets lost: 5 out of order: 1 percentage "
        "missed: 0.417%");
    row("no delay ever stamped", 1, 0.0, 0, 0, 0, 0, 0.0,
        "frameNr:     1 avg: 0.000 frame time:    0  Delay:        0.0ms");
    row("wider numbers overflow the field widths", 123456, 1234.5, 123456, 0, 0, 0, 12345678.9,
        "frameNr: 123456 avg: 1234.500 frame time: 123456  Delay: 12345678900.0ms");
    row("one late packet switches to the loss form", 3, 10.0, 9, 0, 1, 50, 0.0,
        "frameNr: 3 avg: 10.000 frame time:    9  packets lost: 0 out of order: 1 percentage "
        "missed: 0.000%");
    row("nothing expected yet shows 0.000 missed", 3, 10.0, 9, 4, 0, 0, 0.0,
        "frameNr: 3 avg: 10.000 frame time:    9  packets lost: 4 out of order: 0 percentage "
        "missed: 0.000%");
    // A frame without a time stamp (H.264): no figure, whatever another
    // device's frame left behind.
    row("frame without a time stamp", 7, 33.3333, 34, 0, 0, 0, 0.0123,
        "frameNr:     7 avg: 33.333 frame time:   34  Delay: no time stamp", false);
    row("frame without a time stamp, packets lost", 7, 33.3333, 34, 2, 0, 100, 0.0,
        "frameNr: 7 avg: 33.333 frame time:   34  packets lost: 2 out of order: 0 percentage "
        "missed: 2.000%",
        false);
    row("negative delay", 2, 1.0, 1, 0, 0, 0, -0.0015,
        "frameNr:     2 avg: 1.000 frame time:    1  Delay:       -1.5ms");
    // Counts beyond 2^31 are shown in full, in the same format.
    row("frame count beyond 32 bits", 3000000000LL, 40.0, 40, 0, 0, 0, 0.002,
        "frameNr: 3000000000 avg: 40.000 frame time:   40  Delay:        2.0ms");
    row("packet counts beyond 32 bits", 3000000000LL, 40.0, 40, 5000000000LL, 3000000000LL,
        6000000000LL, 0.0,
        "frameNr: 3000000000 avg: 40.000 frame time:   40  packets lost: 5000000000 out of order: "
        "3000000000 percentage missed: 83.333%");
}

void tst_FrameStatistics::statusText()
{
    QFETCH(qint64, frame);
    QFETCH(double, avg);
    QFETCH(int, period);
    QFETCH(qint64, lost);
    QFETCH(qint64, outOfOrder);
    QFETCH(qint64, expected);
    QFETCH(double, delay);
    QFETCH(QString, text);
    QFETCH(bool, stamped);
    QCOMPARE(
        FrameStatistics::statusText(frame, avg, period, lost, outOfOrder, expected, delay, stamped),
        text);
}

void tst_FrameStatistics::histogramLine()
{
    FrameStatistics::HistogramCounts counts = {0, 3, 900, 50, 20, 10, 5, 4, 3, 2, 1, 1, 0};
    QCOMPARE(FrameStatistics::histogramLine(QTime(12, 34, 56, 789), 1000,
                                            FrameStatistics::HistogramLimits, counts),
             QStringLiteral("12:34:56.789: MARK histogram frame1000  10:0 20:3 30:900 40:50 50:20 "
                            "60:10 70:5 80:4 100:3 120:2 150:1 200:1 100000:0\n"));
    QCOMPARE(FrameStatistics::histogramLine(QTime(1, 2, 3, 4), 2000,
                                            FrameStatistics::HistogramLimits, {}),
             QStringLiteral("01:02:03.004: MARK histogram frame2000  10:0 20:0 30:0 40:0 50:0 "
                            "60:0 70:0 80:0 100:0 120:0 150:0 200:0 100000:0\n"));
    // Beyond 2^31 frames the counts are written in full.
    counts.fill(0);
    counts[2] = 4000000000LL;
    counts[12] = 2147483648LL;
    QCOMPARE(
        FrameStatistics::histogramLine(QTime(0, 0), 6147483648LL, FrameStatistics::HistogramLimits,
                                       counts),
        QStringLiteral("00:00:00.000: MARK histogram frame6147483648  10:0 20:0 30:4000000000 "
                       "40:0 50:0 60:0 70:0 80:0 100:0 120:0 150:0 200:0 100000:2147483648\n"));
}

void tst_FrameStatistics::histogramBins_data()
{
    QTest::addColumn<qint64>("period");
    QTest::addColumn<int>("bin");
    QTest::newRow("0 ms") << qint64(0) << 0;
    QTest::newRow("9 ms") << qint64(9) << 0;
    QTest::newRow("10 ms is not below 10") << qint64(10) << 1;
    QTest::newRow("79 ms") << qint64(79) << 7;
    QTest::newRow("80 ms") << qint64(80) << 8;
    QTest::newRow("90 ms, no bound at 90") << qint64(90) << 8;
    QTest::newRow("99 ms") << qint64(99) << 8;
    QTest::newRow("100 ms") << qint64(100) << 9;
    QTest::newRow("200 ms") << qint64(200) << 12;
    QTest::newRow("99999 ms") << qint64(99999) << 12;
    QTest::newRow("100000 ms counted nowhere") << qint64(100000) << -1;
    QTest::newRow("beyond the int range counted nowhere") << qint64(1) << -1;
}

void tst_FrameStatistics::histogramBins()
{
    QFETCH(qint64, period);
    QFETCH(int, bin);
    if (QByteArray(QTest::currentDataTag()).startsWith("beyond"))
        period = (qint64(1) << 32) + 5;
    FrameStatistics statistics;
    QCOMPARE(statistics.addFrame(period), int(std::min<qint64>(period, INT_MAX)));
    FrameStatistics::HistogramCounts expected = {};
    if (bin >= 0)
        expected[bin] = 1;
    QCOMPARE(statistics.histCount(), expected);
    QCOMPARE(statistics.frameCount(), 1);
}

void tst_FrameStatistics::movingAverage_data()
{
    QTest::addColumn<QList<qint64>>("periods");
    QTest::addColumn<double>("average");
    QTest::newRow("first frame seeds") << QList<qint64>{50} << 50.0;
    QTest::newRow("then one hundredth of the difference") << QList<qint64>{50, 150} << 51.0;
    QTest::newRow("zero is re-seeded by the next frame") << QList<qint64>{0, 0, 30} << 30.0;
    QTest::newRow("three frames") << QList<qint64>{100, 0, 0} << 100.0 * 0.99 * 0.99;
}

void tst_FrameStatistics::movingAverage()
{
    QFETCH(QList<qint64>, periods);
    QFETCH(double, average);
    FrameStatistics statistics;
    for (qint64 p : periods)
        statistics.addFrame(p);
    QVERIFY(qAbs(statistics.avgFrameTime() - average) < 1e-9);
    QCOMPARE(statistics.frameCount(), periods.size());
}

QTEST_GUILESS_MAIN(tst_FrameStatistics)
#include "tst_framestatistics.moc"

// SPDX-License-Identifier: MIT
#include "stopwatch.h"

#include <QTest>

#include <limits>
#include <memory>

namespace {

constexpr long long NsPerUs = 1000;
constexpr long long NsPerMs = 1000000;

// A counter the test advances by hand, in nanoseconds.
struct FakeClock
{
    std::shared_ptr<long long> ns = std::make_shared<long long>(5'000'000'000'000LL);

    Stopwatch stopwatch() const
    {
        auto counter = ns;
        return Stopwatch([counter] { return *counter; }, 1000000000);
    }
    long long nowUs() const { return *ns / NsPerUs; }
    void advanceMs(long long ms) { *ns += ms * NsPerMs; }
};

} // namespace

class tst_Stopwatch : public QObject
{
    Q_OBJECT

private slots:
    void currentMicroseconds_data();
    void currentMicroseconds();
    void firstCallIsZero_data();
    void firstCallIsZero();
    void steadyFramesGiveZero();
    void fastFrameDecays();
    void minimumRisesWithElapsedTime_data();
    void minimumRisesWithElapsedTime();
    void realClockIsMonotonic();
};

void tst_Stopwatch::currentMicroseconds_data()
{
    QTest::addColumn<long long>("counter");
    QTest::addColumn<long long>("frequency");
    QTest::addColumn<long long>("expected");

    QTest::newRow("zero") << 0LL << 1000000000LL << 0LL;
    QTest::newRow("below one microsecond") << 999LL << 1000000000LL << 0LL;
    QTest::newRow("nanoseconds") << 1234567891LL << 1000000000LL << 1234567LL;
    QTest::newRow("odd frequency") << 10LL << 3LL << 3333333LL;
    QTest::newRow("10 MHz counter") << 123456789LL << 10000000LL << 12345678LL;
    // Scaling the whole counter by 1000000 would overflow here.
    QTest::newRow("largest counter")
        << std::numeric_limits<long long>::max() << 1000000000LL << 9223372036854775LL;
}

void tst_Stopwatch::currentMicroseconds()
{
    QFETCH(long long, counter);
    QFETCH(long long, frequency);
    QFETCH(long long, expected);
    const Stopwatch sw([counter] { return counter; }, frequency);
    QCOMPARE(sw.currentMicroseconds(), expected);
}

void tst_Stopwatch::firstCallIsZero_data()
{
    QTest::addColumn<long long>("transitUs");
    QTest::newRow("ordinary transit") << 12345LL;
    QTest::newRow("device clock ahead") << -987654321LL;
    QTest::newRow("unrelated epoch") << 1700000000000000LL;
}

void tst_Stopwatch::firstCallIsZero()
{
    QFETCH(long long, transitUs);
    FakeClock clock;
    Stopwatch sw = clock.stopwatch();
    clock.advanceMs(40);
    QCOMPARE(sw.delayMicroseconds(clock.nowUs() - transitUs), 0LL);
}

void tst_Stopwatch::steadyFramesGiveZero()
{
    FakeClock clock;
    Stopwatch sw = clock.stopwatch();
    const long long transit = 70000;
    for (int i = 0; i < 50; ++i) {
        clock.advanceMs(40);
        QCOMPARE(sw.delayMicroseconds(clock.nowUs() - transit), 0LL);
    }
}

void tst_Stopwatch::fastFrameDecays()
{
    FakeClock clock;
    Stopwatch sw = clock.stopwatch();
    const long long transit = 70000;
    clock.advanceMs(40);
    QCOMPARE(sw.delayMicroseconds(clock.nowUs() - transit), 0LL);
    // One frame 3000 us faster than the others becomes the new minimum.
    clock.advanceMs(40);
    QCOMPARE(sw.delayMicroseconds(clock.nowUs() - (transit - 3000)), 0LL);
    // The minimum then rises by 40 us per 40 ms frame until it catches up.
    long long expected = 3000;
    for (int i = 0; i < 80; ++i) {
        expected = std::max(0LL, expected - 40);
        clock.advanceMs(40);
        QCOMPARE(sw.delayMicroseconds(clock.nowUs() - transit), expected);
    }
    QCOMPARE(expected, 0LL);
}

void tst_Stopwatch::minimumRisesWithElapsedTime_data()
{
    QTest::addColumn<long long>("gapMs");
    QTest::addColumn<long long>("extraTransitUs");
    QTest::addColumn<long long>("expected");

    QTest::newRow("2 s gap absorbs 2000 us") << 2000LL << 2000LL << 0LL;
    QTest::newRow("2 s gap, 2500 us slower") << 2000LL << 2500LL << 500LL;
    QTest::newRow("40 ms gap, 5040 us slower") << 40LL << 5040LL << 5000LL;
    QTest::newRow("faster frame") << 40LL << -100LL << 0LL;
}

void tst_Stopwatch::minimumRisesWithElapsedTime()
{
    QFETCH(long long, gapMs);
    QFETCH(long long, extraTransitUs);
    QFETCH(long long, expected);
    FakeClock clock;
    Stopwatch sw = clock.stopwatch();
    const long long transit = 250000;
    clock.advanceMs(40);
    QCOMPARE(sw.delayMicroseconds(clock.nowUs() - transit), 0LL);
    clock.advanceMs(gapMs);
    QCOMPARE(sw.delayMicroseconds(clock.nowUs() - transit - extraTransitUs), expected);
}

void tst_Stopwatch::realClockIsMonotonic()
{
    const Stopwatch sw;
    long long previous = sw.currentMicroseconds();
    for (int i = 0; i < 1000; ++i) {
        const long long now = sw.currentMicroseconds();
        QVERIFY(now >= previous);
        previous = now;
    }
}

QTEST_GUILESS_MAIN(tst_Stopwatch)
#include "tst_stopwatch.moc"

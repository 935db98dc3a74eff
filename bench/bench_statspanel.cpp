// SPDX-License-Identifier: MIT
// How busy the GUI thread is with 16 devices at 25 frames/s each in the
// tiles, with the statistics panel open and closed: frames are handed to
// the window at their real pace (one every 2.5 ms), each with its record,
// and the event loop runs in between, so that the panel's and the
// captions' timers fire as they do in the viewer. The figure is the GUI
// thread's CPU time over the wall time of the run.
#include "getstreamimage.h"
#include "imagedisplay.h"
#include "onlydisplay.h"
#include "statisticscontrol.h"
#include "statspanel.h"

#include "jpegencoder.h"
#include "testpattern.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <ctime>
#include <vector>

namespace {

constexpr int Devices = 16;
constexpr int Fps = 25;
constexpr int FrameWidth = 640;
constexpr int FrameHeight = 480;

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Argument: the statistics panel open (1) or closed (0). One iteration is
// one second of frames.
void BM_GuiBusyWithPanel(benchmark::State& state)
{
    const bool panelOpen = state.range(0) != 0;
    QTemporaryDir dir;
    QByteArray ini = "[General]\nview=tiles\n";
    for (int i = 0; i < Devices; ++i)
        ini += QStringLiteral("[dev%1]\nhost=127.0.0.1\nport=1\nsizeX=%2\nsizeY=%3\n")
                   .arg(i)
                   .arg(FrameWidth)
                   .arg(FrameHeight)
                   .toLatin1();
    QFile file(dir.filePath(QStringLiteral("panel.ini")));
    if (!file.open(QIODevice::WriteOnly) || file.write(ini) != ini.size()) {
        state.SkipWithError("cannot write the configuration");
        return;
    }
    file.close();
    onlyDisplay window(file.fileName());
    window.resize(1280, 960);
    window.show();
    window.statisticsControl()->panel()->setVisible(panelOpen);
    QApplication::processEvents();

    const QByteArray rgb = simlib::renderTestPattern(FrameWidth, FrameHeight, 3, 1);
    const QByteArray jpeg =
        simlib::encodeJpeg(reinterpret_cast<const unsigned char*>(rgb.constData()), FrameWidth,
                           FrameHeight, 3, simlib::JpegEncodeOptions());
    QImage image = QImage::fromData(jpeg).convertToFormat(QImage::Format_RGB32);
    const QString type = QStringLiteral("image/jpeg");
    const qint64 periodNs = 1000000000LL / (qint64(Devices) * Fps);

    double busy = 0.0;
    double wall = 0.0;
    int device = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        const double cpu0 = threadCpuSeconds();
        for (int i = 0; i < Devices * Fps; ++i) {
            GetStreamImage* stream = window.streams()[device];
            stream->stats().frameArrived(DeviceStats::monotonicNs(), DeviceStats::wallClockMs(),
                                         int(jpeg.size()), type, nullptr);
            stream->stats().delayMeasured(0.004 + 0.001 * (i % 7));
            stream->stats().frameConverted(FrameRecord::Fate::Shown, FrameWidth, FrameHeight,
                                           DeviceStats::monotonicNs());
            window.showFrame(image, stream, 2);
            device = (device + 1) % Devices;
            // Until this frame's due time, the event loop runs.
            const qint64 due = (i + 1) * periodNs;
            while (clock.nsecsElapsed() < due) {
                QApplication::processEvents(QEventLoop::AllEvents, 1);
                if (due - clock.nsecsElapsed() > 300000)
                    QThread::usleep(200);
            }
        }
        busy += threadCpuSeconds() - cpu0;
        wall += double(clock.nsecsElapsed()) / 1e9;
    }
    state.counters["gui_busy_%"] = wall > 0.0 ? 100.0 * busy / wall : 0.0;
    state.counters["panel_refreshes"] = double(window.statisticsControl()->panel()->refreshes());
}

} // namespace

BENCHMARK(BM_GuiBusyWithPanel)
    ->ArgNames({"panel"})
    ->Arg(0)
    ->Arg(1)
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond);

// SPDX-License-Identifier: MIT
// The GUI thread's cost per frame with 16 devices of 640 x 480 JPEG frames,
// in the tiles next to the newest-frame view: the same frames, the same
// window size, the event loop run after every frame so that each view
// paints what one frame changed.
#include "getstreamimage.h"
#include "imagedisplay.h"
#include "onlydisplay.h"

#include "jpegencoder.h"
#include "testpattern.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr int Devices = 16;
constexpr int FrameWidth = 640;
constexpr int FrameHeight = 480;

std::vector<unsigned char> tileJpeg(int number)
{
    const QByteArray rgb = simlib::renderTestPattern(FrameWidth, FrameHeight, 3, number);
    const QByteArray jpeg =
        simlib::encodeJpeg(reinterpret_cast<const unsigned char*>(rgb.constData()), FrameWidth,
                           FrameHeight, 3, simlib::JpegEncodeOptions());
    return std::vector<unsigned char>(jpeg.begin(), jpeg.end());
}

// Arguments: view (0 newest frame, 1 tiles), decode (1: each frame goes
// through the controller's JPEG conversion; 0: a decoded image is shown).
void BM_SixteenDevices(benchmark::State& state)
{
    const bool tiles = state.range(0) != 0;
    const bool decode = state.range(1) != 0;
    QTemporaryDir dir;
    // Port 1 on the loopback refuses: the controllers stay idle and the
    // benchmark hands them the frames.
    QByteArray ini;
    for (int i = 0; i < Devices; ++i)
        ini += QStringLiteral("[dev%1]\nhost=127.0.0.1\nport=1\nsizeX=%2\nsizeY=%3\n")
                   .arg(i)
                   .arg(FrameWidth)
                   .arg(FrameHeight)
                   .toLatin1();
    QFile file(dir.filePath(QStringLiteral("tiles.ini")));
    if (!file.open(QIODevice::WriteOnly) || file.write(ini) != ini.size()) {
        state.SkipWithError("cannot write the configuration");
        return;
    }
    file.close();
    onlyDisplay window(file.fileName());
    window.resize(1280, 960);
    window.setViewMode(tiles ? imageDisplay::ViewMode::Tiles : imageDisplay::ViewMode::Newest);
    window.show();
    QApplication::processEvents();

    std::vector<std::vector<unsigned char>> frames;
    std::vector<QImage> images;
    for (int i = 0; i < Devices; ++i) {
        frames.push_back(tileJpeg(i));
        images.push_back(QImage::fromData(frames.back().data(), int(frames.back().size()))
                             .convertToFormat(QImage::Format_RGB32));
    }
    const QString jpeg = QStringLiteral("image/jpeg");
    int device = 0;
    for (auto _ : state) {
        GetStreamImage* stream = window.streams()[device];
        if (decode)
            stream->convertImage(jpeg, frames[device].data(), int(frames[device].size()));
        else
            window.showFrame(images[device], stream, 40);
        QApplication::processEvents();
        device = (device + 1) % Devices;
    }
    if (window.frameCount() != state.iterations())
        state.SkipWithError("frames were not shown");
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_SixteenDevices)
    ->ArgNames({"tiles", "decode"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

// SPDX-License-Identifier: MIT
// Frame conversion and display next to the library calls they build on.
#include "benchdata.h"

#include "getstreamimage.h"
#include "h264decoder.h"
#include "imagedisplay.h"
#include "testfiles.h"
#include "yuvimage.h"

#include <QApplication>
#include <QImage>
#include <QSettings>

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using namespace benchdata;

// A controller with the default 1280 x 960 frame size and no host, so it
// never connects: its conversion runs on buffers the benchmark hands it.
class Device
{
public:
    Device()
        : m_settings(QStringLiteral("/nonexistent/framescope-bench.ini"), QSettings::IniFormat),
          m_stream(&m_settings)
    {
    }
    GetStreamImage& stream() { return m_stream; }

private:
    QSettings m_settings;
    GetStreamImage m_stream;
};

std::vector<unsigned char> copyOf(const QByteArray& bytes)
{
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

void BM_ConvertJpeg(benchmark::State& state)
{
    Device device;
    std::vector<unsigned char> frame = copyOf(jpegFrame(0));
    const QString jpeg = QStringLiteral("image/jpeg");
    for (auto _ : state) {
        device.stream().convertImage(jpeg, frame.data(), int(frame.size()));
        benchmark::DoNotOptimize(device.stream().image().constBits());
    }
    if (device.stream().image().size() != QSize(Width, Height))
        state.SkipWithError("frame did not decode");
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(frame.size()));
}

void BM_ConvertJpeg_TurboJpeg(benchmark::State& state)
{
    std::vector<unsigned char> frame = copyOf(jpegFrame(0));
    tjhandle handle = tjInitDecompress();
    std::vector<unsigned char> pixels(std::size_t(Width) * Height * 4);
    for (auto _ : state) {
        int width = 0;
        int height = 0;
        int subsampling = 0;
        int colorspace = 0;
        if (tjDecompressHeader3(handle, frame.data(), (unsigned long)frame.size(), &width, &height,
                                &subsampling, &colorspace)
                != 0
            || tjDecompress2(handle, frame.data(), (unsigned long)frame.size(), pixels.data(),
                             width, 0, height, TJPF_BGRX, 0)
                   != 0) {
            state.SkipWithError("TurboJPEG failed");
            break;
        }
        benchmark::DoNotOptimize(pixels.data());
    }
    tjDestroy(handle);
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(frame.size()));
}

// Access units of a 1280 x 960 H.264 stream as a camera sends it (an IDR
// picture every 25 frames, no B-frames), made once by ffmpeg; empty when
// ffmpeg cannot make it.
const QList<QByteArray>& h264Units(QString* error)
{
    static QString failure;
    static const QList<QByteArray> units = [] {
        QByteArray stream;
        if (!ffmpegH264Stream(QSize(Width, Height), 50, 25, &stream, nullptr, &failure))
            return QList<QByteArray>();
        return h264AccessUnits(stream);
    }();
    *error = failure;
    return units;
}

// The H.264 path of the decode pool on one thread: each access unit in
// turn on the device's decoder, converted to RGB, as convertFrame does it
// for a pool thread. Next to BM_ConvertJpeg, at the same frame size.
void BM_ConvertH264(benchmark::State& state)
{
    QString error;
    const QList<QByteArray>& units = h264Units(&error);
    if (units.isEmpty()) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    FrameJob job;
    job.conType = QLatin1String(H264ContentType);
    job.h264 = std::make_shared<H264Decoder>();
    job.ownPixels = true;
    std::int64_t shown = 0;
    std::int64_t bytes = 0;
    qsizetype next = 0;
    for (auto _ : state) {
        const QByteArray& unit = units[next];
        next = (next + 1) % units.size();
        job.data = ubytes(unit);
        job.len = int(unit.size());
        const ConvertedFrame frame = convertFrame(job);
        shown += frame.image.size() == QSize(Width, Height) ? 1 : 0;
        bytes += unit.size();
        benchmark::DoNotOptimize(frame.image.constBits());
    }
    if (shown != std::int64_t(state.iterations()))
        state.SkipWithError("a frame did not decode");
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(bytes);
}

// The share of BM_ConvertH264 spent turning the decoder's 4:2:0 planes into
// an RGB picture.
void BM_ConvertH264_YuvToRgb(benchmark::State& state)
{
    std::vector<unsigned char> luma(std::size_t(Width) * Height, 100);
    std::vector<unsigned char> chroma(std::size_t(Width / 2) * (Height / 2), 140);
    YuvPlanes planes;
    planes.y = luma.data();
    planes.u = chroma.data();
    planes.v = chroma.data();
    planes.yStride = Width;
    planes.uStride = Width / 2;
    planes.vStride = Width / 2;
    planes.width = Width;
    planes.height = Height;
    for (auto _ : state) {
        QImage image = yuvPlanesToImage(planes);
        benchmark::DoNotOptimize(image.constBits());
    }
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_GrayDisplay(benchmark::State& state)
{
    Device device;
    imageDisplay window(QStringLiteral("/nonexistent/framescope-bench.ini"));
    QObject::connect(&device.stream(), &GetStreamImage::acquisitionEvent, &window,
                     &imageDisplay::acquisitionEvent);
    window.show();
    QApplication::processEvents();
    std::vector<unsigned char> frame = copyOf(grayFrame());
    const QString gray = QStringLiteral("video/x-raw-gray");
    for (auto _ : state)
        device.stream().convertImage(gray, frame.data(), int(frame.size()));
    if (window.frameCount() != int(state.iterations()))
        state.SkipWithError("frames were not shown");
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// The JPEG path through the window: conversion, pixmap, overlay painter and
// repaint, next to BM_ConvertJpeg (the conversion alone).
void BM_JpegDisplay(benchmark::State& state)
{
    Device device;
    imageDisplay window(QStringLiteral("/nonexistent/framescope-bench.ini"));
    QObject::connect(&device.stream(), &GetStreamImage::acquisitionEvent, &window,
                     &imageDisplay::acquisitionEvent);
    window.show();
    QApplication::processEvents();
    std::vector<unsigned char> frame = copyOf(jpegFrame(0));
    const QString jpeg = QStringLiteral("image/jpeg");
    for (auto _ : state)
        device.stream().convertImage(jpeg, frame.data(), int(frame.size()));
    if (window.frameCount() != int(state.iterations()))
        state.SkipWithError("frames were not shown");
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_GrayDisplay_ConvertToFormat(benchmark::State& state)
{
    std::vector<unsigned char> frame = copyOf(grayFrame());
    QImage indexed(frame.data(), Width, Height, QImage::Format_Indexed8);
    indexed.setColorTable(grayColorTable());
    for (auto _ : state) {
        QImage rgb = indexed.convertToFormat(QImage::Format_RGB32);
        benchmark::DoNotOptimize(rgb.constBits());
    }
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_ConvertJpeg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertJpeg_TurboJpeg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertH264)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertH264_YuvToRgb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDisplay)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GrayDisplay)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GrayDisplay_ConvertToFormat)->Unit(benchmark::kMillisecond);

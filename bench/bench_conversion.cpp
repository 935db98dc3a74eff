// SPDX-License-Identifier: MIT
// Frame conversion and display next to the library calls they build on.
#include "benchdata.h"

#include "getstreamimage.h"
#include "imagedisplay.h"

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
BENCHMARK(BM_JpegDisplay)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GrayDisplay)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GrayDisplay_ConvertToFormat)->Unit(benchmark::kMillisecond);

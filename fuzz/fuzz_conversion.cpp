// SPDX-License-Identifier: MIT
// Frame conversion: a device configured with fuzzed sizeX, sizeY and content
// type override converts fuzzed frame bytes, delivered in its transfer
// buffer with a fuzzed content type; the resulting image is then read the
// way the window reads it when it draws the frame.
#include "fuzzsupport.h"
#include "getstreamimage.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace {
QSettings* g_settings;

// Gives the harness the transfer buffer, which the worker fills in the
// running program.
class FuzzStreamImage : public GetStreamImage
{
public:
    using GetStreamImage::GetStreamImage;
    unsigned char* transfer() { return m_transferBuf; }
};

// Content type texts picked by one input byte.
QString contentText(std::uint8_t selector)
{
    switch (selector % 8) {
    case 0:
        return QString();
    case 1:
        return QStringLiteral("image/jpeg");
    case 2:
        return QStringLiteral("video/x-raw-gray");
    case 3:
        return QStringLiteral("none");
    case 4:
        return QStringLiteral("image/jpeg "); // compared exactly: not JPEG
    case 6:
    case 7:
        return QStringLiteral("video/x-raw-gray16");
    default:
        return QStringLiteral("VIDEO/X-RAW-GRAY");
    }
}

// A dimension as the configuration file holds it: a decimal number, with a
// digit appended (to go beyond the int range) or as text that is no number.
QString dimensionText(std::int32_t value, int style)
{
    switch (style) {
    case 1:
        return QString::number(value) + QLatin1Char('0');
    case 2:
        return QStringLiteral("%1x").arg(value);
    case 3:
        return QStringLiteral(" %1 ").arg(value);
    default:
        return QString::number(value);
    }
}

std::int32_t readInt32(const std::uint8_t* p)
{
    return std::int32_t(std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8)
                        | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24));
}

// Reads every pixel byte the image claims to have, as drawing it does.
unsigned sumPixels(const QImage& image)
{
    if (image.isNull())
        return 0;
    const qsizetype rowBytes = (qsizetype(image.width()) * image.depth() + 7) / 8;
    // Large decoded images: the first and the last row only, to keep runs short.
    const int step = rowBytes * image.height() > 16 * 1024 * 1024 ? image.height() - 1 : 1;
    unsigned sum = 0;
    for (int y = 0; y < image.height(); y += std::max(step, 1)) {
        const uchar* row = image.constScanLine(y);
        for (qsizetype x = 0; x < rowBytes; ++x)
            sum += row[x];
    }
    return sum;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzzsupport::quietProcess();
    new QCoreApplication(*argc, *argv);
    // Never written: the settings are only a device group for the
    // controllers to read.
    static QTemporaryDir dir;
    g_settings = new QSettings(dir.filePath(QStringLiteral("device.ini")), QSettings::IniFormat);
    return 0;
}

// Input: sizeX and sizeY (4 bytes each, little-endian), a byte of text
// styles for them (and the display size in its high half), the content type override and the
// delivered content type (one selector byte each), then the frame bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t Head = 11;
    if (size < Head)
        return 0;
    g_settings->clear();
    g_settings->setValue(QStringLiteral("sizeX"), dimensionText(readInt32(data), data[8] & 3));
    g_settings->setValue(QStringLiteral("sizeY"),
                         dimensionText(readInt32(data + 4), (data[8] >> 2) & 3));
    g_settings->setValue(QStringLiteral("contentoverwrite"), contentText(data[9]));
    // The 16-bit keys: byte order and levels, from the style byte's high bits.
    if (data[8] & 0x10)
        g_settings->setValue(QStringLiteral("pixel_order"), QStringLiteral("big"));
    if (data[8] & 0x20)
        g_settings->setValue(QStringLiteral("levels"), (data[8] & 0x40) ? QStringLiteral("100,4000")
                                                                        : QStringLiteral("auto"));
    const QString conType = contentText(data[10]);
    const std::uint8_t* frame = data + Head;
    const std::size_t frameSize = size - Head;

    // A controller starts a thread and allocates its worker's frame buffers
    // and its transfer buffer, which costs more than converting most frames.
    // Controllers are kept per configuration (a few at a time), since most
    // mutations leave the configuration bytes alone or go back to one seen.
    static std::map<QByteArray, std::unique_ptr<FuzzStreamImage>> s_devices;
    const QByteArray config(reinterpret_cast<const char*>(data), 10);
    auto it = s_devices.find(config);
    if (it == s_devices.end()) {
        if (s_devices.size() >= 16)
            s_devices.erase(s_devices.begin());
        it = s_devices.emplace(config, std::make_unique<FuzzStreamImage>(g_settings)).first;
    }
    FuzzStreamImage& device = *it->second;
    FUZZ_CHECK(device.transferLength() >= GetStreamImage::TransferSpareBytes);
    FUZZ_CHECK(qint64(device.sizeX()) * device.sizeY() * (device.isGray16() ? 2 : 1)
               <= GetStreamImage::MaxFramePixels);
    // Pixel reads are bounded by the frame size; keep each run short.
    if (qint64(device.sizeX()) * device.sizeY() > 4 * 1024 * 1024)
        return 0;
    const int len = int(std::min<std::size_t>(frameSize, std::size_t(device.transferLength())));
    std::memcpy(device.transfer(), frame, std::size_t(len));
    // Bytes of the transfer buffer that this delivery did not fill hold an
    // earlier frame; make them defined.
    std::memset(device.transfer() + len, 0, std::size_t(device.transferLength() - len));

    // The size the window shows the frames at (the style byte's high
    // half): 0 full size, otherwise small enough for a JPEG frame to be
    // decoded scaled down, and then decoded again at full size on demand.
    const int shownAt = data[8] >> 4;
    device.setDisplaySize(shownAt == 0 ? QSize() : QSize(shownAt * 20, shownAt * 15));

    unsigned sum = 0;
    const QMetaObject::Connection c =
        QObject::connect(&device, &GetStreamImage::acquisitionEvent, &device,
                         [&](QImage& image, GetStreamImage* from) {
                             sum += sumPixels(image) + sumPixels(from->rawImage());
                         });
    device.convertImage(conType, device.transfer(), len);
    QObject::disconnect(c);
    // The raw values of a 16-bit frame have the configured size, never more.
    FUZZ_CHECK(device.rawImage().isNull()
               || device.rawImage().size() == QSize(device.sizeX(), device.sizeY()));
    if (device.shownScaled())
        sum += sumPixels(device.fullResolutionImage());
    (void)sum;
    return 0;
}

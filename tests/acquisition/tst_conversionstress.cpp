// SPDX-License-Identifier: MIT
// Four devices stream frames over loopback into their controllers, which
// decode them in the shared decode pool, and the controllers are destroyed
// mid-stream the way the window closes, several times over. Every image
// handed to the window must be one whole frame (never a mix of two), arrive
// in the order the device sent it, and have pixels of its own, never those
// of a transfer buffer that is filled again.
//
// The worker's delivery reaches the controller through a direct connection
// and a lock of the test's own instead of the queued connection, so that the
// test decides when deliveries and results are handled. The race detector
// cannot see the ordering of the toolkit's queued calls, which the
// controller's connection set-up uses; tst_converterhandoff runs the same
// hand-off without them under it.
#include "frameconversion.h"
#include "getstreamimage.h"
#include "loopbackpeer.h"
#include "multipartwriter.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace {

constexpr int Devices = 4;
constexpr int Width = 64;
constexpr int Height = 48;
constexpr int FramesPerRound = 400;
constexpr int Rounds = 3;
constexpr int Colours = 8;

// The frame number of an intact gray image, or -1 for a torn one.
qint64 grayNumber(const QImage& image)
{
    return image.format() == QImage::Format_Indexed8
               ? numberedGrayFrameNumber(image, QSize(Width, Height))
               : -1;
}

QRgb colour(int i)
{
    return qRgb((i & 1) ? 230 : 20, (i & 2) ? 230 : 20, (i & 4) ? 230 : 20);
}

// The colour index of a JPEG image that is one colour throughout, or -1.
int jpegColour(const QImage& image)
{
    if (image.size() != QSize(Width, Height))
        return -1;
    const QRgb first = image.pixel(0, 0);
    int found = -1;
    for (int i = 0; i < Colours; ++i)
        if (qAbs(qRed(first) - qRed(colour(i))) < 24 && qAbs(qGreen(first) - qGreen(colour(i))) < 24
            && qAbs(qBlue(first) - qBlue(colour(i))) < 24)
            found = i;
    for (int y = 0; y < Height; y += 3)
        for (int x = 0; x < Width; x += 3)
            if (qAbs(qRed(image.pixel(x, y)) - qRed(first)) > 24
                || qAbs(qGreen(image.pixel(x, y)) - qGreen(first)) > 24
                || qAbs(qBlue(image.pixel(x, y)) - qBlue(first)) > 24)
                return -1;
    return found;
}

struct Delivery
{
    QString conType;
    unsigned char* buffer;
    int len;
    QString logMsg;
};

// One device: its peer, its controller and the mailbox its worker's
// deliveries wait in.
struct Device
{
    int index = 0;
    bool gray = true;
    LoopbackPeer peer;
    std::unique_ptr<GetStreamImage> controller;
    std::mutex lock;
    std::optional<Delivery> mailbox;
    qint64 lastShown = -1;
    int shown = 0;
    int torn = 0;
    int outOfOrder = 0;
    int aliased = 0;
};

} // namespace

class tst_ConversionStress : public QObject
{
    Q_OBJECT

private slots:
    void streamAndCloseMidStream();
};

void tst_ConversionStress::streamAndCloseMidStream()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    std::vector<QByteArray> jpegs;
    for (int i = 0; i < Colours; ++i)
        jpegs.push_back(jpegFile(solidFrame(Width, Height, QColor(colour(i))), 90));

    std::vector<std::unique_ptr<Device>> devices;
    for (int d = 0; d < Devices; ++d) {
        devices.push_back(std::make_unique<Device>());
        devices.back()->index = d;
        devices.back()->gray = d % 2 == 0;
        QVERIFY(devices.back()->peer.isListening());
    }

    int inFlightAtClose = 0;
    for (int round = 0; round < Rounds; ++round) {
        // Open: a controller per device, its deliveries through the mailbox.
        for (auto& dev : devices) {
            Device* device = dev.get();
            QSettings settings(dir.filePath(QStringLiteral("stress.ini")), QSettings::IniFormat);
            settings.beginGroup(QStringLiteral("dev%1").arg(device->index));
            settings.setValue(QStringLiteral("host"), QStringLiteral("127.0.0.1"));
            settings.setValue(QStringLiteral("port"), device->peer.port());
            settings.setValue(QStringLiteral("sizeX"), Width);
            settings.setValue(QStringLiteral("sizeY"), Height);
            device->controller = std::make_unique<GetStreamImage>(&settings);
            GetStreamImage* c = device->controller.get();
            QVERIFY(c->convertsInThread());
            QVERIFY(disconnect(c->worker(), &ImageGetWorker::newImageReceived, c,
                               &GetStreamImage::newImageReceived));
            connect(
                c->worker(), &ImageGetWorker::newImageReceived, c,
                [device](QString conType, unsigned char* buffer, int len, QString logMsg) {
                    std::lock_guard lock(device->lock);
                    device->mailbox = Delivery{conType, buffer, len, logMsg};
                },
                Qt::DirectConnection);
            connect(c, &GetStreamImage::acquisitionEvent, c, [device](QImage& image) {
                ++device->shown;
                GetStreamImage* c = device->controller.get();
                for (int i = 0; i < c->transferBufferCount(); ++i) {
                    const unsigned char* b = c->transferBufferAt(i);
                    if (image.constBits() >= b && image.constBits() < b + c->transferLength())
                        ++device->aliased;
                }
                const qint64 k = device->gray ? grayNumber(image) : jpegColour(image);
                if (k < 0) {
                    ++device->torn;
                    return;
                }
                // JPEG frames carry their number modulo the colours only.
                if (device->gray && k <= device->lastShown)
                    ++device->outOfOrder;
                device->lastShown = k;
            });
            QVERIFY(device->peer.acceptClient(5000));
        }

        // Stream: one frame per device per turn, deliveries handed on and
        // results taken in between; closed while frames still arrive.
        const int closeAt = FramesPerRound / 2 + round * 50;
        // Hands each waiting delivery to its controller and takes results.
        const auto handOn = [&devices] {
            for (auto& device : devices) {
                std::optional<Delivery> delivery;
                {
                    std::lock_guard lock(device->lock);
                    delivery.swap(device->mailbox);
                }
                if (delivery)
                    device->controller->newImageReceived(delivery->conType, delivery->buffer,
                                                         delivery->len, delivery->logMsg);
            }
            QCoreApplication::processEvents();
        };
        std::vector<int> shownBefore;
        for (auto& device : devices)
            shownBefore.push_back(device->shown);
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < FramesPerRound && clock.elapsed() < 60000; ++i) {
            for (auto& device : devices) {
                const quint32 k = quint32(round * FramesPerRound + i);
                const QByteArray body =
                    device->gray ? numberedGrayFrame(k, QSize(Width, Height)) : jpegs[k % Colours];
                QVERIFY(device->peer.send(
                    simlib::multipartPart(device->gray ? "video/x-raw-gray" : "image/jpeg", body)));
            }
            if (i == closeAt)
                break;
            for (int turn = 0; turn < 4; ++turn)
                handOn();
            // A receiver makes its two frame arrays with its first two
            // frames, which can take longer than this whole loop on a busy
            // machine; those frames are waited for, so that the rest of the
            // round streams into receivers that keep up.
            if (i < 2) {
                const auto shownThisRound = [&](int count) {
                    for (std::size_t d = 0; d < devices.size(); ++d)
                        if (devices[d]->shown < shownBefore[d] + count)
                            return false;
                    return true;
                };
                QElapsedTimer wait;
                wait.start();
                while (!shownThisRound(i + 1) && wait.elapsed() < 10000) {
                    handOn();
                    QThread::msleep(1);
                }
            }
        }

        // Close as the window does: every worker is asked to stop first,
        // then the controllers go, with conversions still in flight.
        for (auto& device : devices) {
            inFlightAtClose += device->controller->framesInConversion();
            device->controller->worker()->requestStop();
        }
        for (auto& device : devices) {
            device->controller.reset();
            std::lock_guard lock(device->lock);
            device->mailbox.reset();
            device->lastShown = -1;
        }
    }

    for (auto& device : devices) {
        const QByteArray name = QByteArray::number(device->index);
        QVERIFY2(device->shown > Rounds, name);
        QVERIFY2(device->torn == 0, name);
        QVERIFY2(device->outOfOrder == 0, name);
        QVERIFY2(device->aliased == 0, name);
    }
    qInfo("shown %d %d %d %d, %d frames converting at the closes", devices[0]->shown,
          devices[1]->shown, devices[2]->shown, devices[3]->shown, inFlightAtClose);
}

QTEST_GUILESS_MAIN(tst_ConversionStress)
#include "tst_conversionstress.moc"

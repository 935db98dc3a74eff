// SPDX-License-Identifier: MIT
#include "frameconversion.h"
#include "framehistory.h"
#include "framerecorder.h"
#include "getstreamimage.h"
#include "loopbackpeer.h"
#include "multipartdec.h"
#include "multipartwriter.h"
#include "recordingreader.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/socket.h> // SOCK_STREAM

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

const QString Gray = QStringLiteral("video/x-raw-gray");
const QString Jpeg = QStringLiteral("image/jpeg");

// A raw gray frame whose pixel (x, y) is (x * 7 + y * 13 + seed) mod 256,
// with the first pixel black and the last white.
QByteArray grayFrame(int w, int h, int seed = 0)
{
    QByteArray f(qsizetype(w) * h, '\0');
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            f[qsizetype(y) * w + x] = char((x * 7 + y * 13 + seed) & 0xFF);
    f[0] = char(0);
    f[f.size() - 1] = char(0xFF);
    return f;
}

QByteArray jpegFile(int w, int h, QRgb colour)
{
    return ::jpegFile(solidFrame(w, h, colour));
}

QByteArray withApp9(const QByteArray& jpeg, long long deviceTimeUs)
{
    const auto seconds = quint32(deviceTimeUs / 1000000);
    const auto micros = quint32(deviceTimeUs % 1000000);
    return jpeg.left(2) + app9Segment(7, seconds, micros) + jpeg.mid(2);
}

// The keys of a device of raw frames of w x h pixels, with the content type
// forced to `overwrite` and a log file, when given.
QVariantMap sized(int w, int h, const QString& overwrite = {}, const QString& log = {})
{
    QVariantMap keys{{QStringLiteral("sizeX"), w}, {QStringLiteral("sizeY"), h}};
    if (!overwrite.isEmpty())
        keys.insert(QStringLiteral("contentoverwrite"), overwrite);
    if (!log.isEmpty())
        keys.insert(QStringLiteral("logfile"), log);
    return keys;
}

// A controller with hooks for the tests: a replaceable stopwatch, and a way
// to turn deliveries into empty ones.
class TestController : public GetStreamImage
{
public:
    using GetStreamImage::GetStreamImage;

    void setStopwatch(const Stopwatch& stopwatch) { m_stopwatch = stopwatch; }

    void processImage(QString conType, unsigned char* pBuf, int len) override
    {
        ++processCalls;
        if (emptyDeliveries > 0) {
            --emptyDeliveries;
            len = 0;
        }
        GetStreamImage::processImage(conType, pBuf, len);
    }

    int processCalls = 0;
    int emptyDeliveries = 0;
};

// Records what the controller hands to the window.
struct Receiver
{
    explicit Receiver(GetStreamImage* c = nullptr)
    {
        if (c != nullptr)
            attach(c);
    }
    QList<QImage> images;
    QList<GetStreamImage*> senders;
    std::function<void()> onEvent;

    // The controller is also the context, so that nothing queued reaches
    // this receiver after the controller is gone.
    void attach(GetStreamImage* c)
    {
        QObject::connect(c, &GetStreamImage::acquisitionEvent, c,
                         [this](QImage& image, GetStreamImage* ovlImage) {
                             if (onEvent)
                                 onEvent();
                             // A gray image refers to the transfer buffer;
                             // keep a copy of its pixels.
                             images.append(image.copy());
                             senders.append(ovlImage);
                         });
    }
};

// Plays the worker: copies `frame` into the buffer the controller asked to
// have filled (or, `toTransfer`, into its first transfer buffer) and
// delivers it, as `len` bytes when given. False when no buffer is asked for.
bool deliver(GetStreamImage* c, const QString& type, const QByteArray& frame,
             const QString& log = QString(), int len = -1, bool toTransfer = false)
{
    auto* buffer =
        const_cast<unsigned char*>(toTransfer ? c->transferBuffer() : c->requestedBuffer());
    if (buffer == nullptr)
        return false;
    const int n = int(std::min<qsizetype>(frame.size(), c->transferLength()));
    std::memcpy(buffer, frame.constData(), std::size_t(n));
    c->newImageReceived(type, buffer, len < 0 ? n : len, log);
    return true;
}

// Has `c` convert `frame` from a block of exactly its length, so that a read
// past it is caught by the address sanitizer.
void convert(GetStreamImage* c, const QString& type, const QByteArray& frame)
{
    std::vector<unsigned char> block(frame.begin(), frame.end());
    c->convertImage(type, block.data(), int(block.size()));
}

bool sameGrayPixels(const QImage& image, const QByteArray& frame, int w, int h)
{
    if (image.width() != w || image.height() != h || image.format() != QImage::Format_Indexed8)
        return false;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int v = uchar(frame[qsizetype(y) * w + x]);
            if (image.pixel(x, y) != qRgb(v, v, v))
                return false;
        }
    return true;
}

bool isNearly(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) <= 8 && qAbs(qGreen(a) - qGreen(b)) <= 8
           && qAbs(qBlue(a) - qBlue(b)) <= 8;
}

} // namespace

class tst_GetStreamImage : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // Construction and the connection cycle, against peers on 127.0.0.1.
    void reconnectWhileNothingListens();
    void connectionStopsRetriesAndLossResumesThem();
    void framesReachAcquisitionEvent();
    void emptyDeliveryDoesNotStall();
    void destroyMidStream_data();
    void destroyMidStream();

    // Conversion, driven without a device.
    void contentTypes_data();
    void contentTypes();
    void recordsAsDelivered_data();
    void recordsAsDelivered();
    void fullRecordingQueueStillShowsEveryFrame();
    void grayFrames_data();
    void grayFrames();
    void unknownTypeShowsPreviousImage();
    void historyKeepsEveryDeliveredFrame();
    void jpegTimestamp();
    void jpegDecompressionBomb();

    // Conversion on the converter thread, driven the way the worker
    // delivers: into the buffer the controller asked it to fill.
    void convertedInThreadInArrivalOrder();
    void sameFramesCountedInThreadAndInPlace_data();
    void sameFramesCountedInThreadAndInPlace();
    void shutdownWithConversionsInFlight();

    // Device log file.
    void noLogFileConfigured();
    void logWrittenAfterFrame();
    void unopenableLogReportedOnce();
    void unshownFramesReportedOncePerCause_data();
    void unshownFramesReportedOncePerCause();

private:
    // A controller of dev0 on 127.0.0.1:`port` with further `keys`; without
    // a port, one whose device refuses every connection, so that frames
    // reach it only through direct calls.
    std::unique_ptr<TestController> controller(QVariantMap keys = {}, quint16 port = 0);
    // The frames device `device` recorded into the folder "rec".
    QList<simlib::RecordedFrame> recorded(int device) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<LoopbackSocket> m_refusing;
};

void tst_GetStreamImage::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_refusing = std::make_unique<LoopbackSocket>(SOCK_STREAM);
    QVERIFY(m_refusing->port() != 0);
}

std::unique_ptr<TestController> tst_GetStreamImage::controller(QVariantMap keys, quint16 port)
{
    keys.insert(QStringLiteral("host"), QStringLiteral("127.0.0.1"));
    keys.insert(QStringLiteral("port"), port != 0 ? port : m_refusing->port());
    QSettings s(m_dir->filePath(QStringLiteral("tcp_streaming.ini")), QSettings::IniFormat);
    s.beginGroup(QStringLiteral("dev0"));
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        s.setValue(it.key(), it.value());
    return std::make_unique<TestController>(&s);
}

QList<simlib::RecordedFrame> tst_GetStreamImage::recorded(int device) const
{
    return simlib::readRecording(
        readFile(m_dir->filePath(QStringLiteral("rec/") + FrameRecorder::deviceFileName(device))));
}

void tst_GetStreamImage::reconnectWhileNothingListens()
{
    const auto c = controller();
    QVERIFY(c->isReconnecting());
    QElapsedTimer clock;
    clock.start();
    QList<qint64> attempts;
    connect(c.get(), &GetStreamImage::initConnect, c.get(), [&](QString ip, int port) {
        QCOMPARE(ip, QStringLiteral("127.0.0.1"));
        QCOMPARE(port, int(m_refusing->port()));
        attempts.append(clock.elapsed());
    });
    QTRY_COMPARE_WITH_TIMEOUT(attempts.size(), 2, 6000);
    // About once a second, measured with generous bounds.
    QVERIFY2(attempts[0] >= 500 && attempts[0] <= 2500, qPrintable(QString::number(attempts[0])));
    const qint64 interval = attempts[1] - attempts[0];
    QVERIFY2(interval >= 700 && interval <= 2500, qPrintable(QString::number(interval)));
    QVERIFY(c->isReconnecting());
}

void tst_GetStreamImage::connectionStopsRetriesAndLossResumesThem()
{
    LoopbackPeer peer;
    QVERIFY(peer.isListening());
    const auto c = controller({}, peer.port());
    QSignalSpy attempts(c.get(), &GetStreamImage::initConnect);
    QSignalSpy requests(c.get(), &GetStreamImage::imageRequest);

    // The test's event loop has not run yet, so no timer has fired: this
    // connection comes from the attempt made at construction.
    QVERIFY(peer.acceptClient(5000));
    QCOMPARE(attempts.size(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!c->isReconnecting(), 5000);

    // While the connection lasts (kept busy with frames), no attempts.
    Receiver receiver(c.get());
    QTimer feed;
    connect(&feed, &QTimer::timeout, this,
            [&] { peer.send(simlib::multipartPart("video/x-raw-gray", grayFrame(1280, 2))); });
    feed.start(100);
    QVERIFY(!attempts.wait(1500));
    QVERIFY(receiver.images.size() > 0);
    feed.stop();

    // Losing the connection restarts the cycle, 1000 ms later.
    QElapsedTimer sinceLoss;
    connect(c->worker(), &ImageGetWorker::disconnected, c.get(), [&] { sinceLoss.start(); });
    peer.closeClient();
    QVERIFY(attempts.wait(5000));
    QVERIFY(sinceLoss.isValid());
    QVERIFY2(sinceLoss.elapsed() >= 800 && sinceLoss.elapsed() <= 4000,
             qPrintable(QString::number(sinceLoss.elapsed())));
    QVERIFY(peer.acceptClient(5000));
    QCOMPARE(peer.accepted(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!c->isReconnecting(), 5000);
    QCOMPARE(requests.size(), 0);
}

void tst_GetStreamImage::framesReachAcquisitionEvent()
{
    LoopbackPeer peer;
    QVERIFY(peer.isListening());
    auto c = controller(sized(13, 7), peer.port());
    QSignalSpy requests(c.get(), &GetStreamImage::imageRequest);
    Receiver receiver(c.get());
    QVERIFY(peer.acceptClient(5000));

    const QByteArray gray = grayFrame(13, 7, 5);
    QVERIFY(peer.send(simlib::multipartPart("video/x-raw-gray", gray)));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.images.size(), 1, 5000);
    QVERIFY(sameGrayPixels(receiver.images[0], gray, 13, 7));
    QCOMPARE(receiver.senders[0], c.get());

    QVERIFY(peer.send(simlib::multipartPart("image/jpeg", jpegFile(40, 24, qRgb(200, 30, 60)))));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.images.size(), 2, 5000);
    QCOMPARE(receiver.images[1].size(), QSize(40, 24));
    QVERIFY(isNearly(receiver.images[1].pixel(20, 12), qRgb(200, 30, 60)));

    const QByteArray gray2 = grayFrame(13, 7, 99);
    QVERIFY(peer.send(simlib::multipartPart("video/x-raw-gray", gray2)));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.images.size(), 3, 5000);
    QVERIFY(sameGrayPixels(receiver.images[2], gray2, 13, 7));
    QCOMPARE(requests.size(), 0);

    // A frame larger than the transfer buffer is skipped; the next one that
    // fits still arrives.
    QVERIFY(peer.send(simlib::multipartPart("video/x-raw-gray", QByteArray(13 * 7 + 1025, 'x'))));
    QVERIFY(peer.send(simlib::multipartPart("video/x-raw-gray", gray)));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.images.size(), 4, 5000);
    QVERIFY(sameGrayPixels(receiver.images[3], gray, 13, 7));

    // Destroyed while connected and with a request outstanding.
    QVERIFY(peer.send(simlib::multipartPart("video/x-raw-gray", gray).left(100)));
    c.reset();
}

void tst_GetStreamImage::emptyDeliveryDoesNotStall()
{
    LoopbackPeer peer;
    QVERIFY(peer.isListening());
    const auto c = controller(sized(8, 2), peer.port());
    c->emptyDeliveries = 1;
    Receiver receiver(c.get());
    QVERIFY(peer.acceptClient(5000));

    QVERIFY(peer.send(simlib::multipartPart("video/x-raw-gray", grayFrame(8, 2, 1))));
    QTRY_COMPARE_WITH_TIMEOUT(c->processCalls, 1, 5000);
    QCOMPARE(receiver.images.size(), 0);

    // The empty delivery was followed by a new request, so this one arrives.
    const QByteArray next = grayFrame(8, 2, 2);
    QVERIFY(peer.send(simlib::multipartPart("video/x-raw-gray", next)));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.images.size(), 1, 5000);
    QVERIFY(sameGrayPixels(receiver.images[0], next, 8, 2));
}

void tst_GetStreamImage::destroyMidStream_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<bool>("listening");
    QTest::newRow("tcp streaming") << QStringLiteral("TCP") << true;
    QTest::newRow("tcp refused") << QStringLiteral("TCP") << false;
    QTest::newRow("udp streaming") << QStringLiteral("UDP") << true;
    QTest::newRow("rtp bound") << QStringLiteral("RTP") << true;
}

void tst_GetStreamImage::destroyMidStream()
{
    QFETCH(QString, protocol);
    QFETCH(bool, listening);

    const bool tcp = protocol == QLatin1String("TCP");
    LoopbackPeer peer;
    quint16 port = m_refusing->port();
    if (tcp && listening) {
        QVERIFY(peer.isListening());
        port = peer.port();
    } else if (!tcp) {
        // A free UDP port for the controller to bind.
        port = freeUdpPort();
    }
    QVariantMap keys = sized(64, 16);
    keys.insert(QStringLiteral("protocol"), protocol);
    auto c = controller(keys, port);
    Receiver receiver(c.get());
    const QByteArray frame = simlib::multipartPart("video/x-raw-gray", grayFrame(64, 16));

    QTimer feed;
    int sent = 0;
    connect(&feed, &QTimer::timeout, this, [&] {
        ++sent;
        if (tcp)
            peer.send(frame);
        else
            sendDatagram(port, frame);
    });
    if (listening) {
        if (tcp)
            QVERIFY(peer.acceptClient(5000));
        QTRY_VERIFY_WITH_TIMEOUT(!c->isReconnecting(), 5000);
        feed.start(2);
        if (protocol != QLatin1String("RTP"))
            QTRY_VERIFY_WITH_TIMEOUT(receiver.images.size() >= 3, 5000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(sent >= 20, 5000); // not RTP: dropped by the worker
    }

    // Orderly in every mode, and not held until the stream's quiet limit
    // runs out; the bound only catches such a hang, not a slow machine.
    QElapsedTimer clock;
    clock.start();
    c.reset();
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    feed.stop();
}

void tst_GetStreamImage::contentTypes_data()
{
    QTest::addColumn<QString>("overwrite");
    QTest::addColumn<QString>("reported");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QSize>("size");

    const QByteArray gray = grayFrame(16, 12);
    const QByteArray jpeg = jpegFile(16, 12, qRgb(10, 200, 10));
    QTest::newRow("gray") << QString() << "video/x-raw-gray" << gray << QSize(16, 12);
    QTest::newRow("jpeg") << QString() << "image/jpeg" << jpeg << QSize(16, 12);
    QTest::newRow("gray forced over jpeg") << "video/x-raw-gray"
                                           << "image/jpeg" << gray << QSize(16, 12);
    QTest::newRow("jpeg forced over gray") << "image/jpeg"
                                           << "video/x-raw-gray" << jpeg << QSize(16, 12);
    QTest::newRow("forced none suppresses decoding") << "none"
                                                     << "image/jpeg" << jpeg << QSize();
    QTest::newRow("unknown type") << QString() << "text/plain" << jpeg << QSize();
    QTest::newRow("type compared case-sensitively") << QString() << "Image/JPEG" << jpeg << QSize();
    QTest::newRow("undecodable jpeg") << QString() << "image/jpeg" << jpeg.left(40) << QSize();
    QTest::newRow("garbage jpeg") << QString() << "image/jpeg" << QByteArray(500, '\xFF')
                                  << QSize();
}

void tst_GetStreamImage::contentTypes()
{
    QFETCH(QString, overwrite);
    QFETCH(QString, reported);
    QFETCH(QByteArray, frame);
    QFETCH(QSize, size);

    const auto c = controller(sized(16, 12, overwrite));
    Receiver receiver(c.get());

    convert(c.get(), reported, frame);
    // Every conversion is handed to the window, also a null image.
    QCOMPARE(receiver.images.size(), 1);
    QCOMPARE(receiver.images[0].isNull(), !size.isValid());
    if (size.isValid())
        QCOMPARE(receiver.images[0].size(), size);
}

void tst_GetStreamImage::recordsAsDelivered_data()
{
    QTest::addColumn<QString>("overwrite");
    QTest::addColumn<QString>("delivered");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("len"); // as the worker reports it; 0 is an empty delivery

    const QByteArray gray = grayFrame(16, 12);
    const QByteArray jpeg = jpegFile(16, 12, qRgb(10, 200, 10));
    QTest::newRow("jpeg") << QString() << "image/jpeg" << jpeg << int(jpeg.size());
    QTest::newRow("gray") << QString() << "video/x-raw-gray" << gray << int(gray.size());
    QTest::newRow("the delivered type, not the forced one")
        << "image/jpeg"
        << "video/x-raw-gray" << gray << int(gray.size());
    QTest::newRow("an unknown type and bytes that show nothing")
        << QString() << "text/plain" << QByteArray(300, '\xFF') << 300;
    QTest::newRow("an empty delivery records nothing") << QString() << "image/jpeg" << jpeg << 0;
}

void tst_GetStreamImage::recordsAsDelivered()
{
    QFETCH(QString, overwrite);
    QFETCH(QString, delivered);
    QFETCH(QByteArray, frame);
    QFETCH(int, len);

    const auto c = controller(sized(16, 12, overwrite));
    // Converted at once, so that the image is there when the call returns.
    c->setConvertInThread(false);
    FrameRecorder recorder;
    QString error;
    QVERIFY(recorder.start(m_dir->filePath(QStringLiteral("rec")), &error));
    c->setRecorder(&recorder, 3);
    Receiver receiver(c.get());

    const qint64 before = FrameRecorder::wallClockUs();
    QVERIFY(deliver(c.get(), delivered, frame, {}, len, true));
    const qint64 after = FrameRecorder::wallClockUs();
    recorder.stop();
    QCOMPARE(receiver.images.size(), len > 0 ? 1 : 0);

    const QList<simlib::RecordedFrame> written = recorded(3);
    QCOMPARE(written.size(), len > 0 ? 1 : 0);
    if (len > 0) {
        QCOMPARE(written[0].bytes, frame);
        QCOMPARE(written[0].contentType, delivered.toLatin1());
        QVERIFY(written[0].timeUs >= before && written[0].timeUs <= after);
    }
}

void tst_GetStreamImage::fullRecordingQueueStillShowsEveryFrame()
{
    // Two devices feed one recorder whose writer is held at its first
    // frame and whose queue takes one more frame of each device.
    FrameRecorder::Limits limits;
    limits.maxQueuedFrames = 1;
    FrameRecorder recorder(limits);
    QSemaphore entered;
    QSemaphore release;
    bool first = true;
    recorder.setBeforeWrite([&] {
        if (!std::exchange(first, false))
            return;
        entered.release();
        release.acquire();
    });
    QString error;
    QVERIFY(recorder.start(m_dir->filePath(QStringLiteral("rec")), &error));
    const auto c0 = controller(sized(16, 12));
    const auto c1 = controller(sized(16, 12));
    c0->setRecorder(&recorder, 0);
    c1->setRecorder(&recorder, 1);
    c0->setConvertInThread(false);
    c1->setConvertInThread(false);
    Receiver receiver(c0.get());
    receiver.attach(c1.get());
    const auto gray = [&](TestController* c, int seed) {
        return deliver(c, Gray, grayFrame(16, 12, seed), {}, -1, true);
    };
    QVERIFY(gray(c0.get(), 0));
    QVERIFY(entered.tryAcquire(1, 5000));
    for (int i = 1; i <= 6; ++i)
        QVERIFY(gray(i % 2 ? c1.get() : c0.get(), i));
    // Every frame was shown; the recording kept the held one and the first
    // of each device after it.
    QCOMPARE(receiver.images.size(), 7);
    QCOMPARE(recorder.framesDropped(), 4);
    release.release();
    recorder.stop();
    QCOMPARE(recorder.framesWritten(), 3);
    QCOMPARE(recorded(1).size(), 1);
    QCOMPARE(recorded(1)[0].bytes, grayFrame(16, 12, 1));
    QCOMPARE(recorded(0).size(), 2);
    QCOMPARE(recorded(0)[1].bytes, grayFrame(16, 12, 2));
}

void tst_GetStreamImage::grayFrames_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("extra");
    QTest::addColumn<bool>("shown");

    QTest::newRow("exact size") << 16 << 12 << 0 << true;
    QTest::newRow("one byte short") << 16 << 12 << -1 << false;
    QTest::newRow("longer than a frame") << 16 << 12 << 1000 << true;
    // Widths that are not multiples of 4 have packed rows too.
    QTest::newRow("13 x 7 in 91 bytes") << 13 << 7 << 0 << true;
    QTest::newRow("641 wide") << 641 << 5 << 0 << true;
    QTest::newRow("2 x 1") << 2 << 1 << 0 << true;
    QTest::newRow("empty") << 13 << 7 << -91 << false;
}

void tst_GetStreamImage::grayFrames()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, extra);
    QFETCH(bool, shown);

    const auto c = controller(sized(width, height));
    Receiver receiver(c.get());

    // The frame sits in a block of exactly its length, so that a row read
    // at a padded stride runs off its end under the address sanitizer.
    QByteArray frame = grayFrame(width, height);
    frame.resize(frame.size() + extra, '\x80');
    std::vector<unsigned char> block(frame.begin(), frame.end());
    c->convertImage(Gray, block.data(), int(block.size()));

    QCOMPARE(receiver.images.size(), 1);
    QCOMPARE(c->image().isNull(), !shown);
    if (!shown)
        return;
    // Shown without copying, over the delivered bytes, 0 black, 255 white.
    QCOMPARE(c->image().constBits(), block.data());
    QCOMPARE(c->image().pixel(0, 0), qRgb(0, 0, 0));
    QCOMPARE(c->image().pixel(width - 1, height - 1), qRgb(255, 255, 255));
    QVERIFY(sameGrayPixels(receiver.images[0], frame, width, height));
    QCOMPARE(c->image().colorTable(), grayColorTable());
}

void tst_GetStreamImage::unknownTypeShowsPreviousImage()
{
    const auto c = controller(sized(16, 12));
    Receiver receiver(c.get());
    const QByteArray frame = grayFrame(16, 12);
    std::vector<unsigned char> block(frame.begin(), frame.end());
    c->convertImage(Gray, block.data(), int(block.size()));
    const qint64 key = c->image().cacheKey();
    c->convertImage(QStringLiteral("application/octet-stream"), block.data(), 3);
    QCOMPARE(receiver.images.size(), 2);
    QCOMPARE(c->image().cacheKey(), key);
    QVERIFY(sameGrayPixels(receiver.images[1], frame, 16, 12));
}

// Every delivered frame is kept in the history with its own bytes, though
// a frame for the pool is copied only once it is on its way there: its
// buffer is not asked for again before, whether the pool takes it, skips
// older frames for it or is full.
void tst_GetStreamImage::historyKeepsEveryDeliveredFrame()
{
    const auto c = controller(sized(16, 12));
    Receiver receiver(c.get());
    FrameHistory history(1024 * 1024);
    history.setDeviceCount(1);
    c->setHistory(&history, 0);
    constexpr int Frames = 12;
    for (int n = 1; n <= Frames; ++n) {
        // Results are taken only while events run, so the pool fills up
        // and a frame may wait for a buffer.
        QTRY_VERIFY(c->requestedBuffer() != nullptr);
        QVERIFY2(deliver(c.get(), Gray, grayFrame(16, 12, n)), qPrintable(QString::number(n)));
    }
    for (int n = 1; n <= Frames; ++n) {
        const HistoryFrame* f = history.find(0, n);
        QVERIFY2(f != nullptr, qPrintable(QString::number(n)));
        QCOMPARE(f->bytes, grayFrame(16, 12, n));
    }
    QTRY_COMPARE(receiver.images.size() + c->figures().skipped, qint64(Frames));
    QVERIFY(c->requestedBuffer() != nullptr);
}

void tst_GetStreamImage::jpegTimestamp()
{
    const auto c = controller();
    Receiver receiver(c.get());
    auto counterNs = std::make_shared<long long>(1'000'000'000'000LL);
    c->setStopwatch(Stopwatch([counterNs] { return *counterNs; }, 1000000000));
    const auto nowUs = [&] { return *counterNs / 1000; };
    const QByteArray plain = jpegFile(32, 16, qRgb(0, 0, 255));
    const auto jpeg = [&](const QByteArray& f) {
        convert(c.get(), Jpeg, f);
        return receiver.images.last();
    };

    g_frameDelay = 0.25;
    // Without a time stamp the delay of the last stamped frame stays.
    QCOMPARE(jpeg(plain).size(), QSize(32, 16));
    QCOMPARE(g_frameDelay, 0.25);

    // The first stamped frame of a device has no delay.
    const long long transit = 7'000'000'123LL;
    *counterNs += 40'000'000;
    QCOMPARE(jpeg(withApp9(plain, nowUs() - transit)).size(), QSize(32, 16));
    QCOMPARE(g_frameDelay, 0.0);

    // 40 ms later the minimum has risen by 40 us; 5040 us more transit
    // leaves 5000 us of delay.
    *counterNs += 40'000'000;
    QCOMPARE(jpeg(withApp9(plain, nowUs() - transit - 5040)).size(), QSize(32, 16));
    QCOMPARE(g_frameDelay, 0.005);

    QCOMPARE(jpeg(plain).size(), QSize(32, 16));
    QCOMPARE(g_frameDelay, 0.005);

    // A device clock that falls back by an hour saturates the delay
    // instead of wrapping it into a negative one.
    *counterNs += 40'000'000;
    jpeg(withApp9(plain, nowUs() - transit - 3'600'000'000LL));
    QCOMPARE(g_frameDelay, 2147.483647);
}

void tst_GetStreamImage::jpegDecompressionBomb()
{
    // A colour picture of 9000 x 9000 needs 309 MiB at 32 bits per pixel,
    // beyond the limit; the data itself is a few hundred bytes.
    const QByteArray small = jpegFile(16, 16, qRgb(250, 0, 0));
    const QByteArray bomb = withDeclaredSize(small, 9000, 9000);
    QVERIFY(!bomb.isEmpty());
    const QByteArray fits = withDeclaredSize(small, 64, 64);

    QVERIFY(decodeJpegFrame(ubytes(bomb), int(bomb.size())).isNull());
    QCOMPARE(decodeJpegFrame(ubytes(fits), int(fits.size())).size(), QSize(64, 64));

    const auto c = controller();
    Receiver receiver(c.get());
    convert(c.get(), Jpeg, bomb);
    QCOMPARE(receiver.images.size(), 1);
    QVERIFY(receiver.images[0].isNull());
}

void tst_GetStreamImage::convertedInThreadInArrivalOrder()
{
    const QString log = m_dir->filePath(QStringLiteral("dev0.log"));
    const auto c = controller(sized(16, 12, {}, log));
    QVERIFY(c->convertsInThread());
    // The deliveries' texts in the log, without the device's own events.
    const auto contents = [&] {
        QFile f(log);
        QByteArray texts;
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray& line : f.readAll().split('\n'))
                if (line.size() == 1)
                    texts += line + '\n';
        return texts;
    };
    Receiver receiver(c.get());
    QList<QByteArray> logAtFrame;
    QList<const uchar*> bits;
    receiver.onEvent = [&] {
        logAtFrame.append(contents());
        bits.append(c->image().constBits());
    };
    const unsigned char* first = c->requestedBuffer();
    QCOMPARE(first, c->transferBuffer());

    // Two deliveries before the GUI thread looks at a result: both are in
    // the decode pool, and the worker has been given a third buffer.
    QVERIFY(c->framesInFlightLimit() >= 2);
    QCOMPARE(c->transferBufferCount(), c->framesInFlightLimit() + 1);
    QVERIFY(deliver(c.get(), Gray, grayFrame(16, 12, 1), QStringLiteral("a\n")));
    QCOMPARE(c->requestedBuffer(), c->spareTransferBuffer());
    QVERIFY(deliver(c.get(), Gray, grayFrame(16, 12, 2), QStringLiteral("b\n")));
    QCOMPARE(c->requestedBuffer(), c->transferBufferAt(2));
    QCOMPARE(c->framesInConversion(), 2);
    QCOMPARE(receiver.images.size(), 0);
    QCOMPARE(contents(), QByteArray());

    // In arrival order, each log text after its frame, and a request again.
    QTRY_COMPARE_WITH_TIMEOUT(receiver.images.size(), 2, 5000);
    QVERIFY(sameGrayPixels(receiver.images[0], grayFrame(16, 12, 1), 16, 12));
    QVERIFY(sameGrayPixels(receiver.images[1], grayFrame(16, 12, 2), 16, 12));
    QCOMPARE(logAtFrame, QList<QByteArray>({QByteArray(), QByteArray("a\n")}));
    QCOMPARE(contents(), QByteArray("a\nb\n"));
    QCOMPARE(c->framesInConversion(), 0);
    QVERIFY(c->requestedBuffer() != nullptr);
    // The shown images have pixels of their own: the buffers they came
    // from are filled again meanwhile.
    for (const uchar* b : bits)
        for (int i = 0; i < c->transferBufferCount(); ++i)
            QVERIFY(b < c->transferBufferAt(i)
                    || b >= c->transferBufferAt(i) + c->transferLength());

    // A JPEG frame and an empty delivery: the latter is not converted but
    // its text is written, and the cycle goes on.
    QVERIFY(deliver(c.get(), Jpeg, jpegFile(16, 12, qRgb(0, 0, 250)), QStringLiteral("c\n")));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.images.size(), 3, 5000);
    QVERIFY(isNearly(receiver.images[2].pixel(8, 6), qRgb(0, 0, 250)));
    QVERIFY(deliver(c.get(), Gray, QByteArray(), QStringLiteral("d\n"), 0));
    QCOMPARE(contents(), QByteArray("a\nb\nc\nd\n"));
    QVERIFY(deliver(c.get(), Gray, grayFrame(16, 12, 3)));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.images.size(), 4, 5000);
}

void tst_GetStreamImage::sameFramesCountedInThreadAndInPlace_data()
{
    QTest::addColumn<QString>("overwrite");
    QTest::newRow("types as delivered") << QString();
    QTest::newRow("forced gray") << Gray;
    QTest::newRow("forced none") << QStringLiteral("none");
}

// The window counts every acquisitionEvent (frame number, average, histogram)
// and shows g_frameDelay with it; the same deliveries must produce the same
// events, images and delays whether they are converted in place or on the
// converter thread.
void tst_GetStreamImage::sameFramesCountedInThreadAndInPlace()
{
    QFETCH(QString, overwrite);
    struct Event
    {
        bool null;
        QSize size;
        double delay;
        bool operator==(const Event&) const = default;
    };
    const QByteArray jpeg = jpegFile(16, 12, qRgb(250, 250, 0));
    const QByteArray bomb = withDeclaredSize(jpeg, 9000, 9000);
    const auto run = [&](bool inThread, QList<Event>& events) {
        const auto c = controller(sized(16, 12, overwrite));
        c->setConvertInThread(inThread);
        auto counterNs = std::make_shared<long long>(1'000'000'000'000LL);
        c->setStopwatch(Stopwatch([counterNs] { return *counterNs; }, 1000000000));
        connect(c.get(), &GetStreamImage::acquisitionEvent, c.get(), [&](QImage& image) {
            events.append({image.isNull(), image.size(), g_frameDelay});
        });
        g_frameDelay = 0.5;
        const long long nowUs = *counterNs / 1000;
        const QList<QPair<QString, QByteArray>> frames = {
            {Gray, grayFrame(16, 12)},
            {Jpeg, withApp9(jpeg, nowUs - 3000)},
            {Gray, grayFrame(16, 11)},
            {Jpeg, withApp9(jpeg, nowUs - 5000)},
            {QStringLiteral("text/plain"), jpeg},
            {Jpeg, jpeg.left(60)},
            {Jpeg, bomb},
            {Jpeg, QByteArray()},
            {Jpeg, jpeg},
        };
        int expected = 0;
        for (const auto& [type, bytes] : frames) {
            // The previous frame handed over first: a frame delivered while
            // every buffer is taken may be skipped, which this comparison
            // leaves out.
            QTRY_VERIFY_WITH_TIMEOUT(
                c->framesInConversion() == 0 && c->requestedBuffer() != nullptr, 5000);
            QVERIFY(deliver(c.get(), type, bytes));
            expected += bytes.isEmpty() ? 0 : 1;
            // A frame converted in place is handed over within the call.
            if (!inThread)
                QCOMPARE(events.size(), expected);
        }
        QTRY_COMPARE_WITH_TIMEOUT(events.size(), expected, 5000);
        QCOMPARE(c->framesInConversion(), 0);
        QCOMPARE(c->figures().skipped, 0);
    };
    QList<Event> inPlace;
    QList<Event> inThread;
    run(false, inPlace);
    if (QTest::currentTestFailed())
        return;
    run(true, inThread);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(inPlace.size(), 8);
    QVERIFY(inThread == inPlace);
}

void tst_GetStreamImage::shutdownWithConversionsInFlight()
{
    // Frames that cost the converter a noticeable while: 3840 x 2160
    // declared in a dozen scans, a few hundred bytes each.
    const QByteArray costly = withRepeatedLastScan(
        withDeclaredSize(::jpegFile(solidFrame(16, 16, QColor(Qt::red)), 90, true), 3840, 2160), 2);
    QVERIFY(!costly.isEmpty());
    LoopbackPeer peer;
    QVERIFY(peer.isListening());
    auto c = controller(sized(640, 480), peer.port());
    QVERIFY(peer.acceptClient(5000));
    const QByteArray part = simlib::multipartPart("image/jpeg", costly);
    QTimer feed;
    connect(&feed, &QTimer::timeout, this, [&] { peer.send(part); });
    feed.start(20);
    QTRY_VERIFY_WITH_TIMEOUT(c->framesInConversion() > 0, 5000);
    QElapsedTimer clock;
    clock.start();
    c.reset();
    feed.stop();
    qInfo("destroyed in %lld ms with a conversion in flight",
          static_cast<long long>(clock.elapsed()));
    // A conversion in progress finishes first; the bound only catches a
    // stop that hangs.
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
}

void tst_GetStreamImage::noLogFileConfigured()
{
    const auto c = controller(sized(4, 1));
    unsigned char frame[4] = {1, 2, 3, 4};
    c->newImageReceived(Gray, frame, 4,
                        QStringLiteral("10:00:00.000: image:1, missed 2 packets after 3\n"));
    c->newImageReceived(Jpeg, frame, 0, QStringLiteral("line\n"));
    const QStringList files = QDir(m_dir->path()).entryList(QDir::Files | QDir::NoDotAndDotDot);
    QVERIFY(files.isEmpty() || files == QStringList{QStringLiteral("tcp_streaming.ini")});
}

void tst_GetStreamImage::logWrittenAfterFrame()
{
    const QString path = m_dir->filePath(QStringLiteral("dev0.log"));
    const auto c = controller(sized(4, 1, {}, path));
    const auto contents = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    Receiver receiver(c.get());
    QList<QByteArray> seenAtFrame;
    receiver.onEvent = [&] { seenAtFrame.append(contents()); };
    unsigned char frame[4] = {1, 2, 3, 4};

    // No text, no file.
    c->newImageReceived(Gray, frame, 4, QString());
    QVERIFY(!QFile::exists(path));

    // The lines of one delivery are written together, after the frame.
    const QString gaps = QStringLiteral("01:02:03.004: image:5, missed 1 packets after 7\n"
                                        "01:02:03.005: image:5, missed 2 packets after 9\n"
                                        "01:02:03.006: image:6, missed 1 packets after 12\n");
    c->newImageReceived(Gray, frame, 4, gaps);
    QCOMPARE(seenAtFrame.last(), QByteArray());
    QCOMPARE(contents(), gaps.toLatin1());

    // Appended; an empty delivery still writes its text; outside Latin-1
    // becomes '?'.
    c->newImageReceived(Gray, frame, 0, QStringLiteral("01:02:04.000: MARK 64k packets\n"));
    c->newImageReceived(Gray, frame, 4, QStringLiteral("\u00e9\u20ac\n"));
    QCOMPARE(seenAtFrame.size(), 3);
    QCOMPARE(seenAtFrame.last(), gaps.toLatin1() + "01:02:04.000: MARK 64k packets\n");
    QCOMPARE(contents(), gaps.toLatin1() + "01:02:04.000: MARK 64k packets\n\xE9?\n");

    // A deleted file is created again.
    QVERIFY(QFile::remove(path));
    c->newImageReceived(Gray, frame, 4, QStringLiteral("again\n"));
    QCOMPARE(contents(), QByteArray("again\n"));
}

void tst_GetStreamImage::unopenableLogReportedOnce()
{
    const QString dir = m_dir->filePath(QStringLiteral("logs"));
    const QString path = dir + QStringLiteral("/dev0.log");
    const auto c = controller(sized(4, 1, {}, path));
    unsigned char frame[4] = {1, 2, 3, 4};
    const QRegularExpression failure(QStringLiteral("^Cannot open log file .*dev0\\.log"));

    QTest::ignoreMessage(QtWarningMsg, failure);
    QTest::failOnWarning(failure);
    for (int i = 0; i < 5; ++i)
        c->newImageReceived(Gray, frame, 4, QStringLiteral("lost %1\n").arg(i));

    // Written again as soon as the file can be opened.
    QVERIFY(QDir().mkpath(dir));
    c->newImageReceived(Gray, frame, 4, QStringLiteral("kept\n"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("kept\n"));
}

QTEST_GUILESS_MAIN(tst_GetStreamImage)
void tst_GetStreamImage::unshownFramesReportedOncePerCause_data()
{
    // The device: 13 x 7 raw frames, so its transfer buffer holds 1115 bytes.
    // Each round sends three bad frames, each `grow` bytes longer than the
    // one before: frames of one cause differ in size, as JPEG frames do.
    QTest::addColumn<QString>("badType");
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<int>("grow");
    QTest::addColumn<QString>("report"); // a pattern
    // A 16-bit gray device (pixel_order set): two bytes a pixel, so its
    // transfer buffer holds 13 x 7 x 2 + 1024 = 1206 bytes.
    QTest::addColumn<bool>("sixteenBit");
    QTest::newRow("JPEG larger than the transfer buffer")
        << "image/jpeg" << QByteArray(2000, 'j') << 0
        << "frame of 2000 bytes is larger than the transfer buffer of 1115 bytes" << false;
    QTest::newRow("JPEG frames of changing sizes larger than the transfer buffer")
        << "image/jpeg" << QByteArray(2000, 'j') << 37
        << "frame of 20[0-9]{2} bytes is larger than the transfer buffer of 1115 bytes" << false;
    QTest::newRow("raw gray frame shorter than sizeX x sizeY")
        << "video/x-raw-gray" << QByteArray(80, 'g') << 0
        << "raw gray frame of 80 bytes, but sizeX x sizeY is 13 x 7 = 91 bytes; shorter frames "
           "are not shown"
        << false;
    QTest::newRow("raw gray frames of changing lengths, all shorter")
        << "video/x-raw-gray" << QByteArray(80, 'g') << 3
        << "raw gray frame of [0-9]+ bytes, but sizeX x sizeY is 13 x 7 = 91 bytes; shorter "
           "frames are not shown"
        << false;
    QTest::newRow("raw gray frame longer than sizeX x sizeY")
        << "video/x-raw-gray" << QByteArray(100, 'g') << 0
        << "raw gray frame of 100 bytes, but sizeX x sizeY is 13 x 7 = 91 bytes; the picture "
           "may be sheared"
        << false;
    // The device's max_pixels is 90.
    QTest::newRow("JPEG declaring more than max_pixels")
        << "image/jpeg" << jpegFile(16, 8, qRgb(1, 2, 3)) << 0
        << "frame declares 16 x 8 pixels, more than max_pixels \\(90\\); such frames are not "
           "decoded"
        << false;
    QTest::newRow("progressive JPEG beyond the scan budget")
        << "image/jpeg" << withRepeatedLastScan(::jpegFile(solidFrame(9, 9, Qt::blue), 90, true), 2)
        << 0
        << "JPEG frame of 9 x 9 pixels in 12 scans exceeds the decoding budget of 4 scans of "
           "max_pixels \\(90\\); such frames are not decoded"
        << false;
    QTest::newRow("16-bit gray frame shorter than 2 x sizeX x sizeY")
        << "video/x-raw-gray16" << QByteArray(181, 'g') << 0
        << "raw 16-bit gray frame of 181 bytes, but 2 x sizeX x sizeY is 2 x 13 x 7 = 182 bytes; "
           "shorter frames are not shown"
        << true;
    QTest::newRow("16-bit gray frames of changing lengths, all longer")
        << "video/x-raw-gray16" << QByteArray(190, 'g') << 5
        << "raw 16-bit gray frame of 19[0-9] bytes, but 2 x sizeX x sizeY is 2 x 13 x 7 = 182 "
           "bytes; the picture may be sheared"
        << true;
    QTest::newRow("16-bit frame larger than the 16-bit transfer buffer")
        << "video/x-raw-gray16" << QByteArray(1300, 'g') << 0
        << "frame of 1300 bytes is larger than the transfer buffer of 1206 bytes \\(2 x sizeX x "
           "sizeY \\+ 1024\\)"
        << true;
}

void tst_GetStreamImage::unshownFramesReportedOncePerCause()
{
    QFETCH(QString, badType);
    QFETCH(QByteArray, bad);
    QFETCH(int, grow);
    QFETCH(QString, report);
    QFETCH(bool, sixteenBit);

    LoopbackPeer peer;
    QVERIFY(peer.isListening());
    const QString log = m_dir->filePath(QStringLiteral("dev0.log"));
    QVariantMap keys = sized(13, 7, {}, log);
    keys.insert(QStringLiteral("max_pixels"), 90);
    if (sixteenBit)
        keys.insert(QStringLiteral("pixel_order"), QStringLiteral("big"));
    // Twice on the console, once per cause: the frames in between clear it.
    const QRegularExpression line(QStringLiteral("^dev0: ") + report);
    QTest::ignoreMessage(QtWarningMsg, line);
    QTest::ignoreMessage(QtWarningMsg, line);
    QTest::failOnWarning(QRegularExpression(QStringLiteral("^dev0: (frame|raw|JPEG)")));

    auto c = controller(keys, peer.port());
    Receiver receiver(c.get());
    QVERIFY(peer.acceptClient(5000));
    const QRegularExpression logged(report);
    const auto reports = [&] {
        QFile file(log);
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        const QString text = QString::fromLatin1(file.readAll());
        int count = 0;
        for (auto it = logged.globalMatch(text); it.hasNext(); it.next())
            ++count;
        return count;
    };
    const QByteArray good = simlib::multipartPart("video/x-raw-gray", grayFrame(13, 7));
    const auto badFrame = [&](int i) {
        return simlib::multipartPart(badType.toLatin1(), bad + QByteArray(i * grow, bad.back()));
    };
    for (int round = 1; round <= 2; ++round) {
        QVERIFY(peer.send(badFrame(0)));
        QTRY_COMPARE_WITH_TIMEOUT(reports(), round, 5000);
        // Two more of the same cause and, in the same write, a frame that
        // shows and ends the cause: the two belong to the report already
        // made, however the status updates fall between them.
        const qsizetype shown = receiver.images.size();
        QVERIFY(peer.send(badFrame(1) + badFrame(2) + good));
        QTRY_VERIFY_WITH_TIMEOUT(receiver.images.size() > shown && !receiver.images.last().isNull()
                                     && receiver.images.last().width() == 13,
                                 5000);
        c->updateStatus();
    }
    QCOMPARE(reports(), 2);
}

#include "tst_getstreamimage.moc"

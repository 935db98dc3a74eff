// SPDX-License-Identifier: MIT
// RTP/JPEG streams from other senders, reassembled and decoded: GStreamer's
// payloader with JPEGs from GStreamer and from cjpeg, JPEGs packetized here
// from libjpeg, and a worker receiving them on 127.0.0.1.
#include "imagegetworker.h"
#include "jpegencoder.h"
#include "loopbackpeer.h"
#include "recordingsink.h"
#include "rtp2jpeg.h"
#include "rtpjpegpacketizer.h"
#include "testfiles.h"
#include "testpattern.h"
#include "threadedworker.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/socket.h>

namespace {

// Reads an RFC 4571 framed packet file: each packet preceded by its 16-bit
// big-endian length.
QList<QByteArray> readFramedPackets(const QString& path)
{
    QList<QByteArray> packets;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return packets;
    const QByteArray all = f.readAll();
    int pos = 0;
    while (all.size() - pos >= 2) {
        const int len = (quint8(all[pos]) << 8) | quint8(all[pos + 1]);
        pos += 2;
        if (all.size() - pos < len)
            break;
        packets.append(all.mid(pos, len));
        pos += len;
    }
    return packets;
}

QImage decode(const QByteArray& jpeg)
{
    QImage image;
    image.loadFromData(jpeg, "JPEG");
    return image.convertToFormat(QImage::Format_RGB32);
}

// Missing tools or GStreamer elements (each list separated by blanks) skip
// a test; the message names them.
QString missingTools(const QString& programs, const QString& elements = {})
{
    QStringList missing;
    for (const QString& p : programs.split(QLatin1Char(' ')))
        if (QStandardPaths::findExecutable(p).isEmpty())
            missing << p;
    if (missing.isEmpty()) {
        for (const QString& e : elements.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            QProcess inspect;
            inspect.start(QStringLiteral("gst-inspect-1.0"), {e});
            if (!inspect.waitForFinished(30000) || inspect.exitCode() != 0)
                missing << QStringLiteral("GStreamer element ") + e;
        }
    }
    return missing.isEmpty()
               ? QString()
               : QStringLiteral("not installed: ") + missing.join(QStringLiteral(", "));
}

// Runs a command line whose words are separated by single blanks.
bool run(const QString& dir, const QString& commandLine, QString* output)
{
    QStringList args = commandLine.split(QLatin1Char(' '));
    const QString program = args.takeFirst();
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        *output = program + QStringLiteral(" did not finish");
        return false;
    }
    *output = QString::fromLocal8Bit(p.readAll());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Reassembles `packets` with the given reference header and returns the
// completed frames, and in `log` all the log text written.
QList<QByteArray> reassemble(const QList<QByteArray>& packets,
                             const ReferenceHeader& reference = std::nullopt,
                             QString* log = nullptr)
{
    RecordingSink sink;
    Rtp2Jpeg decoder(&sink, reference);
    for (const QByteArray& p : packets)
        feed(decoder, p);
    QList<QByteArray> frames;
    for (const RecordingSink::Frame& f : sink.frames) {
        frames.append(f.data);
        if (log != nullptr)
            *log += f.log;
    }
    if (log != nullptr)
        *log += sink.pendingLog();
    return frames;
}

// libjpeg's encoding at `quality`, with a restart interval, 4:2:2 or 4:2:0.
simlib::JpegEncodeOptions encoding(int quality, int restartInterval = 0, bool yuv422 = false)
{
    simlib::JpegEncodeOptions o;
    o.quality = quality;
    o.restartInterval = restartInterval;
    o.sampling = yuv422 ? simlib::Sampling::YCbCr422 : simlib::Sampling::YCbCr420;
    return o;
}

// The test pattern `numbers` of `size` encoded with `enc`, which `packetizer`
// appends to `packets` with timestamps `tsStep` apart, from `firstTs`. Empty
// when one cannot be encoded or cut into packets.
QList<QByteArray> packetizedPatterns(simlib::RtpJpegPacketizer& packetizer,
                                     const simlib::JpegEncodeOptions& enc, QSize size,
                                     const QList<int>& numbers, QList<QByteArray>* packets,
                                     std::uint32_t tsStep = 3000, std::uint32_t firstTs = 0)
{
    QList<QByteArray> jpegs;
    for (int number : numbers) {
        jpegs.append(patternJpeg(size.width(), size.height(), number, enc));
        if (jpegs.last().isEmpty() || !packetizer.packetize(jpegs.last(), firstTs, packets))
            return {};
        firstTs += tsStep;
    }
    return jpegs;
}

// The RFC 2435 type of an RTP/JPEG packet without CSRCs or extension.
int typeOf(const QByteArray& packet)
{
    return quint8(packet[12 + 4]);
}

// Every received frame decodes to the pixels of the JPEG sent for it (and
// to `size`, when given).
void expectSameFrames(const QList<QByteArray>& received, const QList<QByteArray>& sent,
                      QSize size = {})
{
    QCOMPARE(received.size(), sent.size());
    for (int i = 0; i < sent.size(); ++i) {
        const QImage expected = decode(sent[i]);
        QVERIFY(!expected.isNull());
        const QImage image = decode(received[i]);
        QCOMPARE(image.size(), size.isValid() ? size : expected.size());
        QVERIFY2(image == expected, qPrintable(QStringLiteral("frame %1 differs").arg(i)));
    }
}

} // namespace

class tst_RtpJpegInterop : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void gstreamerSender_data();
    void gstreamerSender();
    void ffmpegSender_data();
    void ffmpegSender();
    void cjpegType65WithBuiltinHeader();
    void roundTrip_data();
    void roundTrip();
    void headerFollowsTheStream();
    void restartMarkersWithoutRestartHeader_data();
    void restartMarkersWithoutRestartHeader();
    void deviceOnLoopback();

private:
    QString path(const QString& name) const { return m_dir->filePath(name); }
    // The files f<first>.jpg ... of the test's folder (or with another prefix).
    QList<QByteArray> files(int count, int first = 0, const char* prefix = "f") const
    {
        QList<QByteArray> all;
        for (int i = first; i < first + count; ++i)
            all.append(
                readFile(path(QStringLiteral("%1%2.jpg").arg(QLatin1String(prefix)).arg(i))));
        return all;
    }
    bool gstLaunch(const QString& pipeline, QString* output) const
    {
        return run(m_dir->path(), QStringLiteral("gst-launch-1.0 -q ") + pipeline, output);
    }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_RtpJpegInterop::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_RtpJpegInterop::gstreamerSender_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("withReference");
    QTest::addColumn<qint64>("outlierTicks"); // a forged copy of one packet this far off; 0: none
    QTest::newRow("4:2:0 (type 1), header from the packets") << "I420" << 1 << false << 0LL;
    QTest::newRow("4:2:2 (type 0), header from the packets") << "Y42B" << 0 << false << 0LL;
    QTest::newRow("4:2:0 (type 1), the sender's JPEG as reference") << "I420" << 1 << true << 0LL;
    QTest::newRow("one packet 9.99999 s ahead") << "I420" << 1 << false << 899999LL;
    QTest::newRow("one packet 2.5 s back") << "I420" << 1 << false << -225000LL;
}

// rtpjpegpay sends type 0 or 1, Q 255 with in-band tables and keeps the EOI
// in the last packet's payload; the pixels match the sender's own JPEGs.
void tst_RtpJpegInterop::gstreamerSender()
{
    QFETCH(QString, format);
    QFETCH(int, type);
    QFETCH(bool, withReference);
    QFETCH(qint64, outlierTicks);
    const QString missing =
        missingTools("gst-launch-1.0 gst-inspect-1.0",
                     "videotestsrc jpegenc rtpjpegpay rtpstreampay multifilesink");
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));

    const int Frames = outlierTicks != 0 ? 30 : 4;
    QString out;
    const QString pipeline =
        QStringLiteral(
            "videotestsrc num-buffers=%1 pattern=snow ! "
            "video/x-raw,format=%2,width=320,height=240,framerate=30/1 ! jpegenc quality=85 ! "
            "tee name=t t. ! queue ! multifilesink location=f%d.jpg "
            "t. ! queue ! rtpjpegpay mtu=1200 ! rtpstreampay ! filesink location=stream.rtp")
            .arg(Frames)
            .arg(format);
    QVERIFY2(gstLaunch(pipeline, &out), qPrintable(out));

    QList<QByteArray> packets = readFramedPackets(path(QStringLiteral("stream.rtp")));
    QVERIFY(packets.size() > 2 * Frames);
    if (outlierTicks != 0) {
        // The first packet of a frame in the middle, copied with its
        // sequence number and a timestamp that far from the frame before,
        // goes just before it.
        int at = int(packets.size()) / 2;
        while (at < packets.size() && packets[at].mid(12 + 1, 3) != QByteArray(3, '\0'))
            ++at;
        QVERIFY(at < packets.size());
        QByteArray forged = packets[at];
        const quint32 ts = qFromBigEndian<quint32>(packets[at - 1].constData() + 4);
        qToBigEndian<quint32>(quint32(ts + quint32(outlierTicks)), forged.data() + 4);
        packets.insert(at, forged);
    }
    QCOMPARE(typeOf(packets[0]), type);
    QCOMPARE(int(quint8(packets[0][12 + 5])), 255); // Q

    const QList<QByteArray> sent = files(Frames);
    expectSameFrames(
        reassemble(packets, withReference ? referenceHeader(sent[0]) : ReferenceHeader()), sent);
}

void tst_RtpJpegInterop::ffmpegSender_data()
{
    QTest::addColumn<QString>("pixelFormat");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("quality");
    // FFmpeg sends one 64-byte table for all components; with its rate
    // control the tables change from frame to frame.
    QTest::newRow("4:2:0 (type 1), tables from the rate control") << "yuvj420p" << 1 << "-b:v 300k";
    // (Its RTP muxer takes 4:2:0 only.)
    QTest::newRow("4:2:0 (type 1), fixed quality") << "yuvj420p" << 1 << "-q:v 4";
}

// FFmpeg's RTP muxer sends the MJPEG frames it also writes as files: the
// reassembled frames decode as those files do.
void tst_RtpJpegInterop::ffmpegSender()
{
    QFETCH(QString, pixelFormat);
    QFETCH(int, type);
    QFETCH(QString, quality);
    const QString missing = missingTools("ffmpeg");
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));

    constexpr int Frames = 8;
    LoopbackSocket receiver(SOCK_DGRAM);
    QVERIFY(receiver.port() != 0);
    int size = 4 << 20;
    ::setsockopt(receiver.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    QString out;
    QVERIFY2(run(m_dir->path(),
                 QStringLiteral("ffmpeg -hide_banner -loglevel error -f lavfi -i "
                                "testsrc=size=320x240:rate=25 -frames:v %1 -c:v mjpeg -huffman "
                                "default -pix_fmt %2 %3 -f tee -map 0:v "
                                "[f=rtp]rtp://127.0.0.1:%4|[f=image2]f%d.jpg")
                     .arg(Frames)
                     .arg(pixelFormat, quality)
                     .arg(receiver.port()),
                 &out),
             qPrintable(out));

    // FFmpeg has finished: every datagram is in the socket's buffer.
    QList<QByteArray> packets;
    QByteArray buffer(65536, Qt::Uninitialized);
    for (int i = 0; i < 10000; ++i) {
        const auto n =
            ::recv(receiver.fd(), buffer.data(), std::size_t(buffer.size()), MSG_DONTWAIT);
        if (n <= 0)
            break;
        packets.append(buffer.left(int(n)));
    }
    QVERIFY(packets.size() > Frames);
    QCOMPARE(typeOf(packets[0]), type);
    QCOMPARE(int(quint8(packets[0][12 + 5])), 255); // in-band tables

    // FFmpeg numbers its files from 1.
    expectSameFrames(reassemble(packets), files(Frames, 1));
}

// JPEGs with a restart interval of 60 MCUs and 4:2:0 sampling from cjpeg go
// out as type 65; the built-in header fits them.
void tst_RtpJpegInterop::cjpegType65WithBuiltinHeader()
{
    const QString missing = missingTools("cjpeg gst-launch-1.0 gst-inspect-1.0",
                                         "multifilesrc rtpjpegpay rtpstreampay");
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));

    constexpr int Frames = 3;
    constexpr int Width = 320;
    constexpr int Height = 240;
    QString out;
    for (int i = 0; i < Frames; ++i) {
        const QByteArray rgb = simlib::renderTestPattern(Width, Height, 3, i * 7);
        QImage image(reinterpret_cast<const uchar*>(rgb.constData()), Width, Height, Width * 3,
                     QImage::Format_RGB888);
        QVERIFY(image.save(path(QStringLiteral("in%1.ppm").arg(i)), "PPM"));
        QVERIFY2(run(m_dir->path(),
                     QStringLiteral("cjpeg -restart 60B -sample 2x2,1x1,1x1 -outfile c%1.jpg "
                                    "in%1.ppm")
                         .arg(i),
                     &out),
                 qPrintable(out));
    }
    const QString pipeline = QStringLiteral("multifilesrc location=c%d.jpg index=0 stop-index=%1 "
                                            "caps=image/jpeg,framerate=30/1,width=%2,height=%3 ! "
                                            "rtpjpegpay mtu=1000 ! rtpstreampay ! "
                                            "filesink location=stream.rtp")
                                 .arg(Frames - 1)
                                 .arg(Width)
                                 .arg(Height);
    QVERIFY2(gstLaunch(pipeline, &out), qPrintable(out));

    const QList<QByteArray> packets = readFramedPackets(path(QStringLiteral("stream.rtp")));
    QVERIFY(packets.size() > Frames);
    QCOMPARE(typeOf(packets[0]), 65);
    QCOMPARE(int(quint8(packets[0][12 + 8])) * 256 + quint8(packets[0][12 + 9]), 60);

    expectSameFrames(reassemble(packets), files(Frames, 0, "c"));
}

void tst_RtpJpegInterop::roundTrip_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("restartInterval");
    QTest::addColumn<int>("quality");
    QTest::addColumn<int>("q");
    QTest::addColumn<bool>("reference");
    QTest::addColumn<int>("packetBytes");
    QTest::addColumn<bool>("yuv422");

    QTest::newRow("type 65, in-band tables, built-in header")
        << 320 << 240 << 60 << 80 << 255 << false << 1400 << false;
    QTest::newRow("type 65, odd size, small packets")
        << 200 << 136 << 60 << 90 << 255 << false << 300 << false;
    QTest::newRow("type 65, tables from Q 75")
        << 320 << 240 << 60 << 75 << 75 << false << 1400 << false;
    QTest::newRow("type 65, tables from Q 30")
        << 320 << 240 << 60 << 30 << 30 << false << 1400 << false;
    QTest::newRow("type 1, in-band tables, matching reference")
        << 320 << 240 << 0 << 80 << 255 << true << 1400 << false;
    // Without a reference file the header is built from each frame's RFC
    // 2435 header: any layout RFC 2435 defines.
    QTest::newRow("type 1, header from the packets")
        << 320 << 240 << 0 << 80 << 255 << false << 1400 << false;
    QTest::newRow("type 0 (4:2:2), header from the packets")
        << 320 << 240 << 0 << 85 << 255 << false << 1400 << true;
    QTest::newRow("type 1, tables from Q 50")
        << 320 << 240 << 0 << 50 << 50 << false << 1400 << false;
    QTest::newRow("type 65, restart interval 20")
        << 320 << 240 << 20 << 80 << 255 << false << 1400 << false;
    QTest::newRow("type 64 (4:2:2), restart interval 5")
        << 320 << 240 << 5 << 80 << 255 << false << 1400 << true;
    QTest::newRow("type 1, Q 1") << 160 << 120 << 0 << 1 << 1 << false << 1400 << false;
    QTest::newRow("type 1, Q 99") << 160 << 120 << 0 << 99 << 99 << false << 1400 << false;
}

// JPEGs encoded here with libjpeg, cut into RFC 2435 packets, reassembled and
// decoded: the pixels match the source JPEGs' decode.
void tst_RtpJpegInterop::roundTrip()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, restartInterval);
    QFETCH(int, quality);
    QFETCH(int, q);
    QFETCH(bool, reference);
    QFETCH(int, packetBytes);
    QFETCH(bool, yuv422);

    // From sequence number 65530: the packets cross the wrap.
    simlib::RtpJpegPacketizer packetizer(
        {.scanBytesPerPacket = packetBytes, .q = q, .firstSequence = 65530});
    QList<QByteArray> packets;
    const QList<QByteArray> jpegs =
        packetizedPatterns(packetizer, encoding(quality, restartInterval, yuv422),
                           QSize(width, height), {1, 12, 23, 34}, &packets);
    QCOMPARE(jpegs.size(), 4);
    QCOMPARE(typeOf(packets[0]), (restartInterval ? 64 : 0) + (yuv422 ? 0 : 1));
    expectSameFrames(reassemble(packets, reference ? referenceHeader(jpegs[0]) : std::nullopt),
                     jpegs, QSize(width, height));
}

// One SSRC whose frames change size, sampling, restart interval and tables
// from frame to frame: every frame decodes as the sender encoded it.
void tst_RtpJpegInterop::headerFollowsTheStream()
{
    struct Step
    {
        QSize size;
        simlib::JpegEncodeOptions enc;
        int q;
    };
    const Step steps[] = {
        {{320, 240}, encoding(80), 255},    {{320, 240}, encoding(60), 255},
        {{160, 128}, encoding(60), 255},    {{160, 128}, encoding(50, 0, true), 50},
        {{320, 240}, encoding(75, 60), 75}, {{640, 480}, encoding(85), 255}};
    QList<QByteArray> jpegs;
    QList<QByteArray> packets;
    for (const Step& step : steps) {
        // One packetizer per frame, its numbers going on from the last.
        simlib::RtpJpegPacketizer packetizer(
            {.q = step.q, .firstSequence = std::uint16_t(100 + packets.size())});
        const QList<QByteArray> jpeg =
            packetizedPatterns(packetizer, step.enc, step.size, {int(jpegs.size()) * 13 + 5},
                               &packets, 0, 3000u * std::uint32_t(jpegs.size()));
        QCOMPARE(jpeg.size(), 1);
        jpegs += jpeg;
    }
    expectSameFrames(reassemble(packets), jpegs);
}

void tst_RtpJpegInterop::restartMarkersWithoutRestartHeader_data()
{
    QTest::addColumn<bool>("yuv422");
    QTest::addColumn<int>("restartInterval");
    QTest::addColumn<bool>("identical");
    QTest::addColumn<QString>("logLine");
    // 320 x 240: 20 MCUs a row; 15 rows of 16 lines (4:2:0) or 30 of 8 (4:2:2).
    QTest::newRow("type 1, one interval per MCU row")
        << false << 20 << true << "restart interval of one MCU row (20 MCUs)";
    QTest::newRow("type 0, one interval per MCU row")
        << true << 20 << true << "restart interval of one MCU row (20 MCUs)";
    QTest::newRow("type 1, intervals that are not rows")
        << false << 7 << false << "not one per MCU row (15 rows): no restart interval used";
}

// A type 0 or 1 stream whose scans hold restart markers (FFmpeg with slice
// threads sends them so, without the restart header of types 64-127).
void tst_RtpJpegInterop::restartMarkersWithoutRestartHeader()
{
    QFETCH(bool, yuv422);
    QFETCH(int, restartInterval);
    QFETCH(bool, identical);
    QFETCH(QString, logLine);

    simlib::RtpJpegPacketizer packetizer({.forceType = yuv422 ? 0 : 1});
    QList<QByteArray> packets;
    const QList<QByteArray> jpegs = packetizedPatterns(
        packetizer, encoding(80, restartInterval, yuv422), QSize(320, 240), {2, 9, 16}, &packets);
    QCOMPARE(jpegs.size(), 3);
    QCOMPARE(typeOf(packets[0]), yuv422 ? 0 : 1);

    QString log;
    const QList<QByteArray> frames = reassemble(packets, std::nullopt, &log);
    QCOMPARE(frames.size(), 3);
    if (identical)
        expectSameFrames(frames, jpegs);
    // Said once, not per frame.
    QCOMPARE(log.count(logLine), 1);
}

// A worker in RTP mode bound on 127.0.0.1 turns type-65 datagrams into the
// frames the sender encoded.
// The worker on a loopback port, with RTCP reports between the packets.
void tst_RtpJpegInterop::deviceOnLoopback()
{
    const quint16 port = freeUdpPort();
    QVERIFY(port != 0);
    ThreadedWorker w(QStringLiteral("RTP"));
    // No reference file: the built-in header fits the sender's JPEGs.
    w.worker()->setReferenceHeaderFile(path(QStringLiteral("absent.jpg")));
    QSignalSpy connected(&w, &ThreadedWorker::connected);
    w.start(QStringLiteral("127.0.0.1"), port);
    QVERIFY(connected.wait(10000));
    w.request();

    simlib::RtpJpegPacketizer packetizer;
    QList<QByteArray> packets;
    const QList<QByteArray> jpegs = packetizedPatterns(
        packetizer, encoding(80, 60), QSize(320, 240), {5, 6, 7}, &packets, 9000, 9000);
    QCOMPARE(jpegs.size(), 3);

    // Senders that multiplex RTCP on the RTP port put sender and receiver
    // reports between the packets; they must leave no trace in the frames.
    for (int i = 0; i < packets.size(); ++i) {
        QVERIFY(sendDatagram(port, packets[i]));
        QByteArray report(28, '\0');
        report[0] = char(0x80);
        report[1] = char(200 + i % 5);
        report[3] = char(6);
        QVERIFY(sendDatagram(port, report));
    }

    // The last frame is the newest; earlier ones may be dropped if they were
    // completed while no request was pending.
    QTRY_VERIFY_WITH_TIMEOUT(!w.frames.isEmpty() && decode(w.frames.last()) == decode(jpegs.last()),
                             10000);
    for (const QString& t : std::as_const(w.types))
        QCOMPARE(t, QStringLiteral("image/jpeg"));
    for (const QByteArray& f : std::as_const(w.frames)) {
        bool matches = false;
        for (const QByteArray& j : jpegs)
            matches = matches || decode(f) == decode(j);
        QVERIFY(matches);
    }
}

QTEST_MAIN(tst_RtpJpegInterop)
#include "tst_rtpjpeginterop.moc"

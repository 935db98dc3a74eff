// SPDX-License-Identifier: MIT
// RTP H.264 from FFmpeg (libx264, its own RTP packetizer) received by a
// worker with protocol=RTP and encoding=h264 on 127.0.0.1: the delivered
// access units are Annex B with the stream's own NAL unit types, IDR units
// carry SPS and PPS, every frame sent arrives, and the access units written
// one after the other form a stream FFmpeg's own decoder counts the same
// frames in. A lost packet is counted exactly, and frames come back at the
// next IDR unit. No pixels are decoded here.
#include "h264nal.h"
#include "imagegetworker.h"
#include "loopbackpeer.h"
#include "rtph264packetizer.h"
#include "workerharness.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sys/socket.h>

#include <atomic>

namespace {

constexpr int FramesSent = 50; // two seconds at 25 frames a second
constexpr int Gop = 25;

const QString TestSource = QStringLiteral("testsrc=size=320x240:rate=25");

// An ImageGetWorker of an RTP H.264 device in a thread of its own, with a
// collector that asks for the next frame from the worker's thread, so that
// no frame is left out between two requests.
class H264Receiver
{
public:
    H264Receiver()
        : m_settings(QStringLiteral("RTP"), {{QStringLiteral("encoding"), QStringLiteral("h264")}}),
          m_worker(m_settings.get()), m_collector(&m_worker)
    {
        QObject::connect(
            &m_worker, &ImageGetWorker::connected, &m_worker, [this] { m_bound = true; },
            Qt::DirectConnection);
        m_worker.moveToThread(&m_thread);
        m_thread.start();
    }
    ~H264Receiver() { stop(); }

    void start(quint16 port)
    {
        m_collector.request();
        QMetaObject::invokeMethod(&m_worker, "initConnect", Qt::QueuedConnection,
                                  Q_ARG(QString, QStringLiteral("127.0.0.1")), Q_ARG(int, port));
    }
    // Ends the receive loop and the thread; the frames may be read after.
    void stop()
    {
        m_worker.requestStop();
        m_thread.quit();
        m_thread.wait();
    }
    // Whether the socket is bound, so that a sender may start.
    bool bound() const { return m_bound; }
    ImageGetWorker& worker() { return m_worker; }
    const QList<DeliveredFrame>& frames() const { return m_collector.frames; }

private:
    DeviceSettings m_settings;
    ImageGetWorker m_worker;
    FrameCollector m_collector;
    QThread m_thread;
    std::atomic<bool> m_bound{false};
};

QString missingFfmpeg()
{
    for (const char* program : {"ffmpeg", "ffprobe"}) {
        if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
            return QStringLiteral("not installed: %1 (scripts/install-deps.sh test)")
                .arg(QLatin1String(program));
    }
    return {};
}

// Runs a tool to its end; its output, or a failure naming it.
bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess p;
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(program, arguments);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), p.readAllStandardError().constData());
        return false;
    }
    if (output)
        *output = p.readAllStandardOutput();
    return true;
}

// The frames FFmpeg's decoder reads from an Annex B file.
int framesDecodable(const QString& path)
{
    QByteArray out;
    if (!run(QStringLiteral("ffprobe"),
             {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
              QStringLiteral("-select_streams"), QStringLiteral("v:0"),
              QStringLiteral("-show_entries"), QStringLiteral("stream=nb_read_frames"),
              QStringLiteral("-of"), QStringLiteral("csv=p=0"), path},
             &out))
        return -1;
    return out.trimmed().toInt();
}

// NAL unit types of an Annex B access unit as the depacketizer writes it
// (4-byte start codes); empty when it does not begin with one.
QList<int> nalTypes(const QByteArray& unit)
{
    if (!unit.startsWith(QByteArray("\x00\x00\x00\x01", 4)))
        return {};
    QList<int> types;
    for (const QByteArray& nal : simlib::splitAnnexB(unit))
        types.append((nal[0] & 0x80) ? -1 : nal[0] & h264::NalTypeMask);
    return types;
}

bool isIdr(const QByteArray& unit)
{
    return h264AccessUnitIsIdr(reinterpret_cast<const unsigned char*>(unit.constData()),
                               std::size_t(unit.size()));
}

// Checks every unit's form; the IDR units' indices.
QList<int> checkUnits(const QList<DeliveredFrame>& frames)
{
    QList<int> idr;
    for (int i = 0; i < frames.size(); ++i) {
        const QList<int> types = nalTypes(frames[i].data);
        const auto where = qPrintable(QStringLiteral("unit %1").arg(i));
        if (frames[i].conType != QLatin1String("video/h264") || types.isEmpty()) {
            QTest::qFail(where, __FILE__, __LINE__);
            return {};
        }
        for (const int t : types) {
            if (t < 1 || t > 23) {
                QTest::qFail(where, __FILE__, __LINE__);
                return {};
            }
        }
        if (isIdr(frames[i].data)) {
            idr.append(i);
            if (!types.contains(h264::NalSps) || !types.contains(h264::NalPps)) {
                QTest::qFail(where, __FILE__, __LINE__);
                return {};
            }
        }
    }
    return idr;
}

bool writeUnits(const QString& path, const QList<DeliveredFrame>& frames)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    for (const DeliveredFrame& frame : frames)
        f.write(frame.data);
    return true;
}

} // namespace

class tst_RtpH264Interop : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void ffmpegSender_data();
    void ffmpegSender();
    void lostPacket();
};

void tst_RtpH264Interop::init()
{
    const QString missing = missingFfmpeg();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
}

void tst_RtpH264Interop::ffmpegSender_data()
{
    QTest::addColumn<QStringList>("encoderOptions");
    QTest::newRow("libx264, packetization mode 1")
        << QStringList{QStringLiteral("-c:v"), QStringLiteral("libx264")};
    QTest::newRow("zerolatency slices, large frames in FU-A") << QStringList{
        QStringLiteral("-s"),      QStringLiteral("640x480"), QStringLiteral("-c:v"),
        QStringLiteral("libx264"), QStringLiteral("-tune"),   QStringLiteral("zerolatency"),
        QStringLiteral("-b:v"),    QStringLiteral("6M")};
    QTest::newRow("packetization mode 0, slices within a packet")
        << QStringList{QStringLiteral("-c:v"),         QStringLiteral("libx264"),
                       QStringLiteral("-x264-params"), QStringLiteral("slice-max-size=1200"),
                       QStringLiteral("-rtpflags"),    QStringLiteral("h264_mode0")};
}

void tst_RtpH264Interop::ffmpegSender()
{
    QFETCH(QStringList, encoderOptions);
    const quint16 port = freeUdpPort();
    QVERIFY(port > 0);
    H264Receiver receiver;
    // Bound before FFmpeg starts, so that its first packets are not refused.
    receiver.start(port);
    QTRY_VERIFY_WITH_TIMEOUT(receiver.bound(), 10000);

    const QStringList arguments =
        QStringList{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                    QStringLiteral("error"),        QStringLiteral("-re"),
                    QStringLiteral("-f"),           QStringLiteral("lavfi"),
                    QStringLiteral("-i"),           TestSource,
                    QStringLiteral("-frames:v"),    QString::number(FramesSent),
                    QStringLiteral("-g"),           QString::number(Gop),
                    QStringLiteral("-bf"),          QStringLiteral("0")}
        + encoderOptions
        + QStringList{QStringLiteral("-f"), QStringLiteral("rtp"),
                      QStringLiteral("rtp://127.0.0.1:%1").arg(port)};
    QVERIFY(run(QStringLiteral("ffmpeg"), arguments));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.worker().framesCompleted(), qint64(FramesSent), 10000);
    receiver.stop();

    const QList<DeliveredFrame>& frames = receiver.frames();
    QCOMPARE(frames.size(), FramesSent);
    QCOMPARE(checkUnits(frames), (QList<int>{0, Gop}));
    const RtpCounters& c = receiver.worker().rtpCounters();
    QCOMPARE(c.lost.load(), 0);
    QCOMPARE(c.framesDropped.load(), 0);
    QVERIFY(c.expected.load() >= FramesSent);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("received.h264"));
    QVERIFY(writeUnits(path, frames));
    QCOMPARE(framesDecodable(path), FramesSent);
}

void tst_RtpH264Interop::lostPacket()
{
    // FFmpeg's elementary stream, packetized here, one packet of the sixth
    // access unit (a P frame) left out.
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("sent.h264"));
    QVERIFY(run(QStringLiteral("ffmpeg"),
                {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                 QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("lavfi"),
                 QStringLiteral("-i"), TestSource, QStringLiteral("-frames:v"),
                 QString::number(FramesSent), QStringLiteral("-c:v"), QStringLiteral("libx264"),
                 QStringLiteral("-g"), QString::number(Gop), QStringLiteral("-bf"),
                 QStringLiteral("0"), QStringLiteral("-f"), QStringLiteral("h264"), source}));
    QFile file(source);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> units = simlib::splitAccessUnits(file.readAll());
    QCOMPARE(units.size(), FramesSent);

    constexpr int DamagedUnit = 5;
    const quint16 port = freeUdpPort();
    H264Receiver receiver;
    receiver.start(port);
    QTRY_VERIFY_WITH_TIMEOUT(receiver.bound(), 10000);
    // Small packets, so that the damaged unit has more than the one lost.
    simlib::RtpH264Packetizer packetizer({.maxPayload = 200});
    LoopbackSocket from(SOCK_DGRAM);
    for (int i = 0; i < units.size(); ++i) {
        QList<QByteArray> packets;
        QVERIFY(packetizer.packetize(units[i], std::uint32_t(3600 * i), &packets) > 0);
        if (i == DamagedUnit) {
            QVERIFY(packets.size() >= 2);
            packets.removeAt(1);
        }
        for (const QByteArray& p : packets)
            QVERIFY(sendDatagramFrom(from, port, p));
        QThread::msleep(2); // no burst beyond the socket's buffer
    }
    const qint64 delivered = FramesSent - (Gop - DamagedUnit);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.worker().framesCompleted(), delivered, 10000);
    receiver.stop();

    const RtpCounters& c = receiver.worker().rtpCounters();
    QCOMPARE(c.lost.load(), 1);
    QCOMPARE(c.outOfOrder.load(), 0);
    QCOMPARE(c.framesDropped.load(), Gop - DamagedUnit);
    const QList<DeliveredFrame>& frames = receiver.frames();
    QCOMPARE(frames.size(), int(delivered));
    QCOMPARE(checkUnits(frames), (QList<int>{0, DamagedUnit}));
    // Byte for byte what was sent, but for the dropped units.
    for (int i = 0; i < frames.size(); ++i) {
        const int sent = i < DamagedUnit ? i : i + Gop - DamagedUnit;
        QVERIFY2(frames[i].data == units[sent], qPrintable(QString::number(i)));
    }
    const QString path = dir.filePath(QStringLiteral("received.h264"));
    QVERIFY(writeUnits(path, frames));
    QCOMPARE(framesDecodable(path), int(delivered));
}

QTEST_GUILESS_MAIN(tst_RtpH264Interop)
#include "tst_rtph264interop.moc"

// SPDX-License-Identifier: MIT
// An RTSP device against GStreamer's RTSP server (run by rtspserver.py
// through the Python GObject bindings): the session is set up, RTP/JPEG
// arrives over UDP or interleaved TCP, and every frame is pixel-identical
// to what the same jpegenc writes into files.
#include "testfiles.h"
#include "threadedworker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

using LinkState = ImageGetWorker::LinkState;

constexpr int Frames = 40;
const QString Source =
    QStringLiteral("videotestsrc pattern=ball num-buffers=%1 ! "
                   "video/x-raw,format=I420,width=320,height=240,framerate=20/1 ! jpegenc");

// The Python with the system's GObject bindings: the distribution's own
// before any other on the path.
QString python()
{
    const QString system = QStringLiteral("/usr/bin/python3");
    return QFile::exists(system) ? system
                                 : QStandardPaths::findExecutable(QStringLiteral("python3"));
}

QImage decode(const QByteArray& jpeg)
{
    return QImage::fromData(jpeg, "JPEG").convertToFormat(QImage::Format_RGB32);
}

} // namespace

class tst_RtspInterop : public QObject
{
    Q_OBJECT

private slots:
    void gstreamerServer_data();
    void gstreamerServer();
};

void tst_RtspInterop::gstreamerServer_data()
{
    QTest::addColumn<QString>("serverLower");
    QTest::addColumn<QString>("clientLower");
    QTest::addColumn<bool>("fellBack");

    QTest::newRow("udp") << "udp"
                         << "udp" << false;
    QTest::newRow("interleaved tcp") << "tcp"
                                     << "tcp" << false;
    QTest::newRow("auto against a server refusing udp") << "tcp"
                                                        << "auto" << true;
}

void tst_RtspInterop::gstreamerServer()
{
    QFETCH(QString, serverLower);
    QFETCH(QString, clientLower);
    QFETCH(bool, fellBack);

    const QString interpreter = python();
    if (interpreter.isEmpty())
        QSKIP("not installed: python3");
    if (QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0")).isEmpty())
        QSKIP("not installed: gst-launch-1.0");

    // The frames the server's pipeline encodes, written by the same jpegenc.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess encode;
    encode.setWorkingDirectory(dir.path());
    encode.setProcessChannelMode(QProcess::MergedChannels);
    encode.start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("exec gst-launch-1.0 -q ") + Source.arg(Frames)
                                   + QStringLiteral(" ! multifilesink location=f%05d.jpg")});
    QVERIFY(encode.waitForFinished(60000));
    QVERIFY2(encode.exitCode() == 0, encode.readAll().constData());
    QList<QImage> expected;
    for (int i = 0; i < Frames; ++i) {
        expected.append(decode(
            readFile(dir.filePath(QStringLiteral("f%1.jpg").arg(i, 5, 10, QLatin1Char('0'))))));
        QVERIFY(!expected.last().isNull());
    }

    QProcess server;
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(interpreter, {QFINDTESTDATA("rtspserver.py"), serverLower,
                               Source.arg(Frames) + QStringLiteral(" ! rtpjpegpay name=pay0")});
    QVERIFY(server.waitForStarted(10000));
    QVERIFY(server.waitForReadyRead(20000));
    const QString first = QString::fromLocal8Bit(server.readLine()).trimmed();
    if (server.waitForFinished(0) && server.exitCode() == 77)
        QSKIP(qPrintable(QStringLiteral("the RTSP server cannot run: ") + first));
    const QRegularExpressionMatch port =
        QRegularExpression(QStringLiteral("^port (\\d+)$")).match(first);
    QVERIFY2(port.hasMatch(), qPrintable(first));

    const QString url = QStringLiteral("rtsp://127.0.0.1:%1/test").arg(port.captured(1));
    // From the stop request to the worker's end, TEARDOWN included: shown,
    // not asserted.
    QElapsedTimer stopping;
    {
        ThreadedWorker worker(
            QStringLiteral("RTSP"),
            {{QStringLiteral("url"), url}, {QStringLiteral("rtsp_transport"), clientLower}});
        worker.worker()->setReferenceHeaderFile(dir.filePath(QStringLiteral("absent.jpg")));
        worker.start(QString(), 0);
        worker.request();
        QTRY_VERIFY_WITH_TIMEOUT(worker.frames.size() >= 10, 20000);
        QVERIFY(worker.states().contains(LinkState::Connected));
        QCOMPARE(worker.notices.join(QLatin1Char('\n'))
                     .contains(QLatin1String("trying RTP interleaved over TCP")),
                 fellBack);

        // Each frame is one of the encoded ones, in order, pixel for pixel.
        int next = 0;
        for (qsizetype i = 0; i < worker.frames.size(); ++i) {
            QCOMPARE(worker.types[i], QStringLiteral("image/jpeg"));
            const QImage image = decode(worker.frames[i]);
            QVERIFY2(!image.isNull(),
                     qPrintable(QStringLiteral("frame %1 does not decode").arg(i)));
            while (next < Frames && image != expected[next])
                ++next;
            QVERIFY2(next < Frames,
                     qPrintable(QStringLiteral("frame %1 matches no encoded frame after the "
                                               "previous one")
                                    .arg(i)));
        }
        // The packets went through the RTP path's counters; inside a TCP
        // connection none can be lost.
        const RtpCounters& rtp = worker.worker()->rtpCounters();
        QVERIFY(rtp.expected.load() > 0);
        if (clientLower != QLatin1String("udp"))
            QCOMPARE(rtp.lost.load(), 0);
        qInfo("%s: %lld frames compared, all pixel-identical", QTest::currentDataTag(),
              qint64(worker.frames.size()));
        stopping.start();
    }
    qInfo("stopped within %lld ms", stopping.elapsed());
    server.closeWriteChannel();
    if (!server.waitForFinished(5000)) {
        server.kill();
        server.waitForFinished(5000);
    }
}

QTEST_GUILESS_MAIN(tst_RtspInterop)
#include "tst_rtspinterop.moc"

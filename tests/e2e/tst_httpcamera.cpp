// SPDX-License-Identifier: MIT
// The viewer's HTTP receiver against the simulator's camera on the web: a
// stream in each framing, each login scheme, a wrong password, a missing
// path, a snapshot polled, and a camera that drops its viewers mid-stream.
#include "simprocess.h"
#include "threadedworker.h"

#include <QImage>
#include <QTest>
#include <QVariantMap>

namespace {
using Link = ImageGetWorker::LinkState;
} // namespace

class tst_HttpCamera : public QObject
{
    Q_OBJECT

private slots:
    void simulatorCamera_data();
    void simulatorCamera();
};

void tst_HttpCamera::simulatorCamera_data()
{
    QTest::addColumn<QString>("simArgs");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QVariantMap>("keys");
    QTest::addColumn<int>("frames");     // at least this many, each a JPEG that decodes
    QTest::addColumn<int>("reconnects"); // made after the camera ended the connection
    QTest::addColumn<Link>("refusal");   // when no frame may come: the state instead
    QTest::addColumn<QString>("detail");

    const QVariantMap login{{"user", "cam"}, {"password", "pw:7"}};
    const QString basic = "--user cam --password pw:7 --auth basic";
    const QString digest = "--user cam --password pw:7 --auth digest";
    QTest::newRow("stream") << ""
                            << "/video.mjpg" << QVariantMap{} << 5 << 0 << Link::Connected << "";
    QTest::newRow("stream, quoted boundary, no lengths, LF")
        << "--http-style quoted,no-length,lf"
        << "/video.mjpg" << QVariantMap{} << 5 << 0 << Link::Connected << "";
    QTest::newRow("stream, Basic")
        << basic << "/video.mjpg" << login << 5 << 0 << Link::Connected << "";
    QTest::newRow("stream, Digest")
        << digest << "/video.mjpg" << login << 5 << 0 << Link::Connected << "";
    QTest::newRow("snapshot polled, Digest")
        << digest << "/snapshot.jpg"
        << QVariantMap{{"user", "cam"}, {"password", "pw:7"}, {"poll_ms", 100}} << 3 << 0
        << Link::Connected << "";
    QTest::newRow("camera drops its viewers every 4 frames")
        << "--drop-after 4"
        << "/video.mjpg" << QVariantMap{} << 4 << 2 << Link::Connected << "";
    QTest::newRow("wrong password")
        << digest << "/video.mjpg" << QVariantMap{{"user", "cam"}, {"password", "pw:8"}} << 0 << 0
        << Link::Unauthorized << "Digest";
    QTest::newRow("no credentials, both schemes offered")
        << "--user cam --password pw:7 --auth any"
        << "/video.mjpg" << QVariantMap{} << 0 << 0 << Link::Unauthorized << "Basic, Digest";
    QTest::newRow("missing path") << ""
                                  << "/nothing" << QVariantMap{} << 0 << 0 << Link::HttpStatus
                                  << "HTTP 404 Not Found";
}

void tst_HttpCamera::simulatorCamera()
{
    QFETCH(QString, simArgs);
    QFETCH(QString, path);
    QFETCH(QVariantMap, keys);
    QFETCH(int, frames);
    QFETCH(int, reconnects);
    QFETCH(Link, refusal);
    QFETCH(QString, detail);

    SimProcess sim;
    const int port = sim.start("--mode http --port 0 --fps 25 --width 160 --height 120 " + simArgs);
    QVERIFY(port > 0);
    keys.insert(QStringLiteral("url"), QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
    ThreadedWorker w(QStringLiteral("HTTP"), keys);
    w.request();
    w.start(QString(), 0);

    if (frames > 0) {
        // The device controller connects again a second after a connection
        // ends; here that is done at once.
        for (int k = 0; k < reconnects; ++k) {
            QTRY_VERIFY_WITH_TIMEOUT(!w.links.isEmpty() && w.links.last().state == Link::Lost,
                                     15000);
            QCOMPARE(w.links.last().detail, QStringLiteral("closed by the peer"));
            w.start(QString(), 0);
            QTRY_VERIFY_WITH_TIMEOUT(w.links.last().state != Link::Lost, 5000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(w.frames.size() >= frames * (reconnects + 1), 15000);
        for (const QByteArray& frame : std::as_const(w.frames))
            QCOMPARE(QImage::fromData(frame, "JPEG").size(), QSize(160, 120));
        for (const ThreadedWorker::Link& link : std::as_const(w.links))
            QVERIFY2(link.state != Link::Unauthorized && link.state != Link::HttpStatus
                         && link.state != Link::BadContent,
                     qPrintable(link.detail));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!w.links.isEmpty() && w.links.last().state == refusal, 10000);
        QCOMPARE(w.links.last().detail, detail);
        QVERIFY(w.frames.isEmpty());
    }
    // The password is never part of what the worker reports.
    for (const ThreadedWorker::Link& link : std::as_const(w.links))
        QVERIFY2(!link.detail.contains(QLatin1String("pw:")), qPrintable(link.detail));
    QCOMPARE(sim.stop(), 0);
}

QTEST_GUILESS_MAIN(tst_HttpCamera)
#include "tst_httpcamera.moc"

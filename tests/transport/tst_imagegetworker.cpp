// SPDX-License-Identifier: MIT
#include "framelimits.h"
#include "imagegetworker.h"
#include "loopbackpeer.h"
#include "multipartwriter.h"
#include "testfiles.h"
#include "threadedworker.h"
#include "workerharness.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <thread>

using Requests = WorkerFixture::Requests;

class tst_ImageGetWorker : public QObject
{
    Q_OBJECT

private slots:
    void protocolSetting_data();
    void protocolSetting();
    void pendingRequestServedAfterLastByte();
    void requestServedAtOnceWhenFrameIsReady();
    void onlyNewestFrameDelivered();
    void frameCounterWraps();
    void logTextCarriedAndCleared();
    void destinationCapacity_data();
    void destinationCapacity();
    void growthKeepsBytesAndIsBounded();
    void placedPayloadArraysStartFilled_data();
    void placedPayloadArraysStartFilled();

    void tcpFramesEndToEnd();
    void frameArraysMadeAtFirstData_data();
    void frameArraysMadeAtFirstData();
    void reconnectDeliversOnlyNewFrames_data();
    void reconnectDeliversOnlyNewFrames();
    void tcpQuietPeerDisconnectsAfterOneSecond();
    void tcpPeerCloseDisconnectsAtOnce();
    void tcpRefusedEmitsNothing();
    void udpStreamSplitAcrossDatagrams_data();
    void udpStreamSplitAcrossDatagrams();
    void nonLocalBindEmitsNothing();
    void stopEndsLoopPromptly_data();
    void stopEndsLoopPromptly();
};

void tst_ImageGetWorker::protocolSetting_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("protocol");
    QTest::newRow("absent") << QString() << int(ImageGetWorker::Protocol::Tcp);
    QTest::newRow("TCP") << "TCP" << int(ImageGetWorker::Protocol::Tcp);
    QTest::newRow("udp lower case") << "udp" << int(ImageGetWorker::Protocol::Udp);
    QTest::newRow("rtp lower case") << "rtp" << int(ImageGetWorker::Protocol::Rtp);
    QTest::newRow("RTP") << "RTP" << int(ImageGetWorker::Protocol::Rtp);
    QTest::newRow("tcp6 is TCP") << "tcp6" << int(ImageGetWorker::Protocol::Tcp);
}

void tst_ImageGetWorker::protocolSetting()
{
    QFETCH(QString, value);
    QFETCH(int, protocol);
    DeviceSettings settings(value);
    ImageGetWorker worker(settings.get());
    QCOMPARE(int(worker.protocol()), protocol);
}

void tst_ImageGetWorker::pendingRequestServedAfterLastByte()
{
    WorkerFixture f;
    f.collector.request();
    QVERIFY(f.collector.frames.isEmpty());
    completeFrame(f.worker, "abc");
    QVERIFY(f.collector.frames.isEmpty()); // the decoder runs the delivery test
    f.worker.deliverIfRequested();
    QCOMPARE(f.collector.frames.size(), 1);
    QCOMPARE(f.collector.frames[0].data, QByteArray("abc"));
}

void tst_ImageGetWorker::requestServedAtOnceWhenFrameIsReady()
{
    WorkerFixture f(QString(), Requests::Once);
    completeFrame(f.worker, "ready");
    QSignalSpy spy(&f.worker, &ImageGetWorker::newImageReceived);
    f.collector.request();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(f.collector.frames[0].data, QByteArray("ready"));
    // The same frame is not delivered twice.
    f.collector.request();
    QCOMPARE(spy.count(), 1);
}

void tst_ImageGetWorker::onlyNewestFrameDelivered()
{
    WorkerFixture f(QString(), Requests::Once);
    completeFrame(f.worker, "first");
    completeFrame(f.worker, "second");
    completeFrame(f.worker, "third");
    f.collector.request();
    QCOMPARE(f.collector.frames.size(), 1);
    QCOMPARE(f.collector.frames[0].data, QByteArray("third"));
}

void tst_ImageGetWorker::frameCounterWraps()
{
    WorkerFixture f(QString(), Requests::Once);
    for (int i = 0; i < 65534; ++i)
        f.worker.finishFrame();
    f.collector.request();
    QCOMPARE(f.collector.frames.size(), 1);
    f.collector.frames.clear();
    f.worker.finishFrame();
    QCOMPARE(f.worker.framesDone(), 65535);
    completeFrame(f.worker, "wrap");
    QCOMPARE(f.worker.framesDone(), 0);
    f.collector.request();
    QCOMPARE(f.collector.frames.size(), 1);
    QCOMPARE(f.collector.frames[0].data, QByteArray("wrap"));
    completeFrame(f.worker, "after");
    f.collector.request();
    QCOMPARE(f.collector.frames.size(), 2);
    QCOMPARE(f.collector.frames[1].data, QByteArray("after"));
}

void tst_ImageGetWorker::logTextCarriedAndCleared()
{
    WorkerFixture f(QString(), Requests::Once);
    f.worker.appendLog("one\n");
    completeFrame(f.worker, "dropped");
    f.worker.appendLog("two\n");
    completeFrame(f.worker, "shown");
    f.collector.request();
    QCOMPARE(f.collector.frames[0].logMsg, QString("one\ntwo\n"));
    completeFrame(f.worker, "next");
    f.collector.request();
    QCOMPARE(f.collector.frames[1].logMsg, QString());
}

void tst_ImageGetWorker::destinationCapacity_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("frameLen");
    QTest::addColumn<bool>("copied");
    QTest::newRow("equal to the frame") << 100 << 100 << true;
    QTest::newRow("one byte short") << 99 << 100 << false;
    QTest::newRow("zero capacity") << 0 << 1 << false;
    QTest::newRow("negative capacity") << -5 << 1 << false;
}

void tst_ImageGetWorker::destinationCapacity()
{
    QFETCH(int, capacity);
    QFETCH(int, frameLen);
    QFETCH(bool, copied);
    ImageGetWorker worker(ImageGetWorker::Protocol::Tcp);
    QByteArray destination(std::max(capacity, 0) + 16, '\xAA');
    QList<int> lengths;
    connect(&worker, &ImageGetWorker::newImageReceived, this,
            [&](QString, unsigned char*, int len, QString) { lengths.append(len); });
    completeFrame(worker, QByteArray(frameLen, 'f'));
    worker.imageRequested(reinterpret_cast<unsigned char*>(destination.data()), capacity);
    QCOMPARE(lengths.size(), copied ? 1 : 0);
    // Nothing beyond the offered capacity is ever written.
    QCOMPARE(destination.mid(std::max(capacity, 0)), QByteArray(16, '\xAA'));
    if (copied)
        return;
    // The request stays pending: the next frame that fits is delivered.
    completeFrame(worker, QByteArray());
    completeFrame(worker, QByteArray(std::max(capacity, 0), 'g'));
    worker.deliverIfRequested();
    if (capacity > 0) {
        QCOMPARE(lengths, QList<int>{capacity});
        QCOMPARE(destination.left(capacity), QByteArray(capacity, 'g'));
    }
}

void tst_ImageGetWorker::growthKeepsBytesAndIsBounded()
{
    ImageGetWorker worker(ImageGetWorker::Protocol::Tcp);
    const QByteArray kept(1000, 'k');
    QVERIFY(worker.appendBytes(ubytes(kept), 1000));
    QVERIFY(worker.growFrameBuffer());
    QCOMPARE(worker.writeCapacity(), 3145728);
    QCOMPARE(byteArray(worker.writeBuffer(), 1000), kept);
    QCOMPARE(worker.curLen(), 1000);
    QVERIFY(worker.growFrameBuffer());
    QCOMPARE(worker.writeCapacity(), 4718592);
    // Sizes beyond the frame bound, or that would overflow, are refused.
    QVERIFY(!worker.ensureWriteCapacity(std::int64_t(MaxFrameBytes) * 2));
    QVERIFY(!worker.ensureWriteCapacity(std::int64_t(1) << 40));
    QCOMPARE(worker.writeCapacity(), 4718592);
    QVERIFY(worker.ensureWriteCapacity(10 * 1024 * 1024));
    QVERIFY(worker.writeCapacity() >= 10 * 1024 * 1024);
    const std::int64_t grown = worker.writeCapacity();
    // The other array of the double buffer is made by its first byte, in
    // the initial size.
    worker.finishFrame();
    QVERIFY(worker.putByte('x'));
    QCOMPARE(worker.writeCapacity(), InitialFrameBufferBytes);
    QCOMPARE(worker.allocatedBytes(), grown + InitialFrameBufferBytes);
}

void tst_ImageGetWorker::placedPayloadArraysStartFilled_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::newRow("RTP") << "RTP";
    QTest::newRow("RTSP") << "RTSP";
}

// RTP payloads are placed by offset, so a frame may have bytes no packet
// wrote: in a new array they read 0x7F, never stale memory.
void tst_ImageGetWorker::placedPayloadArraysStartFilled()
{
    QFETCH(QString, protocol);
    ImageGetWorker worker(ImageGetWorker::protocolFromSetting(protocol));
    QVERIFY(worker.putByte('x'));
    const QByteArray rest = byteArray(worker.writeBuffer() + 1, InitialFrameBufferBytes - 1);
    QCOMPARE(rest.count('\x7F'), rest.size());
}

void tst_ImageGetWorker::tcpFramesEndToEnd()
{
    LoopbackPeer peer;
    ThreadedWorker w("TCP");
    w.request();
    QVERIFY(w.connectTo(peer));
    const QByteArray body(300000, 'j'); // larger than one receive block
    QVERIFY(peer.send(simlib::multipartPart(simlib::ContentTypeJpeg, body)
                      + simlib::multipartPart(simlib::ContentTypeGray, "tail")));
    QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), 2, 5000);
    QVERIFY(w.frames[0] == body || w.frames[0] == "tail");
    QCOMPARE(w.frames.last(), QByteArray("tail"));
    QCOMPARE(w.types.last(), QString("video/x-raw-gray"));
}

void tst_ImageGetWorker::frameArraysMadeAtFirstData_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::newRow("TCP") << "TCP";
    QTest::newRow("UDP") << "UDP";
}

// A connected device that sends nothing holds no frame arrays: many silent
// devices cost next to no memory.
void tst_ImageGetWorker::frameArraysMadeAtFirstData()
{
    QFETCH(QString, protocol);
    ThreadedWorker w(protocol);
    w.request();
    LoopbackPeer peer;
    const quint16 port = protocol == QLatin1String("TCP") ? peer.port() : freeUdpPort();
    if (protocol == QLatin1String("TCP")) {
        QVERIFY(w.connectTo(peer));
    } else {
        QSignalSpy connectedSpy(&w, &ThreadedWorker::connected);
        w.start(QStringLiteral("127.0.0.1"), port);
        QVERIFY(connectedSpy.wait(5000));
    }
    QCOMPARE(w.worker()->allocatedBytes(), 0);
    QCOMPARE(w.worker()->framesCompleted(), 0);

    const QByteArray part = simlib::multipartPart(simlib::ContentTypeGray, "first");
    QVERIFY(protocol == QLatin1String("TCP") ? peer.send(part) : sendDatagram(port, part));
    QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), 1, 5000);
    QCOMPARE(w.frames[0], QByteArray("first"));
    QVERIFY(w.worker()->allocatedBytes() >= InitialFrameBufferBytes);
}

void tst_ImageGetWorker::reconnectDeliversOnlyNewFrames_data()
{
    QTest::addColumn<QByteArray>("afterReconnect");
    QTest::addColumn<QList<QByteArray>>("expected");
    const QByteArray next = simlib::multipartPart(simlib::ContentTypeJpeg, "new frame");
    QTest::newRow("one new frame") << next << QList<QByteArray>{"old frame", "new frame"};
    QTest::newRow("only the start of a part")
        << next.left(next.indexOf("\r\n\r\n") + 6) << QList<QByteArray>{"old frame"};
}

// A device that pauses for a second is reconnected. The frame of the first
// connection was delivered then; the new connection delivers only its own
// frames, never that one again.
void tst_ImageGetWorker::reconnectDeliversOnlyNewFrames()
{
    QFETCH(QByteArray, afterReconnect);
    QFETCH(QList<QByteArray>, expected);

    LoopbackPeer peer;
    ThreadedWorker w("TCP");
    QSignalSpy disconnectedSpy(&w, &ThreadedWorker::disconnected);
    QSignalSpy frameSpy(&w, &ThreadedWorker::frameReceived);
    w.request();
    QVERIFY(w.connectTo(peer));
    QVERIFY(peer.send(simlib::multipartPart(simlib::ContentTypeJpeg, "old frame")));
    QVERIFY(frameSpy.wait(5000));
    peer.closeClient();
    QVERIFY(disconnectedSpy.wait(5000));

    // The controller connects again; a request is pending.
    QVERIFY(w.connectTo(peer));
    QVERIFY(peer.send(afterReconnect));
    if (expected.size() > 1)
        QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), expected.size(), 5000);
    // Whatever the worker would still deliver arrives within this wait.
    QVERIFY(!frameSpy.wait(500));
    QCOMPARE(w.frames, expected);
}

void tst_ImageGetWorker::tcpQuietPeerDisconnectsAfterOneSecond()
{
    LoopbackPeer peer;
    ThreadedWorker w("TCP");
    QSignalSpy disconnectedSpy(&w, &ThreadedWorker::disconnected);
    QVERIFY(w.connectTo(peer));
    QVERIFY(peer.send("x"));
    QElapsedTimer quiet;
    quiet.start();
    QVERIFY(disconnectedSpy.wait(5000));
    QVERIFY2(quiet.elapsed() >= 850, qPrintable(QString::number(quiet.elapsed())));
    QVERIFY2(quiet.elapsed() < 3000, qPrintable(QString::number(quiet.elapsed())));
}

void tst_ImageGetWorker::tcpPeerCloseDisconnectsAtOnce()
{
    LoopbackPeer peer;
    ThreadedWorker w("TCP");
    QSignalSpy disconnectedSpy(&w, &ThreadedWorker::disconnected);
    QVERIFY(w.connectTo(peer));
    QElapsedTimer closing;
    closing.start();
    peer.closeClient();
    QVERIFY(disconnectedSpy.wait(5000));
    QVERIFY2(closing.elapsed() < 800, qPrintable(QString::number(closing.elapsed())));
}

void tst_ImageGetWorker::tcpRefusedEmitsNothing()
{
    int port = 0;
    {
        LoopbackPeer closedAgain;
        port = closedAgain.port();
    }
    ThreadedWorker w("TCP");
    QSignalSpy connectedSpy(&w, &ThreadedWorker::connected);
    QSignalSpy disconnectedSpy(&w, &ThreadedWorker::disconnected);
    w.start("127.0.0.1", port);
    QVERIFY(!connectedSpy.wait(500));
    QCOMPARE(disconnectedSpy.count(), 0);
}

void tst_ImageGetWorker::udpStreamSplitAcrossDatagrams_data()
{
    QTest::addColumn<int>("datagramBytes");
    QTest::newRow("8 datagrams") << 777;
    // Many batches of received datagrams, taken and decoded in order.
    QTest::newRow("170 datagrams") << 31;
}

void tst_ImageGetWorker::udpStreamSplitAcrossDatagrams()
{
    QFETCH(int, datagramBytes);
    const int port = freeUdpPort();
    ThreadedWorker w("udp");
    QSignalSpy connectedSpy(&w, &ThreadedWorker::connected);
    w.request();
    w.start("127.0.0.1", port);
    QVERIFY(connectedSpy.wait(5000));
    QCOMPARE(w.worker()->contentType(), QString("image/jpeg"));
    QByteArray body(5000, '\0');
    for (int i = 0; i < body.size(); ++i)
        body[i] = char(i);
    const QByteArray stream = simlib::multipartPart(simlib::ContentTypeGray, body)
                              + simlib::multipartPart(simlib::ContentTypeJpeg, "second");
    for (int at = 0; at < stream.size(); at += datagramBytes)
        QVERIFY(sendDatagram(port, stream.mid(at, datagramBytes)));
    QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), 2, 5000);
    QVERIFY(w.frames[0] == body);
    QCOMPARE(w.types[0], QString("video/x-raw-gray"));
    QCOMPARE(w.frames[1], QByteArray("second"));
}

void tst_ImageGetWorker::nonLocalBindEmitsNothing()
{
    for (const char* protocol : {"UDP", "RTP"}) {
        ThreadedWorker w(protocol);
        QSignalSpy connectedSpy(&w, &ThreadedWorker::connected);
        // 192.0.2.1 (TEST-NET-1) is never an address of this machine; binding
        // to it fails without sending anything.
        w.start("192.0.2.1", 40000);
        w.start("not-an-address", 40000);
        QVERIFY(!connectedSpy.wait(300));
    }
}

void tst_ImageGetWorker::stopEndsLoopPromptly_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::newRow("TCP while data flows") << "TCP";
    QTest::newRow("UDP while idle") << "UDP";
    QTest::newRow("RTP while idle") << "RTP";
}

void tst_ImageGetWorker::stopEndsLoopPromptly()
{
    QFETCH(QString, protocol);
    LoopbackPeer peer;
    const int port = protocol == "TCP" ? peer.port() : freeUdpPort();
    ThreadedWorker w(protocol);
    QSignalSpy connectedSpy(&w, &ThreadedWorker::connected);
    QSignalSpy disconnectedSpy(&w, &ThreadedWorker::disconnected);
    w.start("127.0.0.1", port);
    const bool tcp = protocol == "TCP";
    if (tcp)
        QVERIFY(peer.acceptClient());
    QVERIFY(connectedSpy.wait(5000));

    // A TCP peer that keeps sending would keep the loop alive for ever; the
    // datagram modes would wait a minute. Only the stop request ends them.
    std::atomic<bool> sending{tcp};
    std::thread sender([&] {
        for (int i = 0; i < 200 && sending.load(); ++i) {
            peer.send("keepalive");
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    });
    QTest::qWait(200);
    QElapsedTimer stopping;
    stopping.start();
    w.worker()->requestStop();
    const bool ended = disconnectedSpy.wait(3000);
    sending = false;
    sender.join();
    QVERIFY(ended);
    QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
}

QTEST_GUILESS_MAIN(tst_ImageGetWorker)
#include "tst_imagegetworker.moc"

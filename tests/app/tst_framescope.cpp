// SPDX-License-Identifier: MIT
// Runs the real framescope executable on the offscreen platform against a
// multipart JPEG peer on 127.0.0.1 written here, so the test depends only on
// the program itself.
#include "loopbackpeer.h"
#include "multipartwriter.h"
#include "testfiles.h"
#include "viewerprocess.h"

#include <QElapsedTimer>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int SliceMs = 100;
constexpr int PeerLifetimeMs = 90000;
constexpr int MaxFramesSent = 1000000;

QByteArray jpegFrame(int index)
{
    QImage image = solidFrame(160, 120, QColor(40, 40, 40));
    QPainter(&image).fillRect((index * 7) % 140, 40, 20, 40, Qt::yellow);
    return jpegFile(image, 80);
}

// Listens on an ephemeral loopback port, accepts one connection at a time
// and, when streaming, sends multipart JPEG parts until stopped, the
// connection closes or its time or frame budget is spent. A silent peer
// accepts and sends nothing.
class MultipartPeer : public QThread
{
public:
    explicit MultipartPeer(bool streaming) : m_streaming(streaming)
    {
        for (int i = 0; i < 8; ++i)
            m_parts << simlib::multipartPart(simlib::ContentTypeJpeg, jpegFrame(i));
    }
    ~MultipartPeer() override
    {
        m_stop = true;
        wait();
    }

    int port() const { return m_listener.isListening() ? m_listener.port() : 0; }
    int accepted() const { return m_accepted.load(); }
    int framesSent() const { return m_framesSent.load(); }

protected:
    void run() override
    {
        QElapsedTimer life;
        life.start();
        while (!m_stop && life.elapsed() < PeerLifetimeMs) {
            pollfd p = {m_listener.listenFd(), POLLIN, 0};
            if (::poll(&p, 1, SliceMs) <= 0)
                continue;
            const int fd = ::accept4(m_listener.listenFd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++m_accepted;
            serve(fd, life);
            ::close(fd);
        }
    }

private:
    void serve(int fd, const QElapsedTimer& life)
    {
        while (!m_stop && life.elapsed() < PeerLifetimeMs) {
            if (!m_streaming || m_framesSent >= MaxFramesSent) {
                // Silent: wait for the viewer to close the connection.
                pollfd p = {fd, POLLIN, 0};
                char byte;
                if (::poll(&p, 1, SliceMs) > 0 && ::recv(fd, &byte, 1, 0) <= 0)
                    return;
                continue;
            }
            const QByteArray& part = m_parts.at(m_framesSent % m_parts.size());
            if (!sendAll(fd, part, life))
                return;
            ++m_framesSent;
        }
    }

    bool sendAll(int fd, const QByteArray& data, const QElapsedTimer& life)
    {
        qsizetype done = 0;
        while (done < data.size()) {
            if (m_stop || life.elapsed() >= PeerLifetimeMs)
                return false;
            pollfd p = {fd, POLLOUT, 0};
            if (::poll(&p, 1, SliceMs) <= 0)
                continue;
            const ssize_t n =
                ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }

    const bool m_streaming;
    LoopbackPeer m_listener; // accepted from here, not through its own calls
    QList<QByteArray> m_parts;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_framesSent{0};
};

} // namespace

class tst_Framescope : public QObject
{
    Q_OBJECT

private slots:
    void streamsAndExitsCleanly_data();
    void streamsAndExitsCleanly();
};

void tst_Framescope::streamsAndExitsCleanly_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::newRow("after 1000 frames the histogram is logged") << true;
    QTest::newRow("connected to a silent peer") << false;
}

void tst_Framescope::streamsAndExitsCleanly()
{
    QFETCH(bool, streaming);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    MultipartPeer peer(streaming);
    QVERIFY(peer.port() > 0);
    peer.start();

    const QString log = dir.filePath(QStringLiteral("dev0.log"));
    const QString ini = dir.filePath(QStringLiteral("viewer.ini"));
    writeFile(ini,
              deviceGroup(0, peer.port(), QStringLiteral("protocol=TCP\nlogfile=%1\n").arg(log)));
    ViewerProcess viewer(QProcess::ForwardedErrorChannel);
    QVERIFY(viewer.start(QStringLiteral(FRAMESCOPE_BIN), ini, dir.path()));

    if (streaming) {
        QTRY_VERIFY_WITH_TIMEOUT(readFile(log).contains("MARK histogram frame1000 "), 60000);
        QVERIFY(peer.framesSent() >= 1000);
        const QList<QByteArray> lines = readFile(log).split('\n');
        int marks = 0;
        for (const QByteArray& line : lines) {
            if (!line.contains("MARK histogram"))
                continue;
            ++marks;
            QVERIFY2(line.endsWith(" 100000:" + line.split(':').last()), line.constData());
            QCOMPARE(line.count(':'), 3 + 13);
        }
        QVERIFY(marks >= 1);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(peer.accepted() >= 1, 20000);
    }

    // SIGTERM ends the event loop as closing the window does; the devices'
    // threads are stopped before main returns.
    QElapsedTimer closing;
    closing.start();
    QCOMPARE(viewer.stop(), 0);
    qInfo("viewer exited %lld ms after SIGTERM", closing.elapsed());
}

QTEST_GUILESS_MAIN(tst_Framescope)
#include "tst_framescope.moc"

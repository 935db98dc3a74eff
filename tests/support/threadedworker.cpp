// SPDX-License-Identifier: MIT
#include "threadedworker.h"

#include <QSignalSpy>

ThreadedWorker::ThreadedWorker(const QString& protocol, const QVariantMap& keys)
    : m_settings(protocol, keys), m_worker(new ImageGetWorker(m_settings.get())),
      m_buffer(4 * 1024 * 1024)
{
    m_worker->moveToThread(&m_thread);
    connect(m_worker, &ImageGetWorker::connected, this, &ThreadedWorker::connected);
    connect(m_worker, &ImageGetWorker::disconnected, this, &ThreadedWorker::disconnected);
    connect(
        m_worker, &ImageGetWorker::newImageReceived, this,
        [this](QString type, unsigned char* buf, int len, QString) {
            types.append(type);
            frames.append(QByteArray(reinterpret_cast<char*>(buf), len));
            emit frameReceived();
            request();
        },
        Qt::QueuedConnection);
    connect(
        m_worker, &ImageGetWorker::linkStateChanged, this,
        [this](ImageGetWorker::LinkState state, QString detail) {
            links.append({state, detail});
            emit linkReported();
        },
        Qt::QueuedConnection);
    connect(
        m_worker, &ImageGetWorker::notice, this,
        [this](QString text) {
            if (!text.isEmpty())
                notices.append(text);
        },
        Qt::QueuedConnection);
    m_thread.start();
}

ThreadedWorker::~ThreadedWorker()
{
    m_worker->requestStop();
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

void ThreadedWorker::start(const QString& ip, int port)
{
    QMetaObject::invokeMethod(m_worker, "initConnect", Qt::QueuedConnection, Q_ARG(QString, ip),
                              Q_ARG(int, port));
}

bool ThreadedWorker::connectTo(LoopbackPeer& peer)
{
    QSignalSpy connectedSpy(this, &ThreadedWorker::connected);
    start(QStringLiteral("127.0.0.1"), peer.port());
    return peer.acceptClient() && (!connectedSpy.isEmpty() || connectedSpy.wait(5000));
}

QList<ImageGetWorker::LinkState> ThreadedWorker::states() const
{
    QList<ImageGetWorker::LinkState> out;
    for (const Link& link : links)
        out.append(link.state);
    return out;
}

// SPDX-License-Identifier: MIT
// Runs an ImageGetWorker in a thread of its own, as the device controller
// does, and relays its signals into the test's thread through queued
// connections.
#pragma once

#include "imagegetworker.h"
#include "loopbackpeer.h"
#include "workerharness.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include <vector>

class ThreadedWorker : public QObject
{
    Q_OBJECT

public:
    struct Link
    {
        ImageGetWorker::LinkState state;
        QString detail;
    };

    // `keys` are further settings of the device group (quiet_ms, ...).
    explicit ThreadedWorker(const QString& protocol, const QVariantMap& keys = {});
    ~ThreadedWorker() override;

    void start(const QString& ip, int port);
    // Connects to the TCP device `peer` and waits until both sides have the
    // connection.
    bool connectTo(LoopbackPeer& peer);
    void request() { m_worker->imageRequested(m_buffer.data(), int(m_buffer.size())); }
    ImageGetWorker* worker() { return m_worker; }
    // The states reported so far, without the detail.
    QList<ImageGetWorker::LinkState> states() const;

    QList<QByteArray> frames;
    QStringList types;
    QList<Link> links;
    QStringList notices; // non-empty notices, in order

signals:
    void connected();
    void disconnected();
    void frameReceived();
    void linkReported();

private:
    DeviceSettings m_settings;
    ImageGetWorker* m_worker;
    QThread m_thread;
    std::vector<unsigned char> m_buffer;
};

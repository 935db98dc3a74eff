// SPDX-License-Identifier: MIT
// Drives an ImageGetWorker without a device controller: a settings file
// naming the protocol, and a collector that keeps a request pending and
// records every delivered frame.
#pragma once

#include "imagegetworker.h"

#include <QByteArray>
#include <QList>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QVariantMap>

#include <vector>

// Settings positioned like a device group, with `protocol` (none for a null
// string) and further `keys` set.
class DeviceSettings
{
public:
    explicit DeviceSettings(const QString& protocol = QString(), const QVariantMap& keys = {})
        : m_settings(m_dir.filePath(QStringLiteral("device.ini")), QSettings::IniFormat)
    {
        if (!protocol.isNull())
            m_settings.setValue(QStringLiteral("protocol"), protocol);
        for (auto it = keys.cbegin(); it != keys.cend(); ++it)
            m_settings.setValue(it.key(), it.value());
    }
    QSettings* get() { return &m_settings; }
    // A path in the settings' own temporary folder.
    QString filePath(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QSettings m_settings;
};

struct DeliveredFrame
{
    QString conType;
    QByteArray data;
    QString logMsg;
};

// Records each frame the worker delivers and, unless told otherwise, asks
// again right away the way the device controller does. The first request is
// the test's to make.
class FrameCollector
{
public:
    explicit FrameCollector(ImageGetWorker* worker, int capacity = 32 * 1024 * 1024)
        : m_worker(worker), m_buffer(std::size_t(capacity)), m_capacity(capacity)
    {
        QObject::connect(
            worker, &ImageGetWorker::newImageReceived, worker,
            [this](const QString& conType, unsigned char* buffer, int len, const QString& logMsg) {
                frames.push_back(
                    {conType, QByteArray(reinterpret_cast<char*>(buffer), len), logMsg});
                if (m_rerequest)
                    request();
            },
            Qt::DirectConnection);
    }
    void request() { m_worker->imageRequested(m_buffer.data(), m_capacity); }
    void setRerequest(bool on) { m_rerequest = on; }

    QList<DeliveredFrame> frames;

private:
    ImageGetWorker* m_worker;
    std::vector<unsigned char> m_buffer;
    int m_capacity;
    bool m_rerequest = true;
};

// The worker of one device of `protocol` (none: the default) with a
// collector; its reference file lies in a folder of its own, absent until a
// test writes it.
struct WorkerFixture
{
    enum class Requests
    {
        Repeated, // asked again after every delivery, as the controller does
        Once      // each request is the test's to make
    };

    explicit WorkerFixture(const QString& protocol = QString(),
                           Requests requests = Requests::Repeated)
        : settings(protocol), worker(settings.get()), collector(&worker)
    {
        worker.setReferenceHeaderFile(referenceFile());
        collector.setRerequest(requests == Requests::Repeated);
    }
    QString referenceFile() const { return settings.filePath(QStringLiteral("reference.jpg")); }

    DeviceSettings settings;
    ImageGetWorker worker;
    FrameCollector collector;
};

// Writes `body` into the worker's write buffer as a decoder would and
// completes the frame.
inline void completeFrame(ImageGetWorker& worker, const QByteArray& body)
{
    worker.restartFrame();
    QVERIFY(worker.appendBytes(reinterpret_cast<const unsigned char*>(body.constData()),
                               int(body.size())));
    worker.finishFrame();
}

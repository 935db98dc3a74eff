// SPDX-License-Identifier: MIT
#pragma once

#include "imagedisplay.h"
#include "jpegheader.h"

// The window main() creates: it enumerates the device groups dev0, dev1, ...
// of the configuration up to the first group without `host` (at most
// DeviceConfig::MaxDevices) and creates one device controller per group, all
// feeding the window's acquisitionEvent. The first DevicesAtOnce devices are
// created by the constructor, the others from the event loop in slices.
class onlyDisplay : public imageDisplay
{
    Q_OBJECT

public:
    static constexpr int DevicesAtOnce = 16;
    // A slice creates at most this many devices and stops after SliceMs.
    static constexpr int DevicesPerSlice = 16;
    static constexpr int SliceMs = 50;

    // `referenceHeaderFile` is handed to every device (RTP devices read it at
    // each connect).
    explicit onlyDisplay(
        const QString& configPath,
        const QString& referenceHeaderFile = QString::fromLatin1(DefaultReferenceHeaderFile),
        QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~onlyDisplay() override;

    // The devices of the configuration, also those not created yet.
    int deviceGroups() const { return m_deviceGroups; }

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // Creates up to `count` further devices, for at most `budgetMs` (-1:
    // no time limit), and schedules the next slice when devices are left.
    void createDevices(int count, int budgetMs);
    void createDevice(int n);

    QString m_referenceHeaderFile;
    int m_deviceGroups = 0;
};

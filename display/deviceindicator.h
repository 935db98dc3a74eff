// SPDX-License-Identifier: MIT
#pragma once

#include <QLabel>

class GetStreamImage;

// One device's state in the status bar's permanent area: its name and a
// coloured word ("dev0 receiving 25.0 fps", "dev1 refused"), with the
// address, protocol, frame and byte counts, the last error and the time of
// the last frame in the tool tip. It follows the controller's statusChanged
// signal, which comes a few times a second at most, never per frame.
class DeviceIndicator : public QLabel
{
    Q_OBJECT

public:
    explicit DeviceIndicator(GetStreamImage* device, QWidget* parent = nullptr);

    // The plain text shown, without markup.
    QString stateText() const { return m_text; }

public slots:
    void refresh();

private:
    GetStreamImage* m_device;
    QString m_text;
};

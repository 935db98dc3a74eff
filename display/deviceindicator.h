// SPDX-License-Identifier: MIT
#pragma once

#include <QLabel>

class GetStreamImage;

// One device's state in the status bar's permanent area: its name and a
// coloured dot, with the state spelt out unless frames arrive ("dev0 ●",
// "dev1 ● refused"); the tool tip holds the state with the frame rate, the
// address, protocol, frame and byte counts, the last error and the time of
// the last frame. It follows the controller's statusChanged
// signal, which comes a few times a second at most, never per frame.
class DeviceIndicator : public QLabel
{
    Q_OBJECT

public:
    explicit DeviceIndicator(GetStreamImage* device, QWidget* parent = nullptr);

    // The device's name and full state ("dev0 receiving 25.0 fps"), also
    // when the label shows only the dot.
    QString stateText() const { return m_text; }
    // Compact: the name and the dot only, whatever the state, for a status
    // bar without room for the words; the tool tip keeps them.
    void setCompact(bool compact);
    bool isCompact() const { return m_compact; }
    // The label's width as it would be spelt out, whichever form it shows.
    int fullWidth() const;

public slots:
    void refresh();

private:
    GetStreamImage* m_device;
    QString m_text;
    QString m_word; // the state as the label spells it out; empty while receiving
    bool m_compact = false;
};

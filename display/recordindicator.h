// SPDX-License-Identifier: MIT
#pragma once

#include <QLabel>
#include <QTimer>

class FrameRecorder;

// The recording's state in the status bar's permanent area: "REC" with the
// frames and bytes written and any frames left out of the recording
// ("REC 250 frames 12.3 MB, 4 dropped"), refreshed a few times a second
// while recording. Once the recording ended by itself it reads "REC stopped"
// with the reason in the tool tip; otherwise it is hidden while not
// recording.
class RecordIndicator : public QLabel
{
    Q_OBJECT

public:
    static constexpr int RefreshIntervalMs = 250;

    explicit RecordIndicator(const FrameRecorder* recorder, QWidget* parent = nullptr);

    // The label's text for the given figures.
    static QString text(qint64 frames, qint64 bytes, qint64 dropped);

public slots:
    void refresh();

private:
    const FrameRecorder* m_recorder;
    QTimer m_timer;
};

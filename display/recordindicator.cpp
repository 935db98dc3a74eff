// SPDX-License-Identifier: MIT
#include "recordindicator.h"

#include "framerecorder.h"

RecordIndicator::RecordIndicator(const FrameRecorder* recorder, QWidget* parent)
    : QLabel(parent), m_recorder(recorder)
{
    setObjectName(QStringLiteral("recordIndicator"));
    connect(&m_timer, &QTimer::timeout, this, &RecordIndicator::refresh);
    m_timer.start(RefreshIntervalMs);
    refresh();
}

QString RecordIndicator::text(qint64 frames, qint64 bytes, qint64 dropped)
{
    QString t = QStringLiteral("REC %1 frames %2 MB")
                    .arg(frames)
                    .arg(double(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
    if (dropped > 0)
        t += QStringLiteral(", %1 dropped").arg(dropped);
    return t;
}

void RecordIndicator::refresh()
{
    const QString reason = m_recorder->stopReason();
    if (m_recorder->isRecording()) {
        setStyleSheet(QStringLiteral("color: #c62828"));
        setText(text(m_recorder->framesWritten(), m_recorder->bytesWritten(),
                     m_recorder->framesDropped()));
        setToolTip(QStringLiteral("recording into %1").arg(m_recorder->folder()));
        show();
    } else if (!reason.isEmpty()) {
        setStyleSheet(QStringLiteral("color: #c62828"));
        setText(QStringLiteral("REC stopped"));
        setToolTip(QStringLiteral("%1\n%2").arg(reason, text(m_recorder->framesWritten(),
                                                             m_recorder->bytesWritten(),
                                                             m_recorder->framesDropped())));
        show();
    } else {
        hide();
    }
}

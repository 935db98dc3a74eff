// SPDX-License-Identifier: MIT
#include "recordingcontrol.h"

#include "framerecorder.h"
#include "recordindicator.h"
#include "usersettings.h"

#include <QAction>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QStatusBar>

RecordingControl::RecordingControl(FrameRecorder* recorder, QAction* record, QStatusBar* statusBar,
                                   const QString& configPath, QWidget* window)
    : QObject(window), m_recorder(recorder), m_record(record),
      m_indicator(new RecordIndicator(recorder, statusBar)), m_window(window),
      m_configPath(configPath)
{
    statusBar->addPermanentWidget(m_indicator);
    connect(m_record, &QAction::toggled, this, &RecordingControl::toggle);
    // The recorder has told the console why; the writer thread is joined
    // here, and the action shows that nothing is recorded.
    connect(m_recorder, &FrameRecorder::stoppedByItself, this, &RecordingControl::stop,
            Qt::QueuedConnection);
    m_folderDialog = [](QWidget* parent, const QString& proposed) {
        return QFileDialog::getExistingDirectory(parent, QStringLiteral("Record into folder"),
                                                 proposed);
    };
}

QString RecordingControl::defaultFolder() const
{
    const QString configFolder =
        m_configPath.isEmpty() ? QDir::currentPath() : QFileInfo(m_configPath).absolutePath();
    return QDir(configFolder).filePath(QStringLiteral("recordings"));
}

void RecordingControl::toggle(bool on)
{
    if (!on) {
        stop();
        return;
    }
    if (m_recorder->isRecording())
        return;
    if (m_base.isEmpty()) {
        // The per-user settings, never the INI file the devices come from;
        // without a usable settings file the folder is asked for anew.
        const std::unique_ptr<QSettings> user = usersettings::open();
        const QString proposed =
            user ? user->value(QLatin1String(FolderKey), defaultFolder()).toString()
                 : defaultFolder();
        const QString chosen = m_folderDialog(m_window, proposed);
        if (chosen.isEmpty()) {
            showRecording(false);
            return;
        }
        if (user)
            user->setValue(QLatin1String(FolderKey), chosen);
        m_base = chosen;
    }
    start(m_base);
}

bool RecordingControl::start(const QString& baseFolder)
{
    // A folder of its own, also for a second session within one second.
    const QString folder =
        FrameRecorder::newSessionFolder(baseFolder, QDateTime::currentDateTime());
    QString error;
    const bool started = m_recorder->start(folder, &error);
    m_summaryDue = started;
    if (started)
        qInfo().noquote() << QStringLiteral("Recording into %1").arg(folder);
    else
        qWarning().noquote() << QStringLiteral("Recording not started: %1").arg(error);
    // A base folder that cannot be used is asked for again at the next
    // start, instead of failing the same way at every one.
    m_base = started ? baseFolder : QString();
    showRecording(started);
    return started;
}

void RecordingControl::stop()
{
    end();
    showRecording(false);
}

void RecordingControl::end()
{
    m_recorder->stop();
    // Once per recording, however it ended: the action, the size limit, a
    // write error, or the window closing (also on SIGINT or SIGTERM).
    if (!m_summaryDue)
        return;
    m_summaryDue = false;
    qInfo().noquote() << QStringLiteral("Recording ended: %1 frames, %2 bytes, %3 dropped, in %4")
                             .arg(m_recorder->framesWritten())
                             .arg(m_recorder->bytesWritten())
                             .arg(m_recorder->framesDropped())
                             .arg(m_recorder->folder());
}

void RecordingControl::showRecording(bool on)
{
    const QSignalBlocker blocker(m_record);
    m_record->setChecked(on);
    m_indicator->refresh();
}

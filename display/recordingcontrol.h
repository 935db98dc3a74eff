// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class FrameRecorder;
class QAction;
class QStatusBar;
class QWidget;
class RecordIndicator;

// The dialog that picks the folder recordings go to, behind a seam so that
// tests need no nested event loop. Returns the folder, or an empty name when
// the user cancelled.
using RecordFolderDialog = std::function<QString(QWidget* parent, const QString& proposed)>;

// File > Record: starts and stops the window's recorder. Each session goes
// to a folder named after its start time inside the base folder, which is
// asked for once per run (proposed: the last one used, else recordings/
// beside the configuration file) and remembered in the per-user settings.
// Keeps the action's check mark and the REC indicator in step, and prints
// each recording's summary line once, however it ends.
class RecordingControl : public QObject
{
    Q_OBJECT

public:
    // The per-user settings key of the base folder last chosen.
    static constexpr const char* FolderKey = "recordFolder";

    // `record` is the menu action; the REC indicator is added to
    // `statusBar`; `window` parents the folder dialog and owns this object.
    RecordingControl(FrameRecorder* recorder, QAction* record, QStatusBar* statusBar,
                     const QString& configPath, QWidget* window);

    void setFolderDialog(RecordFolderDialog dialog) { m_folderDialog = std::move(dialog); }
    // Starts a session inside `baseFolder` at once; false after a message
    // on the console when the folder cannot be made.
    bool start(const QString& baseFolder);
    void stop();
    // Stops the recorder and prints the summary line of a recording that
    // has none yet. The window calls it last when it closes.
    void end();
    // The base folder proposed before any was chosen.
    QString defaultFolder() const;

private:
    // The action toggled: asks for the folder the first time, then starts
    // or stops the session.
    void toggle(bool on);
    // Shows, in the action and the indicator, whether a session runs.
    void showRecording(bool on);

    FrameRecorder* m_recorder;
    QAction* m_record;
    RecordIndicator* m_indicator;
    QWidget* m_window;
    // The configuration path as given, made absolute.
    QString m_configPath;
    RecordFolderDialog m_folderDialog;
    QString m_base;
    // A recording was started and its summary line is not printed yet.
    bool m_summaryDue = false;
};

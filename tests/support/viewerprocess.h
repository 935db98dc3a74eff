// SPDX-License-Identifier: MIT
// The framescope executable as a process under test: on the offscreen
// platform, in a working folder that also holds its per-user settings (where
// the window keeps its layout) instead of the user's own.
#pragma once

#include <QProcess>
#include <QString>

#include <csignal>

class ViewerProcess
{
public:
    explicit ViewerProcess(QProcess::ProcessChannelMode channels = QProcess::MergedChannels);
    // Kills the viewer if it is still running.
    ~ViewerProcess();
    ViewerProcess(const ViewerProcess&) = delete;
    ViewerProcess& operator=(const ViewerProcess&) = delete;

    // Starts `program` with the configuration `ini`; false when it did not
    // start within 10 s.
    bool start(const QString& program, const QString& ini, const QString& workDir);
    bool running() const { return m_process.state() == QProcess::Running; }
    // Sends `signal` (SIGTERM: as a desktop session ending the program
    // would), waits up to 10 s and returns the exit code; -1 when the viewer
    // crashed or is still running.
    int stop(int signal = SIGTERM);
    // Everything it printed so far (merged channels only).
    QByteArray output();

private:
    QProcess m_process;
    QByteArray m_output;
};

// SPDX-License-Identifier: MIT
#include "viewerprocess.h"

#include <QProcessEnvironment>

#include <sys/types.h>

ViewerProcess::ViewerProcess(QProcess::ProcessChannelMode channels)
{
    m_process.setProcessChannelMode(channels);
}

ViewerProcess::~ViewerProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool ViewerProcess::start(const QString& program, const QString& ini, const QString& workDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), workDir + QStringLiteral("/config"));
    m_process.setProcessEnvironment(env);
    m_process.setWorkingDirectory(workDir);
    m_process.start(program, {ini});
    return m_process.waitForStarted(10000);
}

int ViewerProcess::stop(int signal)
{
    if (m_process.state() == QProcess::Running && ::kill(pid_t(m_process.processId()), signal) != 0)
        return -1;
    if (!m_process.waitForFinished(10000))
        return -1;
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QByteArray ViewerProcess::output()
{
    return m_output += m_process.readAll();
}

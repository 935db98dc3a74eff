// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

// framescope's command line: [--help | -h | --version] [--record DIR]
// [CONFIG.ini]. It is
// read before the application object exists, so that --help and --version
// answer without a display and a mistyped option is reported instead of
// being taken for a configuration path.
class CommandLine
{
public:
    enum class Action
    {
        Run,         // open the window with configPath()
        ShowHelp,    // print usage() on stdout, exit 0
        ShowVersion, // print version() on stdout, exit 0
        BadUsage,    // print error() and usage() on stderr, exit 2
    };
    static constexpr int ExitBadUsage = 2;

    // `arguments` starts with the program name, as argv does.
    explicit CommandLine(const QStringList& arguments);
    CommandLine(int argc, char** argv);

    Action action() const { return m_action; }
    // The first argument that is not an option, or DefaultConfigFile; the
    // window is opened with it.
    QString configPath() const { return m_configPath; }
    // --record DIR: recording starts at once into a session folder inside
    // DIR; empty without the option.
    QString recordFolder() const { return m_recordFolder; }
    // For BadUsage: one line naming the argument that was not understood.
    QString error() const { return m_error; }

    // What to print for every action but Run, and where.
    QString message() const;
    bool messageToStderr() const { return m_action == Action::BadUsage; }
    int exitCode() const { return m_action == Action::BadUsage ? ExitBadUsage : 0; }

    static QString usage();
    // The Options section of usage(), from the options the parser knows.
    static QString optionsHelp();
    // "framescope 0.1 (git 14ffb6f)\n"
    static QString version();

private:
    Action m_action = Action::Run;
    QString m_configPath;
    QString m_error;
    QString m_recordFolder;
};

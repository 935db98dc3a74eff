// SPDX-License-Identifier: MIT
#pragma once

#include "expectation.h"

#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// framescope's command line: [--help | -h | --version] [--record DIR]
// [--stats FILE.csv] [--measure SECONDS [--json FILE] [--expect T]...]
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
    // --stats FILE.csv: every record written from the start; empty without.
    QString statsFile() const { return m_statsFile; }
    // --measure SECONDS: run headless for that long; 0 without the option.
    double measureSeconds() const { return m_measureSeconds; }
    bool measure() const { return m_measureSeconds > 0.0; }
    // --json FILE, with --measure.
    QString jsonFile() const { return m_jsonFile; }
    // Every --expect threshold, with --measure.
    const QList<Expectation>& expectations() const { return m_expectations; }
    // A day.
    static constexpr int MaxMeasureSeconds = 86400;

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
    QString m_statsFile;
    QString m_jsonFile;
    double m_measureSeconds = 0.0;
    QList<Expectation> m_expectations;

    void readMeasureOptions(const QCommandLineParser& parser, const QStringList& arguments);
};

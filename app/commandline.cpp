// SPDX-License-Identifier: MIT
#include "commandline.h"

#include "configfilepath.h"
#include "configkeys.h"
#include "framescopeversion.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

#include <optional>

namespace {

// The options, declared once: the parser reads them and usage() lists them.
struct Option
{
    QStringList names;
    const char* valueName; // nullptr for a flag
    const char* help;
};

const QList<Option>& options()
{
    static const QList<Option> list{
        {{QStringLiteral("h"), QStringLiteral("help")}, nullptr, "Show this text and exit."},
        {{QStringLiteral("version")}, nullptr, "Show the version and exit."},
        {{QStringLiteral("record")},
         "DIR",
         "Record every frame the devices deliver from the start, into a folder named after the "
         "start time inside DIR (as File > Record does; Ctrl+R stops it)."},
        {{QStringLiteral("stats")},
         "FILE.csv",
         "Write every device's per-frame records (frames and connection events) to FILE.csv "
         "from the start, as File > Export Statistics does once."},
        {{QStringLiteral("measure")},
         "SECONDS",
         "Run without a window or display: receive and decode every device's frames for "
         "SECONDS (SIGINT or SIGTERM ends it sooner), then print a summary per device."},
        {{QStringLiteral("json")}, "FILE", "With --measure: write the summary as JSON to FILE."},
        {{QStringLiteral("expect")},
         "KEY OP VALUE",
         "With --measure: a threshold every device must meet, such as fps>=24.5, loss<=0.1%, "
         "delay_p99<=40ms, period_p99<=45ms, frames>=1000 or corrupt==0; repeat the option or "
         "separate thresholds with commas. A failed threshold or device exits with 1."},
    };
    return list;
}

// How an option is written on the command line: -h, --help.
QString spelling(const QString& name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

bool takesValue(const QString& arg)
{
    for (const Option& option : options()) {
        for (const QString& name : option.names) {
            if (option.valueName != nullptr && arg == spelling(name))
                return true;
        }
    }
    return false;
}

bool isDeclared(const QString& arg)
{
    for (const Option& option : options()) {
        for (const QString& name : option.names) {
            if (arg == spelling(name))
                return true;
        }
    }
    return false;
}

// The first argument that looks like an option and is none of ours. Qt's
// own options (-platform, -style, ...) are refused as well: the environment
// (QT_QPA_PLATFORM, QT_STYLE_OVERRIDE) sets them. A lone "-" and "--" are
// refused too, rather than taken for a path or the end of the options.
QString firstRefused(const QStringList& arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments.at(i);
        if (takesValue(arg)) {
            ++i; // its value, even when it starts with '-'
            continue;
        }
        if (arg.startsWith(QLatin1Char('-')) && !isDeclared(arg))
            return arg;
    }
    return {};
}

} // namespace

CommandLine::CommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const Option& option : options()) {
        parser.addOption(
            option.valueName == nullptr
                ? QCommandLineOption(option.names)
                : QCommandLineOption(option.names, QString(), QLatin1String(option.valueName)));
    }
    // Unknown options are reported below in the viewer's own words; the
    // parser still finds the values and positional arguments around them.
    parser.parse(arguments);

    const QString refused = firstRefused(arguments);
    if (!refused.isEmpty())
        m_error = QStringLiteral("unknown option '%1'").arg(refused);
    if (arguments.contains(QLatin1String("--record"))) {
        m_recordFolder = parser.value(QStringLiteral("record"));
        if (m_recordFolder.isEmpty() && m_error.isEmpty())
            m_error = QStringLiteral("option '--record' needs a folder");
    }
    readMeasureOptions(parser, arguments);
    // A bad option wins over --help and --version, so that a script's typo
    // is noticed rather than answered with exit code 0.
    if (!m_error.isEmpty())
        m_action = Action::BadUsage;
    else if (parser.isSet(QStringLiteral("help")))
        m_action = Action::ShowHelp;
    else if (parser.isSet(QStringLiteral("version")))
        m_action = Action::ShowVersion;

    // The first positional argument is the configuration, taken as given
    // (even when empty, as configFilePath() does); further ones are ignored.
    QStringList positional = parser.positionalArguments();
    positional.removeAll(QStringLiteral("-"));
    m_configPath =
        positional.isEmpty() ? QString::fromLatin1(DefaultConfigFile) : positional.first();
}

void CommandLine::readMeasureOptions(const QCommandLineParser& parser, const QStringList& arguments)
{
    auto fail = [this](const QString& error) {
        if (m_error.isEmpty())
            m_error = error;
    };
    for (const char* name : {"stats", "measure", "json", "expect"}) {
        if (arguments.contains(QStringLiteral("--") + QLatin1String(name))
            && parser.value(QLatin1String(name)).isEmpty())
            fail(QStringLiteral("option '--%1' needs a value").arg(QLatin1String(name)));
    }
    m_statsFile = parser.value(QStringLiteral("stats"));
    m_jsonFile = parser.value(QStringLiteral("json"));
    if (parser.isSet(QStringLiteral("measure"))) {
        const QString text = parser.value(QStringLiteral("measure"));
        bool ok = false;
        const double seconds = text.toDouble(&ok);
        if (!ok || !(seconds > 0.0) || seconds > MaxMeasureSeconds)
            fail(QStringLiteral("--measure '%1' is not a number of seconds above 0 and up to %2")
                     .arg(text)
                     .arg(MaxMeasureSeconds));
        else
            m_measureSeconds = seconds;
    }
    for (const QString& value : parser.values(QStringLiteral("expect"))) {
        for (const QString& text : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            QString error;
            if (std::optional<Expectation> e = Expectation::parse(text, &error))
                m_expectations.append(*e);
            else
                fail(error);
        }
    }
    if (m_measureSeconds <= 0.0
        && (parser.isSet(QStringLiteral("json")) || parser.isSet(QStringLiteral("expect"))))
        fail(QStringLiteral("options '--json' and '--expect' need '--measure SECONDS'"));
}

CommandLine::CommandLine(int argc, char** argv)
    : CommandLine([argc, argv] {
          QStringList arguments;
          for (int i = 0; i < argc; ++i)
              arguments.append(QString::fromLocal8Bit(argv[i]));
          return arguments;
      }())
{
}

QString CommandLine::message() const
{
    switch (m_action) {
    case Action::Run:
        break;
    case Action::ShowHelp:
        return usage();
    case Action::ShowVersion:
        return version();
    case Action::BadUsage:
        return QStringLiteral("framescope: %1\n\n").arg(m_error) + usage();
    }
    return {};
}

QString CommandLine::version()
{
    return QStringLiteral("framescope " FRAMESCOPE_VERSION_TEXT "\n");
}

QString CommandLine::optionsHelp()
{
    constexpr int HelpColumn = 15;
    constexpr int Width = 79;
    QStringList lines{QStringLiteral("Options:")};
    for (const Option& option : options()) {
        QStringList spelt;
        for (const QString& name : option.names)
            spelt << spelling(name);
        QString line = QStringLiteral("  ") + spelt.join(QStringLiteral(", "));
        if (option.valueName != nullptr)
            line += QLatin1Char(' ') + QLatin1String(option.valueName);
        // The help starts in its column and is folded at word boundaries.
        for (const QString& word : QString::fromLatin1(option.help).split(QLatin1Char(' '))) {
            if (line.size() >= HelpColumn && line.size() + 1 + word.size() > Width) {
                lines << line;
                line.clear();
            }
            line = line.size() < HelpColumn ? line.leftJustified(HelpColumn, QLatin1Char(' '))
                                            : line + QLatin1Char(' ');
            line += word;
        }
        lines << line;
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString CommandLine::usage()
{
    return QStringLiteral(R"(Usage: framescope [--record DIR] [--stats FILE.csv] [CONFIG.ini]
       framescope --measure SECONDS [--json FILE] [--expect KEY OP VALUE ...]
                  [--stats FILE.csv] [CONFIG.ini]
       framescope --help | --version

Shows the newest frame of the camera devices that CONFIG.ini lists, received
over TCP or UDP (multipart stream) or RTP (RFC 2435 JPEG). Without an
argument the file is tcp_streaming.ini in the current directory; a missing
file opens the window without devices. Further arguments are ignored. A
configuration path that begins with '-' is written ./-name.ini.

%1
%2
Files:
  title.txt, favicon.png        Window title and icon, beside the executable
                                or in ~/.config/framescope.
  reference.jpg                 RTP/JPEG header, in the current directory;
                                optional: without it the header is built
                                from the packets.

Exit status:
  0  the window was closed, or SIGINT, SIGTERM or SIGHUP arrived; --help,
     --version; --measure: every device connected and met every threshold
  1  --measure: a threshold failed, or a device never connected
  2  an unknown option, or an --expect with an unknown key, operator or unit
  128+N  a second signal N while the window was shutting down

See framescope(1) and README.md in the documentation folder
(/usr/share/doc/framescope when installed from the package).
)")
        .arg(optionsHelp(), configKeysHelp());
}

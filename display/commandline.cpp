// SPDX-License-Identifier: MIT
#include "commandline.h"

#include "configfilepath.h"
#include "configkeys.h"
#include "framescopeversion.h"

CommandLine::CommandLine(const QStringList& arguments)
{
    bool help = false;
    bool version = false;
    bool havePath = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments.at(i);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            help = true;
        } else if (arg == QLatin1String("--version")) {
            version = true;
        } else if (arg == QLatin1String("--record")) {
            // The next argument is the folder, even when it starts with '-'.
            const QString folder = i + 1 < arguments.size() ? arguments.at(++i) : QString();
            if (!folder.isEmpty())
                m_recordFolder = folder;
            else if (m_error.isEmpty())
                m_error = QStringLiteral("option '--record' needs a folder");
        } else if (arg.startsWith(QLatin1Char('-'))) {
            // Qt's own options (-platform, -style, ...) are refused as well:
            // the environment (QT_QPA_PLATFORM, QT_STYLE_OVERRIDE) sets them.
            // Only the first unknown option is named.
            if (m_error.isEmpty())
                m_error = QStringLiteral("unknown option '%1'").arg(arg);
        } else if (!havePath) {
            // Taken as given, even when empty, as configFilePath() does.
            m_configPath = arg;
            havePath = true;
        }
    }
    // A bad option wins over --help and --version, so that a script's typo
    // is noticed rather than answered with exit code 0.
    if (!m_error.isEmpty())
        m_action = Action::BadUsage;
    else if (help)
        m_action = Action::ShowHelp;
    else if (version)
        m_action = Action::ShowVersion;
    if (!havePath)
        m_configPath = QString::fromLatin1(DefaultConfigFile);
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

QString CommandLine::usage()
{
    return QStringLiteral(R"(Usage: framescope [--record DIR] [CONFIG.ini]
       framescope --help | --version

Shows the newest frame of the camera devices that CONFIG.ini lists, received
over TCP or UDP (multipart stream) or RTP (RFC 2435 JPEG). Without an
argument the file is tcp_streaming.ini in the current directory; a missing
file opens the window without devices. Further arguments are ignored. A
configuration path that begins with '-' is written ./-name.ini.

Options:
  -h, --help   Show this text and exit.
  --version    Show the version and exit.
  --record DIR Record every frame the devices deliver from the start, into
               a folder named after the start time inside DIR (as File >
               Record does; Ctrl+R stops it).

%1
Files:
  title.txt, favicon.png        Window title and icon, beside the executable
                                or in ~/.config/framescope.
  reference.jpg                 RTP/JPEG header, in the current directory;
                                optional: without it the header is built
                                from the packets.

Exit status:
  0  the window was closed, or SIGINT, SIGTERM or SIGHUP arrived; --help,
     --version
  2  an unknown option
  128+N  a second signal N while the window was shutting down

See framescope(1) and README.md in the documentation folder
(/usr/share/doc/framescope when installed from the package).
)")
        .arg(configKeysHelp());
}

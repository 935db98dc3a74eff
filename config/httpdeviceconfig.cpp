// SPDX-License-Identifier: MIT
#include "devicereader.h"
#include "regularfile.h"

#include <optional>

namespace {

// The first line of a password file, without its line end.
std::optional<QString> readPasswordFile(const QString& path, QString* error)
{
    const std::optional<QByteArray> file =
        readRegularFile(path, DeviceConfig::MaxPasswordBytes, error);
    if (!file)
        return std::nullopt;
    QByteArray line = file->left(file->indexOf('\n') < 0 ? file->size() : file->indexOf('\n'));
    if (line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

void readPassword(const DeviceReader& r, DeviceConfig* d)
{
    d->password = r.text("password");
    const QString path = r.text("password_file");
    if (path.isEmpty())
        return;
    QString error;
    if (const std::optional<QString> password = readPasswordFile(path, &error))
        d->password = *password;
    else
        r.warn(QStringLiteral("password_file"), path,
               r.shortName()
                   + QStringLiteral("password_file \"%1\" cannot be read (%2); %3")
                         .arg(path, error,
                              d->password.isEmpty() ? QStringLiteral("no password is sent")
                                                    : QStringLiteral("password is used")));
}

// The keys of an RTSP camera: its URL, the credentials and how RTP arrives.
void readRtsp(const DeviceReader& r, DeviceConfig* d)
{
    for (const char* key : {"poll_ms", "tls_verify"}) {
        if (r.contains(key))
            r.warn(QLatin1String(key), QString(),
                   r.shortName()
                       + QStringLiteral("%1 is used with protocol=HTTP only; ignored")
                             .arg(QLatin1String(key)));
    }
    d->url = r.text("url").trimmed();
    if (d->url.isEmpty())
        r.warn(QStringLiteral("url"), QString(),
               r.shortName()
                   + QStringLiteral("protocol=RTSP needs url=rtsp://HOST[:PORT]/PATH; the device "
                                    "is not connected"));
    else if (!d->url.startsWith(QLatin1String("rtsp://"), Qt::CaseInsensitive))
        r.warn(QStringLiteral("url"), d->displayUrl(),
               r.shortName()
                   + QStringLiteral("url \"%1\" does not start with rtsp://; the device is not "
                                    "connected")
                         .arg(d->displayUrl()));
    d->user = r.text("user");
    readPassword(r, d);
    const QString lower = r.text("rtsp_transport").trimmed().toLower();
    if (lower == QLatin1String("udp"))
        d->rtspTransport = DeviceConfig::RtspLower::Udp;
    else if (lower == QLatin1String("tcp"))
        d->rtspTransport = DeviceConfig::RtspLower::Tcp;
    else if (r.contains("rtsp_transport") && lower != QLatin1String("auto"))
        r.warn(QStringLiteral("rtsp_transport"), r.text("rtsp_transport"),
               r.shortName()
                   + QStringLiteral("rtsp_transport=\"%1\" is not udp, tcp or auto; auto is used")
                         .arg(r.text("rtsp_transport")));
}

} // namespace

// The keys of a camera on the web (HTTP or RTSP); in a group of another
// protocol they are named as having no effect. No warning ever holds a
// password.
void readHttp(const DeviceReader& r, DeviceConfig* d)
{
    static const char* const HttpKeys[] = {"url",           "user",    "password",
                                           "password_file", "poll_ms", "tls_verify"};
    if (d->protocol == DeviceProtocol::Rtsp) {
        readRtsp(r, d);
        return;
    }
    if (r.contains("rtsp_transport"))
        r.warn(QStringLiteral("rtsp_transport"), QString(),
               r.shortName()
                   + QStringLiteral("rtsp_transport is used with protocol=RTSP only; ignored"));
    if (d->protocol != DeviceProtocol::Http) {
        for (const char* key : HttpKeys) {
            if (r.contains(key))
                r.warn(QLatin1String(key), QString(),
                       r.shortName()
                           + QStringLiteral("%1 is used with protocol=HTTP only; ignored")
                                 .arg(QLatin1String(key)));
        }
        return;
    }
    d->url = r.text("url").trimmed();
    const QString lower = d->url.toLower();
    if (d->url.isEmpty())
        r.warn(QStringLiteral("url"), QString(),
               r.shortName()
                   + QStringLiteral("protocol=HTTP needs url=http://HOST[:PORT]/PATH; the device "
                                    "is not connected"));
    else if (!lower.startsWith(QLatin1String("http://"))
             && !lower.startsWith(QLatin1String("https://")))
        r.warn(QStringLiteral("url"), d->displayUrl(),
               r.shortName()
                   + QStringLiteral("url \"%1\" does not start with http:// or https://; the "
                                    "device is not connected")
                         .arg(d->displayUrl()));
    d->user = r.text("user");
    readPassword(r, d);

    const QString poll = r.text("poll_ms");
    if (r.contains("poll_ms")) {
        bool ok = false;
        const int ms = poll.trimmed().toInt(&ok);
        if (ok && ms >= 0 && ms <= DeviceConfig::MaxPollMs)
            d->pollMs = ms;
        else
            r.warn(QStringLiteral("poll_ms"), poll,
                   r.shortName()
                       + QStringLiteral("poll_ms=\"%1\" is not a number of milliseconds from 0 "
                                        "to %2; the URL is read as a stream")
                             .arg(poll)
                             .arg(DeviceConfig::MaxPollMs));
    }

    const QString verify = r.text("tls_verify").trimmed();
    if (verify == QLatin1String("0")) {
        d->tlsVerify = false;
        r.warn(QStringLiteral("tls_verify"), verify,
               r.shortName()
                   + QStringLiteral("tls_verify=0: the server's certificate is not verified, so "
                                    "anyone on the way can pose as the camera"));
    } else if (r.contains("tls_verify") && verify != QLatin1String("1")) {
        r.warn(QStringLiteral("tls_verify"), verify,
               r.shortName()
                   + QStringLiteral("tls_verify=\"%1\" is neither 0 nor 1; certificates are "
                                    "verified")
                         .arg(verify));
    }
}

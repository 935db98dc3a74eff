// SPDX-License-Identifier: MIT
#include "configkeys.h"

#include "deviceconfig.h"

#include <QStringList>

#include <array>

namespace {

constexpr std::array<ConfigKey, 29> Keys{{
    {KeyScope::General, "no_statusbar", "N", "0", "A nonzero number hides the status bar."},
    {KeyScope::General, "view", "tiles|newest", "newest",
     "The view at start-up; outranks the view kept from the last run."},
    {KeyScope::General, "record_max_mb", "N", "4096", "Size in MiB at which a recording ends."},
    {KeyScope::General, "history_mb", "N", "256",
     "MiB of received frames kept for stepping back while paused, shared out evenly among "
     "the devices."},
    {KeyScope::General, "decode_threads", "N", "0",
     "Threads decoding the frames of all devices, at most 64; 0: one per core."},
    {KeyScope::General, "statistics", "0|1", nullptr,
     "1 opens View > Statistics at start-up, 0 closes it; outranks the kept layout."},
    {KeyScope::General, "stats_seconds", "N", "600",
     "Seconds of per-frame records kept per device for statistics and export."},
    {KeyScope::Device, "host", "ADDRESS", nullptr,
     "TCP: the device; UDP, RTP: the local address, or a multicast group "
     "(224.0.0.0 to 239.255.255.255) to join. A dotted IPv4 address or a host name. Its "
     "presence makes the group a device."},
    {KeyScope::Device, "port", "N", nullptr,
     "TCP: the device's port; UDP, RTP: the local port; 1-65535."},
    {KeyScope::Device, "protocol", "TCP|UDP|RTP|HTTP|RTSP", "TCP",
     "Any case. HTTP: an MJPEG stream or snapshot URL (url); RTSP: an RTSP camera (url); "
     "without the key, a group with url is RTSP for an rtsp:// URL, else HTTP."},
    {KeyScope::Device, "encoding", "jpeg|h264", "jpeg",
     "RTP: what the packets carry, JPEG (RFC 2435) or H.264 (RFC 6184); H.264 frames are "
     "delivered as access units of type video/h264."},
    {KeyScope::Device, "url", "http[s]|rtsp://HOST[:PORT]/PATH", nullptr,
     "HTTP: the camera's MJPEG stream or snapshot; RTSP: the camera's stream (port 554 by "
     "default). Its presence also makes the group a device."},
    {KeyScope::Device, "user", "NAME", nullptr,
     "HTTP, RTSP: user name for Basic or Digest authentication, as the camera asks."},
    {KeyScope::Device, "password", "TEXT", nullptr, "HTTP, RTSP: the user's password."},
    {KeyScope::Device, "password_file", "PATH", nullptr,
     "HTTP, RTSP: the password is the first line of this file; outranks password."},
    {KeyScope::Device, "rtsp_transport", "udp|tcp|auto", "auto",
     "RTSP: RTP over UDP, interleaved in the RTSP connection (tcp), or UDP falling back to "
     "tcp when no RTP arrives within 2 s."},
    {KeyScope::Device, "poll_ms", "N", "0",
     "HTTP: fetch a snapshot URL every N ms on a kept-alive connection; 0: the URL is a "
     "stream."},
    {KeyScope::Device, "tls_verify", "0|1", "1",
     "HTTPS: 0 accepts any server certificate (a warning says so)."},
    {KeyScope::Device, "sizeX", "W", "1280", "Width of raw gray frames."},
    {KeyScope::Device, "sizeY", "H", "960",
     "Height of raw gray frames; sizeX x sizeY + 1024 bytes is the transfer "
     "buffer, at most 64 Mi pixels."},
    {KeyScope::Device, "logfile", "PATH", nullptr,
     "Device log (none without the key): connection events, frames not shown, RTP lines; the last "
     "device's log also gets the frame period histogram."},
    {KeyScope::Device, "log_max_mb", "N", "256",
     "Size in MiB at which the log is renamed to PATH.1 and started afresh."},
    {KeyScope::Device, "max_pixels", "N", "33177600",
     "Largest picture (width x height) a frame may declare; larger frames "
     "are not decoded."},
    {KeyScope::Device, "quiet_ms", "N", "1000 (TCP, HTTP), 10000 (RTSP), 60000 (UDP, RTP)",
     "Silence in ms after which the connection is given up and made again."},
    {KeyScope::Device, "source", "ADDR[:PORT]", nullptr,
     "UDP, RTP: the only sender whose datagrams are shown; without it, the "
     "sender the stream first synchronises with."},
    {KeyScope::Device, "interface", "ADDRESS|NAME", nullptr,
     "UDP, RTP with a multicast host, RTSP from a multicast-only server: the interface the "
     "group is joined on, by its IPv4 address or name (eth0); without it, the one the system "
     "routes the group through."},
    {KeyScope::Device, "contentoverwrite", "TYPE", nullptr,
     "image/jpeg, video/x-raw-gray or video/x-raw-gray16, taken for every frame."},
    {KeyScope::Device, "pixel_order", "little|big", "little",
     "Byte order of video/x-raw-gray16 pixels. This key, levels or "
     "contentoverwrite=video/x-raw-gray16 make the transfer buffer 2 x sizeX x sizeY + 1024 "
     "bytes."},
    {KeyScope::Device, "levels", "auto|LOW,HIGH", "auto",
     "video/x-raw-gray16: the raw values shown from black to white; auto: the 0.1 % and "
     "99.9 % points of each frame."},
}};

// Adds `text` folded at word boundaries into lines of at most `width`
// characters, each after `indent` (the first after what `lines` ends with).
void fold(QStringList* lines, const QString& text, int indent, int width)
{
    QString line = lines->isEmpty() ? QString() : lines->takeLast();
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (line.size() > indent && line.size() + 1 + word.size() > width) {
            lines->append(line);
            line = QString(indent, QLatin1Char(' '));
        }
        if (line.size() < indent)
            line = line.leftJustified(indent, QLatin1Char(' '));
        else if (!line.endsWith(QLatin1Char(' ')))
            line += QLatin1Char(' ');
        line += word;
    }
    lines->append(line);
}

} // namespace

std::span<const ConfigKey> configKeys()
{
    return Keys;
}

const ConfigKey* findConfigKey(KeyScope scope, const QString& name)
{
    for (const ConfigKey& key : Keys) {
        if (key.scope == scope && name == QLatin1String(key.name))
            return &key;
    }
    return nullptr;
}

QString configKeysHelp()
{
    constexpr int HelpColumn = 30;
    constexpr int Width = 79;
    QStringList lines;
    const auto section = [&](KeyScope scope, const QString& heading) {
        lines.append(heading);
        for (const ConfigKey& key : Keys) {
            if (key.scope != scope)
                continue;
            lines.append(
                QStringLiteral("  %1=%2").arg(QLatin1String(key.name), QLatin1String(key.value)));
            if (lines.last().size() >= HelpColumn - 1)
                lines.append(QString());
            QString text = QLatin1String(key.help);
            if (key.defaultValue != nullptr)
                text += QStringLiteral(" Default: %1.").arg(QLatin1String(key.defaultValue));
            fold(&lines, text, HelpColumn, Width);
        }
    };
    section(KeyScope::General, QStringLiteral("Configuration (INI), top level [General]:"));
    section(
        KeyScope::Device,
        QStringLiteral("Each device, groups [dev0], [dev1], ... up to the first without "
                       "host\nor url (at most %1 devices; the groups beyond are left out with a "
                       "warning):")
            .arg(DeviceConfig::MaxDevices));
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

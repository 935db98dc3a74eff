// SPDX-License-Identifier: MIT
#pragma once

#include "configwarning.h"
#include "graylevels.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

class QSettings;

enum class DeviceProtocol
{
    Tcp,
    Udp,
    Rtp,
    Http,
    Rtsp
};

// What an RTP device's packets carry (`encoding`).
enum class RtpEncoding
{
    Jpeg,
    H264
};

// One device group ([dev0], [dev1], ...) as typed values. Each key is read
// once, here; a value that cannot work gives a warning and what is used
// instead.
struct DeviceConfig
{
    // Spare bytes of the transfer buffer beyond one raw frame.
    static constexpr int TransferSpareBytes = 1024;
    // Largest sizeX x sizeY: no frame larger than 64 MiB is ever assembled.
    static constexpr qint64 MaxFramePixels = 64 * 1024 * 1024;
    static constexpr qint64 DefaultMaxPixels = 33177600;
    // The largest picture a JPEG file can declare.
    static constexpr qint64 MaxPixelsLimit = qint64(65535) * 65535;
    static constexpr int DefaultLogMaxMb = 256;
    static constexpr qint64 MaxLogMaxMb = qint64(1) << 30;
    static constexpr int TcpQuietLimitMs = 1000;
    static constexpr int DatagramQuietLimitMs = 60000;
    // An RTSP session is costly to set up again: it is given up after a
    // longer silence than a TCP stream.
    static constexpr int RtspQuietLimitMs = 10000;
    // At most this many devices are opened: each costs a thread and a
    // socket, and the window shows one indicator per device. Groups beyond
    // it are left out with one warning (leftOutWarning).
    static constexpr int MaxDevices = 1024;

    QString name; // "dev0"
    QString host;
    // As written when it is a number (0 otherwise); portUsable says
    // whether it lies within 1-65535.
    int port = 0;
    bool portUsable = false;
    DeviceProtocol protocol = DeviceProtocol::Tcp;
    RtpEncoding encoding = RtpEncoding::Jpeg;
    // 0 x 0 when the configured size is not usable.
    int sizeX = 1280;
    int sizeY = 960;
    QString logFile;
    qint64 logMaxBytes = qint64(DefaultLogMaxMb) * 1024 * 1024;
    qint64 maxPixels = DefaultMaxPixels;
    int quietMs = 0; // 0: the protocol's default (quietLimitMs())
    QString source;  // empty: the first sender
    // UDP, RTP with a multicast host: the interface the group is joined on
    // (an IPv4 address or a name; empty: the system's choice).
    QString multicastInterface;
    QString contentOverwrite;
    // 16-bit gray (video/x-raw-gray16): whether the device sends it (said
    // by contentoverwrite=video/x-raw-gray16, pixel_order or levels), its
    // byte order and its window/level mapping.
    bool gray16 = false;
    bool bigEndian = false;
    GrayLevels levels;
    // protocol=HTTP and RTSP: the camera's URL, the credentials it may ask for, the
    // snapshot period (0: the URL is a stream) and whether the server's TLS
    // certificate is verified.
    QString url;
    QString user;
    QString password;
    int pollMs = 0;
    bool tlsVerify = true;
    static constexpr int MaxPollMs = 24 * 3600 * 1000;
    // protocol=RTSP: how RTP arrives (rtsp_transport): UDP, interleaved in
    // the RTSP connection, or UDP with a fall-back to TCP.
    enum class RtspLower
    {
        Auto,
        Udp,
        Tcp
    };
    RtspLower rtspTransport = RtspLower::Auto;
    // The longest password file line read.
    static constexpr int MaxPasswordBytes = 1024;

    // Bytes of one raw pixel: 2 for a 16-bit gray device, else 1.
    int bytesPerPixel() const { return gray16 ? 2 : 1; }
    // sizeX x sizeY x bytesPerPixel() + TransferSpareBytes.
    int transferLength() const { return sizeX * sizeY * bytesPerPixel() + TransferSpareBytes; }
    int quietLimitMs() const;
    // `url` as it may be shown and printed: without user:password@.
    QString displayUrl() const { return withoutCredentials(url); }
    static QString withoutCredentials(const QString& url);

    // The group `settings` is positioned in.
    static DeviceConfig read(const QSettings& settings, ConfigWarnings* warnings = nullptr);
    // Every device of the file: dev0, dev1, ... up to the first group
    // without a host or url key; groups after a gap are not looked at. At most
    // MaxDevices; the groups left out are named in one warning.
    static QList<DeviceConfig> readAll(QSettings& settings, ConfigWarnings* warnings = nullptr);
    // How many device groups the file has (dev0, dev1, ... up to the first
    // group without a host or url key), also beyond MaxDevices.
    static int groupCount(QSettings& settings);
    // Whether group devN of the file exists (has a host or url key).
    static bool groupExists(QSettings& settings, int n);
    // The warning naming the groups beyond MaxDevices when the file has
    // `groups` device groups; nothing when none is left out.
    static std::optional<ConfigWarning> leftOutWarning(int groups);
    // The protocol a `protocol` value names: UDP, RTP, HTTP and RTSP in any case,
    // TCP for anything else.
    static DeviceProtocol protocolFromSetting(const QString& value);
};

// SPDX-License-Identifier: MIT
#pragma once

#include "imagegetworker.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>

// What one device is doing, as the window shows it and the device log
// records it: built from the worker's link reports and the frames the
// controller receives. A plain class without timers, so that tests drive it
// with their own clock; the controller feeds it and asks it a few times a
// second. Every method that can change the state returns the log lines (no
// time prefix) that describe the change: one per change, none for a repeat
// of the same failure or of the same silence.
class DeviceStatus
{
public:
    enum class State
    {
        Connecting,
        Connected, // connected or bound, no frame yet
        Receiving, // frames arrive
        NoFrames,  // data arrives but no frame is completed
        Silent,    // connected, but nothing arrives
        Lost,      // the connection ended; a new attempt follows
        Refused,
        Unreachable,
        TimedOut,
        ConnectFailed,
        BindFailed,
        BadAddress,
        SocketFailed,
        Stopped,
        Unauthorized, // HTTP 401: the credentials are missing or wrong
        HttpStatus,   // any other HTTP status but 2xx
        BadContent,   // the URL answers with neither a stream nor a JPEG image
    };

    // A connected device that completes no frame for this long is silent
    // (or, if bytes keep arriving, receives no frames).
    static constexpr std::int64_t SilentAfterMs = 1500;
    // Frames are counted over this window for the frame rate.
    static constexpr std::int64_t RateWindowMs = 2000;

    DeviceStatus(const QString& name, const QString& host, int port,
                 ImageGetWorker::Protocol protocol);
    // The address the details name, for an owner that learns it after
    // constructing the status; "host:port", or "host (port 70000 refused)"
    // for a port outside 1-65535.
    void setAddress(const QString& host, int port);
    // The address of a camera on the web: its URL as it may be shown,
    // without credentials.
    void setUrl(const QString& shownUrl) { m_address = shownUrl; }
    // A snapshot camera fetched every pollMs: silence counts from one
    // period after the last frame.
    void setPollPeriodMs(std::int64_t pollMs) { m_pollMs = pollMs; }

    QStringList linkChanged(ImageGetWorker::LinkState link, const QString& detail,
                            std::int64_t nowMs);
    void frameDelivered(std::int64_t nowMs);
    // Derives receiving, silent and no-frames from the time of the last
    // frame and the bytes received so far.
    QStringList tick(std::int64_t nowMs, std::int64_t bytesReceived);

    State state() const { return m_state; }
    // Datagrams dropped so far because another sender holds the stream.
    void setForeignDatagrams(std::int64_t count) { m_foreignDatagrams = count; }
    // Frames skipped so far because decoding fell behind.
    void setSkippedFrames(std::int64_t count) { m_skippedFrames = count; }
    std::int64_t skippedFrames() const { return m_skippedFrames; }
    bool isFailure() const;
    // One or two words for the indicator: "receiving 25.0 fps", "silent 3 s",
    // "refused", ...
    QString stateText(std::int64_t nowMs) const;
    // address, protocol, frames and bytes, last error, time of the last frame
    QString details(std::int64_t nowMs) const;

    QString name() const { return m_name; }
    QString address() const { return m_address; }
    QString protocolName() const;
    std::int64_t frames() const { return m_frames; }
    std::int64_t bytes() const { return m_bytes; }
    QString lastError() const { return m_lastError; }
    double frameRate(std::int64_t nowMs) const;
    int attempts() const { return m_attempts; }

private:
    QStringList enter(State state, const QString& detail, std::int64_t nowMs);
    // Silent after the quiet limit ended the connection: reconnecting
    // belongs to the same silence.
    bool quietCycle() const { return m_state == State::Silent && m_connectedAt < 0; }
    QString failureLine(State state, const QString& detail) const;
    // Enters Silent; returns `line` unless the silence repeats the last one.
    QStringList enterSilence(const QString& line, const QString& detail, std::int64_t quietSince);

    QString m_name;
    QString m_address;
    ImageGetWorker::Protocol m_protocol;
    State m_state = State::Connecting;
    QString m_detail;
    QString m_lastError;
    int m_attempts = 0;
    std::int64_t m_since = 0;
    std::int64_t m_connectedAt = -1;
    std::int64_t m_lastFrameAt = -1;
    std::int64_t m_frames = 0;
    std::int64_t m_bytes = 0;
    std::int64_t m_lastBytesAt = -1;
    std::int64_t m_framesAtTick = 0; // m_frames at the last tick()
    std::int64_t m_foreignDatagrams = 0;
    std::int64_t m_skippedFrames = 0;
    std::int64_t m_pollMs = 0;
    // Frames delivered since the last silence ended; -1 when there was none
    // since the last connection failure or loss.
    std::int64_t m_framesSinceSilence = -1;
    // Whether the current (or last) silence was logged; its end is only
    // logged if it was.
    bool m_silenceLogged = true;
    // Delivery times within the last RateWindowMs, oldest first.
    std::deque<std::int64_t> m_recentFrames;
};

// SPDX-License-Identifier: MIT
#pragma once

#include "badstream.h"
#include "httpoptions.h"
#include "jpegencoder.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

// Everything the command line of framescope-devicesim decides.
struct SimConfig
{
    enum class Mode
    {
        Tcp,
        Udp,
        Rtp,
        Http
    };
    enum class Content
    {
        Jpeg,
        Gray,
        Gray16
    };

    Mode mode = Mode::Tcp;
    QString host = QStringLiteral("127.0.0.1");
    int port = 5000;
    Content content = Content::Jpeg;
    bool bigEndian = false; // --pixel-order of gray16 frames
    int width = 640;
    int height = 480;
    double fps = 25.0;
    // Frames encoded before the run and sent over and over; 0: every frame
    // is rendered and encoded as it is sent.
    int pregenerate = 0;
    static constexpr int MaxPregenerate = 1000;
    long long count = 0; // frames; 0 = no limit
    // tcp: the first frame (and the --duration clock) waits for a client.
    bool waitClient = false;
    double duration = 0; // seconds; 0 = no limit
    int quality = 80;
    int restartInterval = -1; // -1: 0 for multipart, 60 for RTP types 64 and 65
    simlib::Sampling sampling = simlib::Sampling::YCbCr420;
    bool samplingGiven = false;
    bool timestamps = true;

    int rtpType = 65;
    int q = 255;
    int payloadSize = 1400;
    int datagramSize = 1400;
    std::uint32_t ssrc = 0x46530001;
    int ssrcChangeEvery = 0;
    int firstSequence = 0;
    QString writeReference;

    double lossPercent = 0;
    double reorderPercent = 0;
    double duplicatePercent = 0;
    std::uint32_t seed = 1;

    int pauseEvery = 0;
    int pauseMs = 2000;

    int badEvery = 0;
    QList<simlib::BadPartKind> badPartKinds;
    QList<simlib::BadRtpKind> badRtpKinds;

    // --replay FILE: the frames of a recording at its own pace instead of
    // the test picture; speed 0 sends them as fast as the socket takes them.
    QString replay;
    double speed = 1.0;
    bool loop = false;
    // The longest wait between two frames of a replay, in seconds, whatever
    // the recorded times say.
    double maxGap = 10.0;
    // --h264 FILE: rtp sends the access units of this Annex B file as RTP
    // H.264 at --fps, over and over, instead of the test picture.
    QString h264File;

    // --mode http: paths, framing, account.
    HttpSimOptions http;

    bool quiet = false;
    // --version: print the version and exit, like --help.
    bool versionRequested = false;
};

// Parses the arguments (program name first). On failure returns false with
// a one-line message in `error`; `helpRequested` is set for --help.
bool parseSimConfig(const QStringList& arguments, SimConfig* config, QString* error,
                    bool* helpRequested);

// The --help text, one paragraph per option.
QString simHelpText();

// SPDX-License-Identifier: MIT
#pragma once

#include "imagegetworker.h"
#include "jpegheader.h"
#include "multipartdec.h"

#include <QString>

#include <memory>
#include <optional>
#include <string_view>

class FrameSink;
class protocolDecoder;
struct RtpCounters;

// Makes the stream decoder for one connection: the multipart decoder for
// TCP and UDP, framed as the protocol delivers its bytes, and for RTP the
// RTP/JPEG reassembler or the H.264 depacketizer, the former with the header of the reference file
// read when it is made. The one place where the reference file is read.
class DecoderFactory
{
public:
    // A decoder for `protocol` writing into `sink`. An RTP decoder counts its
    // packets into `counters` too, and `notice` receives why the reference
    // file is not used as the user expects, or an empty text when all is
    // well; for the other protocols `notice` stays empty.
    static std::unique_ptr<protocolDecoder> make(ImageGetWorker::Protocol protocol, FrameSink* sink,
                                                 const QString& referenceFile,
                                                 RtpCounters* counters,
                                                 std::optional<QString>* notice,
                                                 RtpEncoding encoding = RtpEncoding::Jpeg);

    // The RTP H.264 depacketizer writing into `sink`, counting into
    // `counters` (may be null), with the parameter sets of a session
    // description's sprop-parameter-sets value (may be empty).
    static std::unique_ptr<protocolDecoder> makeRtpH264(FrameSink* sink, RtpCounters* counters,
                                                        std::string_view spropParameterSets);

    // The decoder for RTP media of the SDP encoding name `encoding` (upper
    // case) with its fmtp parameters, or nothing when no decoder here shows
    // that encoding. The one place that maps encodings to decoders.
    static std::unique_ptr<protocolDecoder>
    makeRtp(std::string_view encoding, std::string_view fmtp, FrameSink* sink,
            const QString& referenceFile, RtpCounters* counters, std::optional<QString>* notice);

    // How a protocol delivers the multipart stream's bytes.
    static MultipartDec::Framing framing(ImageGetWorker::Protocol protocol);

    // The first bytes of the reference file, as many as the header store
    // holds; nothing, with the reason in `error`, when the file cannot be
    // read or is not a regular file (a FIFO or a device would block the
    // worker or never end).
    static ReferenceHeader readReference(const QString& path, QString* error = nullptr);
};

// SPDX-License-Identifier: MIT
#include "decoderfactory.h"

#include "protocoldecoder.h"
#include "regularfile.h"
#include "rtp2h264.h"
#include "rtp2jpeg.h"

#include <QFileInfo>

#include <algorithm>
#include <cctype>

namespace {

// The value of `name` among an SDP format's parameters
// ("packetization-mode=1; sprop-parameter-sets=Z0IA,aM4"), or nothing.
std::string_view fmtpParameter(std::string_view fmtp, std::string_view name)
{
    constexpr std::string_view Blanks = " \t";
    while (!fmtp.empty()) {
        const std::size_t end = std::min(fmtp.find(';'), fmtp.size());
        std::string_view item = fmtp.substr(0, end);
        fmtp.remove_prefix(std::min(end + 1, fmtp.size()));
        item.remove_prefix(std::min(item.find_first_not_of(Blanks), item.size()));
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos)
            continue;
        std::string_view key = item.substr(0, equals);
        key = key.substr(0, key.find_last_not_of(Blanks) + 1);
        if (key.size() != name.size()
            || !std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == b;
               }))
            continue;
        std::string_view value = item.substr(equals + 1);
        value.remove_prefix(std::min(value.find_first_not_of(Blanks), value.size()));
        return value.substr(0, value.find_last_not_of(Blanks) + 1);
    }
    return {};
}

} // namespace

std::unique_ptr<protocolDecoder> DecoderFactory::make(ImageGetWorker::Protocol protocol,
                                                      FrameSink* sink, const QString& referenceFile,
                                                      RtpCounters* counters,
                                                      std::optional<QString>* notice,
                                                      RtpEncoding encoding)
{
    notice->reset();
    if (protocol != ImageGetWorker::Protocol::Rtp)
        return std::make_unique<MultipartDec>(sink, framing(protocol));
    if (encoding == RtpEncoding::H264)
        return makeRtpH264(sink, counters, {});
    QString error;
    const ReferenceHeader reference = readReference(referenceFile, &error);
    auto decoder = std::make_unique<Rtp2Jpeg>(sink, reference);
    decoder->setDeviceCounters(counters);
    // A reference file that is there but cannot be used is the likeliest
    // reason for broken pictures; say so (an empty notice: all is well).
    if (!reference && QFileInfo::exists(referenceFile)) {
        *notice = QStringLiteral("reference file \"%1\" cannot be used (%2); the built-in JPEG "
                                 "header is used instead")
                      .arg(referenceFile, error);
    } else if (reference && decoder->headerLen() == 0) {
        *notice = QStringLiteral("reference file \"%1\" has no scan header (SOS) within its "
                                 "first %2 bytes; frames are shown without a JPEG header")
                      .arg(referenceFile)
                      .arg(Rtp2Jpeg::HeaderStoreBytes);
    } else {
        *notice = QString();
    }
    return decoder;
}

std::unique_ptr<protocolDecoder> DecoderFactory::makeRtpH264(FrameSink* sink, RtpCounters* counters,
                                                             std::string_view spropParameterSets)
{
    auto decoder = std::make_unique<Rtp2H264>(sink, spropParameterSets);
    decoder->setDeviceCounters(counters);
    return decoder;
}

std::unique_ptr<protocolDecoder> DecoderFactory::makeRtp(std::string_view encoding,
                                                         std::string_view fmtp, FrameSink* sink,
                                                         const QString& referenceFile,
                                                         RtpCounters* counters,
                                                         std::optional<QString>* notice)
{
    notice->reset();
    if (encoding == "JPEG")
        return make(ImageGetWorker::Protocol::Rtp, sink, referenceFile, counters, notice);
    if (encoding == "H264")
        return makeRtpH264(sink, counters, fmtpParameter(fmtp, "sprop-parameter-sets"));
    return nullptr;
}

MultipartDec::Framing DecoderFactory::framing(ImageGetWorker::Protocol protocol)
{
    return protocol == ImageGetWorker::Protocol::Tcp || protocol == ImageGetWorker::Protocol::Http
               ? MultipartDec::Framing::Stream
               : MultipartDec::Framing::Datagrams;
}

ReferenceHeader DecoderFactory::readReference(const QString& path, QString* error)
{
    const std::optional<QByteArray> file = readRegularFile(path, Rtp2Jpeg::HeaderStoreBytes, error);
    if (!file)
        return std::nullopt;
    return std::vector<unsigned char>(file->cbegin(), file->cend());
}

// The decoders know only the FrameSink they fill. These constructors, for
// owners that hold a worker, take what the worker knows: its sink, the
// framing of its protocol and its reference file.
MultipartDec::MultipartDec(ImageGetWorker* worker)
    : MultipartDec(worker, DecoderFactory::framing(worker->protocol()))
{
}

Rtp2Jpeg::Rtp2Jpeg(ImageGetWorker* worker)
    : Rtp2Jpeg(static_cast<FrameSink*>(worker),
               DecoderFactory::readReference(worker->referenceHeaderFile()))
{
}

// SPDX-License-Identifier: MIT
#include "decoderfactory.h"

#include "protocoldecoder.h"
#include "regularfile.h"
#include "rtp2jpeg.h"

#include <QFileInfo>

std::unique_ptr<protocolDecoder> DecoderFactory::make(ImageGetWorker::Protocol protocol,
                                                      FrameSink* sink, const QString& referenceFile,
                                                      RtpCounters* counters,
                                                      std::optional<QString>* notice)
{
    notice->reset();
    if (protocol != ImageGetWorker::Protocol::Rtp)
        return std::make_unique<MultipartDec>(sink, framing(protocol));
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

std::unique_ptr<protocolDecoder> DecoderFactory::makeRtp(std::string_view encoding,
                                                         std::string_view fmtp, FrameSink* sink,
                                                         const QString& referenceFile,
                                                         RtpCounters* counters,
                                                         std::optional<QString>* notice)
{
    static_cast<void>(fmtp); // for encodings whose parameters matter
    notice->reset();
    if (encoding == "JPEG")
        return make(ImageGetWorker::Protocol::Rtp, sink, referenceFile, counters, notice);
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

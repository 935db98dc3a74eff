// SPDX-License-Identifier: MIT
// The simulator's --replay: the frames of a recording at their recorded
// pace.
#include "devicesim.h"
#include "multipartwriter.h"
#include "replaypacer.h"

#include <algorithm>
#include <cstdio>

namespace {

// Shortened waits that get a line of their own; the final line counts all.
constexpr long long MaxCappedLines = 10;

} // namespace

void DeviceSim::replayNote(const QString& text) const
{
    if (m_config.quiet)
        return;
    std::printf("framescope-devicesim: %s\n", qPrintable(text));
    std::fflush(stdout);
}

void DeviceSim::replayError(const QString& text) const
{
    std::fprintf(stderr, "framescope-devicesim: %s\n", qPrintable(text));
    std::fflush(stderr);
}

bool DeviceSim::waitForClient(Clock::time_point end, volatile std::sig_atomic_t* stop)
{
    while (m_clients.empty() && !*stop && Clock::now() < end)
        serviceUntil(std::min(end, Clock::now() + std::chrono::milliseconds(100)), stop);
    return !m_clients.empty() && !*stop;
}

bool DeviceSim::sendRecordedFrame(const simlib::RecordedFrame& frame, long long index,
                                  bool announce)
{
    ++m_frames;
    if (m_config.mode != SimConfig::Mode::Rtp) {
        sendMultipart(simlib::multipartPart(frame.contentType, frame.bytes), true);
        return true;
    }
    const long long packetsBefore = m_datagrams;
    if (frame.contentType == "video/h264")
        sendRtpH264(frame.bytes);
    else
        sendRtpFrame(frame.bytes, index);
    if (m_datagrams != packetsBefore)
        return true;
    // Raw gray, progressive or otherwise not baseline, beyond 2040
    // pixels: what RFC 2435 cannot carry (or H.264 without a NAL unit).
    ++m_refused;
    if (announce && !m_config.quiet) {
        std::printf("framescope-devicesim: frame %lld (%s, %lld bytes) is no baseline JPEG "
                    "RTP/JPEG can carry; skipped\n",
                    index, frame.contentType.constData(), (long long)frame.bytes.size());
        std::fflush(stdout);
    }
    return false;
}

int DeviceSim::runReplay(volatile std::sig_atomic_t* stop)
{
    const auto end = m_config.duration > 0
                         ? Clock::now()
                               + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(m_config.duration))
                         : Clock::time_point::max();
    if (m_config.mode == SimConfig::Mode::Tcp && !waitForClient(end, stop))
        return 0;
    // Each frame is due its wait after the one before; the waits add up on
    // the due times, not on when frames went out, so that the pace does not
    // drift.
    ReplayPacer pacer(m_config.speed, m_config.fps, m_config.maxGap);
    auto due = Clock::now();
    long long pass = 0;
    long long readInPass = 0;
    long long sentInPass = 0;
    int rc = 0;
    for (long long i = 0; !*stop; ++i) {
        if (m_config.count > 0 && i >= m_config.count)
            break;
        simlib::RecordedFrame frame;
        const bool have = m_recording.next(&frame);
        for (const QString& note : m_recording.takeNotes())
            replayNote(note);
        if (!have) {
            if (m_recording.end() == simlib::RecordingReader::End::Stopped)
                break;
            if (m_recording.end() != simlib::RecordingReader::End::Complete) {
                replayError(m_recording.endMessage() + QStringLiteral("; the replay ends"));
                rc = 1;
                break;
            }
            if (pass == 0)
                replayNote(QStringLiteral("end of the recording: %1").arg(m_recording.describe()));
            // A pass that sends nothing would do the same again: with
            // --loop the simulator would spin without end.
            if (sentInPass == 0) {
                replayError(
                    QStringLiteral("no frame of %1 could be sent (%2 read, all refused); the "
                                   "replay ends")
                        .arg(m_config.replay)
                        .arg(readInPass));
                rc = 1;
                break;
            }
            if (!m_config.loop)
                break;
            m_recording.rewind();
            pacer.newPass();
            ++pass;
            readInPass = 0;
            sentInPass = 0;
            --i;
            continue;
        }
        ++readInPass;
        const ReplayPacer::Wait wait = pacer.frame(frame.timeUs);
        if (m_config.speed > 0 || pacer.fixedRate()) {
            if (wait.capped && ++m_gapsCapped <= MaxCappedLines)
                replayNote(QStringLiteral("a wait of %1 s before frame %2 is shortened to %3 s "
                                          "(--max-gap)%4")
                               .arg(wait.askedSeconds, 0, 'g', 6)
                               .arg(i)
                               .arg(m_config.maxGap, 0, 'g', 6)
                               .arg(m_gapsCapped == MaxCappedLines
                                        ? QStringLiteral("; further ones are only counted")
                                        : QString()));
            due += std::chrono::duration_cast<Clock::duration>(wait.wait);
            serviceUntil(std::min(due, end), stop);
        } else {
            // As fast as the clients take it: a client that is behind
            // would otherwise miss whole frames.
            serviceUntil(Clock::now(), stop);
            while (!*stop && Clock::now() < end
                   && std::any_of(m_clients.begin(), m_clients.end(), [](const Client& c) {
                          return c.out.size() - c.sent > CompactAfterBytes;
                      }))
                serviceUntil(std::min(end, Clock::now() + std::chrono::milliseconds(10)), stop);
            due = Clock::now();
        }
        if (*stop || Clock::now() >= end)
            break;
        // A refusal is printed in the first pass; later passes refuse the
        // same frames again and only count them.
        if (sendRecordedFrame(frame, i, pass == 0))
            ++sentInPass;
    }
    if (m_gapsCapped > 0)
        replayNote(QStringLiteral("%1 waits longer than --max-gap %2 s were shortened")
                       .arg(m_gapsCapped)
                       .arg(m_config.maxGap, 0, 'g', 6));
    // Let TCP clients take what is queued, briefly.
    if (!*stop && m_config.mode == SimConfig::Mode::Tcp)
        serviceUntil(Clock::now() + std::chrono::milliseconds(500), stop);
    return rc;
}

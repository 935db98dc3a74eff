// SPDX-License-Identifier: MIT
#include "rtph264packetizer.h"

#include "h264nal.h"

#include <algorithm>

namespace simlib {

namespace {

// The positions of the NAL units' first bytes and the ends before the next
// start code.
struct NalRange
{
    qsizetype begin;
    qsizetype end;
};

QList<NalRange> nalRanges(const QByteArray& b)
{
    QList<NalRange> ranges;
    const auto* p = reinterpret_cast<const unsigned char*>(b.constData());
    const qsizetype n = b.size();
    qsizetype begin = -1;
    for (qsizetype i = 0; i + 2 < n; ++i) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1)
            continue;
        if (begin >= 0) {
            // A zero in front of the start code belongs to a 4-byte one.
            qsizetype end = i;
            while (end > begin && p[end - 1] == 0)
                --end;
            ranges.append({begin, end});
        }
        begin = i + 3;
        i += 2;
    }
    if (begin >= 0 && begin < n)
        ranges.append({begin, n});
    return ranges;
}

bool isSlice(int type)
{
    return type == h264::NalNonIdrSlice || type == h264::NalIdrSlice;
}

} // namespace

QList<QByteArray> splitAnnexB(const QByteArray& annexB)
{
    QList<QByteArray> units;
    for (const NalRange& r : nalRanges(annexB)) {
        if (r.end > r.begin)
            units.append(annexB.mid(r.begin, r.end - r.begin));
    }
    return units;
}

QList<QByteArray> splitAccessUnits(const QByteArray& annexB)
{
    QList<QByteArray> units;
    QByteArray current;
    bool sliceSeen = false;
    for (const QByteArray& nal : splitAnnexB(annexB)) {
        const int type = nal[0] & h264::NalTypeMask;
        // first_mb_in_slice is the slice header's first Exp-Golomb number:
        // 0 is the single bit 1.
        const bool firstSlice = isSlice(type) && nal.size() > 1 && (nal[1] & 0x80);
        const bool begins =
            type == h264::NalAccessUnitDelimiter
            || ((type == h264::NalSps || type == h264::NalPps || type == h264::NalSei || firstSlice)
                && sliceSeen);
        if (begins && !current.isEmpty()) {
            units.append(current);
            current.clear();
            sliceSeen = false;
        }
        current += QByteArray(reinterpret_cast<const char*>(h264::StartCode), h264::StartCodeBytes);
        current += nal;
        sliceSeen = sliceSeen || isSlice(type);
    }
    if (!current.isEmpty())
        units.append(current);
    return units;
}

RtpH264Packetizer::RtpH264Packetizer(const RtpH264Options& options)
    : m_options(options), m_sequence(options.firstSequence)
{
    m_options.maxPayload = std::max(m_options.maxPayload, 3);
}

QByteArray RtpH264Packetizer::header(std::uint32_t timestamp, bool marker)
{
    QByteArray h(12, '\0');
    h[0] = char(0x80);
    h[1] = char((marker ? 0x80 : 0) | (m_options.payloadType & 0x7F));
    h[2] = char(m_sequence >> 8);
    h[3] = char(m_sequence & 0xFF);
    for (int i = 0; i < 4; ++i) {
        h[4 + i] = char((timestamp >> (24 - 8 * i)) & 0xFF);
        h[8 + i] = char((m_options.ssrc >> (24 - 8 * i)) & 0xFF);
    }
    ++m_sequence;
    return h;
}

int RtpH264Packetizer::packetize(const QByteArray& accessUnit, std::uint32_t timestamp,
                                 QList<QByteArray>* packets)
{
    const QList<QByteArray> nals = splitAnnexB(accessUnit);
    // Payloads first; the headers follow once the last one is known.
    QList<QByteArray> payloads;
    const int max = m_options.maxPayload;
    for (qsizetype n = 0; n < nals.size(); ++n) {
        const QByteArray& nal = nals[n];
        if (nal.size() > max) {
            const char indicator = char((nal[0] & 0xE0) | h264::FuA);
            const QByteArray body = nal.mid(1);
            const qsizetype step = max - 2;
            for (qsizetype from = 0; from < body.size(); from += step) {
                const bool start = from == 0;
                const bool end = from + step >= body.size();
                QByteArray fu;
                fu.append(indicator);
                fu.append(char((start ? 0x80 : 0) | (end ? 0x40 : 0) | (nal[0] & 0x1F)));
                fu.append(body.mid(from, step));
                payloads.append(fu);
            }
            continue;
        }
        // Consecutive small units share a STAP-A while they fit.
        QByteArray stap(1, char(0));
        int count = 0;
        int nri = 0;
        qsizetype m = n;
        while (m_options.aggregate && m < nals.size() && stap.size() + 2 + nals[m].size() <= max) {
            stap.append(char(nals[m].size() >> 8));
            stap.append(char(nals[m].size() & 0xFF));
            stap.append(nals[m]);
            nri = std::max(nri, nals[m][0] & 0x60);
            ++count;
            ++m;
        }
        if (count >= 2) {
            stap[0] = char(nri | h264::StapA);
            payloads.append(stap);
            n = m - 1;
        } else {
            payloads.append(nal);
        }
    }
    for (qsizetype i = 0; i < payloads.size(); ++i)
        packets->append(header(timestamp, i == payloads.size() - 1) + payloads[i]);
    return int(payloads.size());
}

} // namespace simlib

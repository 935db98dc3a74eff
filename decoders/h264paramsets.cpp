// SPDX-License-Identifier: MIT
#include "h264paramsets.h"

#include "h264nal.h"

namespace {
int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}
} // namespace

std::optional<H264ParameterSets::Bytes> H264ParameterSets::decodeBase64(std::string_view text,
                                                                        std::size_t maxBytes)
{
    while (!text.empty() && text.back() == '=')
        text.remove_suffix(1);
    // Four characters make three bytes; a single character left over makes
    // none and cannot end valid base64.
    if (text.size() % 4 == 1 || text.size() / 4 * 3 + (text.size() % 4) > maxBytes + 2)
        return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3 + 2);
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        const int v = base64Value(c);
        if (v < 0)
            return std::nullopt;
        bits = (bits << 6) | unsigned(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<unsigned char>((bits >> count) & 0xFF));
        }
    }
    if (out.size() > maxBytes)
        return std::nullopt;
    return out;
}

bool H264ParameterSets::setFromSprop(std::string_view text)
{
    if (text.size() > MaxSpropChars)
        return false;
    std::vector<Bytes> sps;
    std::vector<Bytes> pps;
    bool allUsed = true;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view part = trimmed(text.substr(0, comma));
        if (!part.empty()) {
            std::optional<Bytes> nal = decodeBase64(part, MaxSetBytes);
            // A set whose forbidden bit is set is broken by its sender's own
            // account, and is not put in front of any access unit.
            const int type = nal && !nal->empty() && !(nal->front() & 0x80)
                                 ? (nal->front() & h264::NalTypeMask)
                                 : 0;
            if (type == h264::NalSps && sps.size() < MaxSets)
                sps.push_back(std::move(*nal));
            else if (type == h264::NalPps && pps.size() < MaxSets)
                pps.push_back(std::move(*nal));
            else
                allUsed = false;
        }
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    if (!sps.empty())
        replace(h264::NalSps, std::move(sps));
    if (!pps.empty())
        replace(h264::NalPps, std::move(pps));
    return allUsed;
}

void H264ParameterSets::replace(int type, std::vector<Bytes> sets)
{
    std::erase_if(sets, [](const Bytes& b) { return b.empty() || b.size() > MaxSetBytes; });
    if (sets.size() > MaxSets)
        sets.resize(MaxSets);
    (type == h264::NalSps ? m_sps : m_pps) = std::move(sets);
}

const std::vector<H264ParameterSets::Bytes>& H264ParameterSets::setsOf(int type) const
{
    return type == h264::NalSps ? m_sps : m_pps;
}

H264ParameterSets::Bytes H264ParameterSets::annexB(bool sps, bool pps) const
{
    Bytes out;
    const auto add = [&out](const std::vector<Bytes>& sets) {
        for (const Bytes& set : sets) {
            out.insert(out.end(), h264::StartCode, h264::StartCode + h264::StartCodeBytes);
            out.insert(out.end(), set.begin(), set.end());
        }
    };
    if (sps)
        add(m_sps);
    if (pps)
        add(m_pps);
    return out;
}

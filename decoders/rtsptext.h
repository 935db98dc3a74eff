// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Small text helpers shared by the RTSP and SDP parsers.
namespace rtsptext {

inline std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

inline char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

inline bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

inline bool startsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && equalsNoCase(s.substr(0, prefix.size()), prefix);
}

// A decimal number of at most 9 digits, nothing else; -1 otherwise.
inline int number(std::string_view s)
{
    if (s.empty() || s.size() > 9)
        return -1;
    int value = 0;
    for (const char c : s) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// "a-b" or "a": the two numbers, each within 0..max (-1 when absent or
// out of range).
inline void range(std::string_view s, int max, int* first, int* second)
{
    const std::size_t dash = s.find('-');
    const int a = number(trim(s.substr(0, dash)));
    const int b = dash == std::string_view::npos ? -1 : number(trim(s.substr(dash + 1)));
    *first = a >= 0 && a <= max ? a : -1;
    *second = b >= 0 && b <= max ? b : -1;
}

// Printable ASCII of `s`, at most `max` characters.
inline std::string printable(std::string_view s, std::size_t max)
{
    std::string out;
    for (const char c : s) {
        if (out.size() >= max)
            break;
        if (c >= 0x20 && c < 0x7f)
            out += c;
    }
    return out;
}

} // namespace rtsptext

// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// What a Content-Type header value says about a response body: the media
// type and, for a multipart body, the text that begins each part.
struct ContentTypeInfo
{
    enum class Kind
    {
        None,      // no Content-Type, or an empty one
        Multipart, // multipart/..., with a usable boundary
        Jpeg,      // image/jpeg (and its variant spellings): one frame
        Other,     // anything else, or multipart without a usable boundary
    };

    // The longest boundary a multipart type may announce (RFC 2046).
    static constexpr std::size_t MaxBoundaryLen = 70;

    Kind kind = Kind::None;
    // The media type, lower case, without its parameters, printable ASCII
    // only, at most 64 characters.
    std::string mediaType;
    // For Kind::Multipart: "--" and the announced boundary without any
    // dashes it was written with in front, the text that starts each part.
    std::string delimiter;
    // For a multipart type without a usable boundary: why not.
    std::string problem;

    // Parses `value` (what follows "Content-Type:"): media type, then
    // parameters separated by ';', names in any case, values quoted or not.
    static ContentTypeInfo parse(std::string_view value);
};

// The head of an HTTP response, fed one header line at a time as libcurl
// hands them over (status line first, each with its line end, a blank line
// last). A new status line starts a new head, so that after redirects and
// authentication rounds it holds the last response's. Every line and the
// number of lines are bounded; what lies beyond is ignored.
class HttpResponseHead
{
public:
    static constexpr std::size_t MaxLineBytes = 8192;
    static constexpr int MaxHeaderLines = 128;
    static constexpr std::size_t MaxReasonChars = 64;
    static constexpr std::size_t MaxSchemes = 8;

    void addLine(const char* data, std::size_t len);
    void clear() { *this = HttpResponseHead(); }

    // A status line was seen.
    bool hasStatus() const { return m_status > 0; }
    // The blank line after the headers was seen.
    bool complete() const { return m_complete; }
    // 100-999; 0 before a status line.
    int status() const { return m_status; }
    // "HTTP 404 Not Found": the code and the reason the server gave, or a
    // common reason for the code when it gave none.
    std::string statusText() const;
    // The value of the last Content-Type header, blanks trimmed.
    const std::string& contentType() const { return m_contentType; }
    // The schemes WWW-Authenticate offered, in the order offered, each once
    // ("Basic", "Digest", ...).
    const std::vector<std::string>& authSchemes() const { return m_schemes; }
    // Whether a line was too long or there were too many.
    bool overflowed() const { return m_overflowed; }

    // Whether a stream begins like an HTTP response ("HTTP/1.").
    static bool looksLikeResponse(const unsigned char* data, std::size_t len);
    // The usual reason phrase of a status code; empty for an unknown one.
    static std::string_view standardReason(int status);

private:
    void parseStatusLine(std::string_view line);
    void addChallenges(std::string_view value);

    int m_status = 0;
    std::string m_reason;
    std::string m_contentType;
    std::vector<std::string> m_schemes;
    int m_lines = 0;
    bool m_complete = false;
    bool m_overflowed = false;
};

// SPDX-License-Identifier: MIT
#pragma once

#include "protocoldecoder.h"

#include <string_view>

class FrameSink;
class ImageGetWorker;

// Reads a multipart stream of frames: a fixed boundary text, the rest of its
// line, a "Content-Type: " line, a "Content-Length: " line, two unexamined
// bytes and the body. Bodies go straight into the sink's write buffer.
// Every piece of state carries over between blocks, so a part may be split at
// any byte.
//
// Made with an announced delimiter (an HTTP response's boundary), it reads
// the parts as web cameras write them: header lines in any order and case
// up to an empty line, CRLF or LF line ends, and a body of Content-Length
// bytes or, without one, up to the next delimiter.
class MultipartDec : public protocolDecoder
{
public:
    static constexpr const char* BoundaryText = "---jworudfg83h23lsow2z04";
    // A header line holds at most this many characters; one more abandons
    // the part.
    static constexpr int MaxHeaderLine = 256;
    // An announced part has at most this many header lines; one more
    // abandons the part.
    static constexpr int MaxPartHeaderLines = 16;
    // The longest announced delimiter: "--" and 70 characters.
    static constexpr int MaxDelimiterLen = 72;

    // How the bytes arrive. A stream (TCP) lets the body bytes at the start
    // of a block be stored with one copy, past the boundary matcher; in
    // datagrams every byte is matched, so a part cut short by a lost datagram
    // gives way to the next boundary.
    enum class Framing
    {
        Stream,
        Datagrams
    };

    // Where the decoder is in a part. Only the boundary matcher leaves
    // Searching; the rest follow each other byte by byte.
    enum class HeaderState
    {
        Searching = -1,   // looking for the boundary, or inside a body
        BoundaryLine = 0, // the rest of the boundary's line
        TypeLine = 1,     // "Content-Type: ..."
        LengthLine = 2,   // "Content-Length: ..."
        FirstGapByte = 3, // the first unexamined byte; the header lines are parsed on it
        SecondGapByte = 4,
        BodyStart = 5,   // the body's first byte
        PartHeaders = 6, // announced delimiter: header lines up to an empty one
    };

    MultipartDec(FrameSink* sink, Framing framing);
    // Decodes into a worker's frame buffer, framed as the worker's protocol
    // delivers the bytes.
    explicit MultipartDec(ImageGetWorker* worker);
    // Reads a stream (HTTP) whose parts begin with `delimiter` ("--" and
    // the announced boundary, at most MaxDelimiterLen bytes; a longer one
    // is cut).
    MultipartDec(FrameSink* sink, std::string_view delimiter);
    ~MultipartDec() override;

    void decode(const unsigned char* data, int len) override;

    bool synchronised() const override { return m_boundarySeen; }
    HeaderState headerState() const { return m_hdrState; }
    // Parts dropped because the next part began inside their body (a
    // Content-Length longer than the body).
    long long partsCutShort() const { return m_partsCutShort; }
    int remaining() const { return m_remaining; }
    int contentLength() const { return m_contentLength; }

    // Converts decimal text the way the toolkit's integer conversion does:
    // optional surrounding blanks and sign, digits only, int range; anything
    // else gives 0.
    static int parseDecimal(const char* text, int len);

private:
    struct HeaderLine
    {
        char text[MaxHeaderLine];
        int len = 0;
        bool startsWith(const char* prefix, int prefixLen) const;
    };

    void matchBoundary(char c);
    void headerByte(char c);
    void copyBody(const unsigned char* data, int n);
    // The length of the longest prefix of p[0 .. n) within which the
    // boundary matcher, starting at 0, cannot complete the boundary, and in
    // *matchPos the matcher's position after it.
    int quietRun(const unsigned char* p, int n, int* matchPos) const;
    // n bytes that only move the boundary matcher, while searching or inside
    // a body; n never reaches past the body's end.
    void takeRun(const unsigned char* data, int n);
    void appendToLine(HeaderLine& line, char c, HeaderState nextState);
    // The body's last byte is stored: finish the frame, or drop it when it
    // was cut short by a part that began inside it.
    void finishBody();
    void parseHeaderLines();
    // The boundary text is set: its lead run and fallback table.
    void prepareMatcher();
    // An announced part's header byte.
    void partHeaderByte(char c);
    // The delimiter was matched inside a body without Content-Length: the
    // bytes before it, without the line end in front of it, are the frame.
    void closeOpenBody();

    // The sink frames are assembled in: a worker's double buffer, or a
    // test's sink.
    FrameSink* m_worker;
    Framing m_framing;
    int m_matchPos = 0;
    int m_boundaryLen = 0;
    char m_boundary[80];
    // For a boundary whose lead byte comes back behind its lead run: where
    // the matcher goes on after a mismatch at position k + 1 (the longest
    // proper prefix that is also a suffix of the first k + 1 bytes).
    unsigned char m_fallback[80] = {};
    // Made with an announced delimiter.
    bool m_announced = false;
    // Inside a body that ends at the next delimiter.
    bool m_openBody = false;
    bool m_lengthGiven = false;
    int m_partHeaderLines = 0;
    // How many copies of its first byte the boundary starts with (0 turns
    // the run-wise scan off).
    int m_leadRun = 0;
    HeaderState m_hdrState = HeaderState::Searching;
    HeaderLine m_typeLine;
    HeaderLine m_lengthLine;
    int m_contentLength = 0;
    // While a body is received, m_remaining + 1 body bytes are still to come;
    // -1 everywhere else (it never falls below -1).
    int m_remaining = -1;
    // Body bytes stored since a boundary was matched inside the body, while
    // that boundary's header is read; -1 when there is none.
    int m_bytesAfterBoundary = -1;
    long long m_partsCutShort = 0;
    bool m_boundarySeen = false;
};

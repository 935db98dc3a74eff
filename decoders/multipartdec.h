// SPDX-License-Identifier: MIT
#pragma once

#include "protocoldecoder.h"

class ImageGetWorker;

// Reads a multipart stream of frames: a fixed boundary text, the rest of its
// line, a "Content-Type: " line, a "Content-Length: " line, two unexamined
// bytes and the body. Bodies go straight into the worker's write buffer.
// Every piece of state carries over between blocks, so a part may be split at
// any byte.
class MultipartDec : public protocolDecoder
{
public:
    static constexpr const char* BoundaryText = "---jworudfg83h23lsow2z04";
    // A header line holds at most this many characters; one more abandons
    // the part.
    static constexpr int MaxHeaderLine = 256;

    explicit MultipartDec(ImageGetWorker* worker);
    ~MultipartDec() override;

    void decode(const unsigned char* data, int len) override;

    int headerState() const { return m_hdrState; }
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
    void appendToLine(HeaderLine& line, char c, int nextState);
    void parseHeaderLines();

    ImageGetWorker* m_worker;
    int m_matchPos = 0;
    int m_boundaryLen = 0;
    char m_boundary[80];
    // How many copies of its first byte the boundary starts with (0 turns
    // the run-wise scan off).
    int m_leadRun = 0;
    int m_hdrState = -1;
    HeaderLine m_typeLine;
    HeaderLine m_lengthLine;
    int m_contentLength = 0;
    // While a body is received, m_remaining + 1 body bytes are still to come;
    // -1 everywhere else (it never falls below -1).
    int m_remaining = -1;
};

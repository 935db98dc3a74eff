// SPDX-License-Identifier: MIT
// Shared pieces of the fuzz targets: a check that aborts (so libFuzzer
// records the input as a crash), a quiet process set-up and the reader for
// length-prefixed datagram sequences.
#pragma once

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzzsupport {

inline void discardMessages(QtMsgType, const QMessageLogContext&, const QString&)
{
}

// Silences the toolkit's debug output: parsers log nothing, but the image
// reader and the controller warn about bad input.
inline void quietProcess()
{
    qInstallMessageHandler(discardMessages);
}

// One received datagram in an allocation of exactly its size, so that a
// read beyond it is caught (a QByteArray would hide one byte of over-read
// behind its terminating NUL).
struct Datagram
{
    std::unique_ptr<unsigned char[]> bytes;
    int len = 0;
};

// Splits data into datagrams, each preceded by its length as two bytes
// big-endian; a length past the end takes what is left.
inline std::vector<Datagram> splitDatagrams(const std::uint8_t* data, std::size_t size,
                                            std::size_t maxDatagrams = 512)
{
    std::vector<Datagram> out;
    std::size_t pos = 0;
    while (pos + 2 <= size && out.size() < maxDatagrams) {
        std::size_t n = (std::size_t(data[pos]) << 8) | data[pos + 1];
        pos += 2;
        n = std::min(n, size - pos);
        Datagram d;
        d.bytes.reset(new unsigned char[n]);
        std::memcpy(d.bytes.get(), data + pos, n);
        d.len = int(n);
        out.push_back(std::move(d));
        pos += n;
    }
    return out;
}

} // namespace fuzzsupport

// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>

// The byte streams every benchmark and its baseline share: JPEG frames of the
// moving test pattern, a multipart stream of them and their RTP/JPEG packets.
namespace benchdata {

constexpr int Width = 1280;
constexpr int Height = 960;
// Frames in the multipart stream; they cycle through DistinctFrames encoded
// pictures so that building the data stays quick.
constexpr int StreamFrames = 200;
constexpr int DistinctFrames = 8;
constexpr int TcpBlockBytes = 160000;
constexpr int DatagramBytes = 4096;
constexpr int RtpScanBytesPerPacket = 1400;

// One 1280 x 960 JPEG frame of the test pattern with an APP9 time stamp.
const QByteArray& jpegFrame(int index);
// StreamFrames multipart parts of image/jpeg frames, back to back.
const QByteArray& multipartStream();
// The RTP/JPEG packets of StreamFrames frames (Q 255, tables in-band).
const QList<QByteArray>& rtpPackets();
// One raw gray frame, Width x Height bytes.
const QByteArray& grayFrame();

// Writes bytes to path; returns false when the file cannot be written.
bool writeFile(const QString& path, const QByteArray& bytes);

} // namespace benchdata

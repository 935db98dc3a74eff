// SPDX-License-Identifier: MIT
// The --help text of framescope-devicesim.
#include "simconfig.h"

QString simHelpText()
{
    return QStringLiteral(R"(Usage: framescope-devicesim [options]

A simulated camera on the loopback interface. It sends a moving test picture
with the frame number drawn in, as a multipart stream over TCP or UDP, as
RTP/JPEG (RFC 2435) packets or as an HTTP camera does, until the frame count
or the duration is reached or it receives SIGINT or SIGTERM. Destinations
outside 127.0.0.0/8 are refused. It prints a line when it is ready
("listening on ..." or "sending to ..."), when a TCP or HTTP client connects
("client N connected") and when a quiet pause starts; at the end one line of
figures ("sent: frames ... dropped ...")
and it exits with 0 (2 for a bad command line, 1 when the socket fails or a
--replay cannot be read or sends nothing).

Transport:
  --mode tcp|udp|rtp|http
                         tcp: listen and serve the multipart stream to every
                         client that connects, from the next frame on, for as
                         long as it stays connected. udp: send the multipart
                         stream in datagrams to --host:--port. rtp: send
                         RTP/JPEG packets to --host:--port. http: listen and
                         answer HTTP requests (see HTTP below). Default tcp.
  --host ADDR            TCP: the address to listen on; UDP, RTP: the
                         destination. A dotted 127.x.y.z address. Default
                         127.0.0.1.
  --port N               Port; 0 with tcp or http picks a free port. The chosen
                         address is printed ("listening on" or "sending to").
                         Default 5000.
  --datagram-size N      udp: bytes of the stream per datagram, so that parts
                         are split across datagrams (1 ... 65507). Default
                         1400.

Content:
  --content jpeg|gray|gray16
                         jpeg: "image/jpeg" frames from libjpeg; gray: raw
                         8-bit frames of width x height bytes,
                         "video/x-raw-gray"; gray16: "video/x-raw-gray16",
                         a ramp of 16-bit pixels, (x, y) = (64 x + 16 y + 1)
                         mod 65536, (0, 0) the frame number (neither with
                         rtp). Default jpeg.
  --pixel-order little|big
                         Byte order of gray16 pixels. Default little.
  --width N, --height N  Frame size in pixels (rtp: multiples of 8, at most
                         2040). Default 640 x 480.
  --quality N            JPEG quality 1 ... 100. Default 80.
  --restart-interval N   JPEG restart interval in MCUs, 0 for none. Default 0,
                         or 60 for RTP types 64 and 65.
  --sampling 420|422|444 Chroma sampling of JPEG frames. Default 420 (rtp:
                         what the RTP type implies).
  --no-timestamp         Leave out the APP9 time stamp segment (16-bit frame
                         number, seconds, microseconds of the sender's clock,
                         big-endian) that every JPEG frame carries by default.

Replay:
  --replay FILE          Send the frames of a recording the viewer made
                         (File > Record) at the recorded pace instead of the
                         test picture: tcp and udp as the multipart stream,
                         rtp re-packetized (baseline JPEG frames only; others
                         are skipped and counted as refused). With tcp the
                         replay starts when the first client connects.
                         Only a regular file is read (a FIFO or device is
                         refused), piece by piece. A file that is empty or
                         holds no frame is refused with what was found in it
                         ("... holds no frame to replay: 0 frames in 2 parts
                         (180 bytes), 2 left out"); a part that gives no
                         frame, such as one longer than 64 MiB, is named
                         ("the part at byte N ...; left out"), and the end of
                         the first pass prints "end of the recording: ...". A
                         file that shrinks while it is read, or a pass in
                         which every frame was refused, ends the replay with
                         an error and exit code 1.
  --h264 FILE            With --mode rtp: send the access units of this H.264
                         Annex B file (a .h264 stream) as RTP H.264 (payload
                         type 96, FU-A above --payload-size, SPS and PPS in
                         a STAP-A) at --fps, over and over, instead of the
                         test picture. A recording's video/h264 parts are
                         sent the same way by --replay.
  --speed N|max          Replay N times as fast, or as fast as the socket
                         takes the frames. Default 1.
  --loop                 Start the recording over at its end, one mean frame
                         period after its last frame. A recording without a
                         recorded duration (one frame, or frames sharing one
                         time) then goes on at --fps.
  --max-gap S            The longest wait between two frames (0.001 ...
                         86400 s); a longer recorded gap is shortened, with a
                         line "a wait of X s before frame N is shortened to S
                         s" for each of the first ten. Default 10.

Rate and length:
  --fps F                Frames per second (0.1 ... 1000). Default 25.
  --count N              Stop after N frames. Default: no limit.
  --pregenerate N        Render and encode N frames (1 ... 1000) before
                         sending and send them over and over, each with a
                         fresh time stamp, so that a run costs the sender
                         only the sending (for benchmarks). Default 0: each
                         frame is made as it is sent.
  --duration S           Stop after S seconds. Default: no limit.
  --wait-client          tcp: send the first frame only once a client has
                         connected, so that it receives every frame counted.
  --pause-every N        After every N frames send nothing for --pause-ms
                         (a quiet device: over TCP the viewer gives up after
                         1 s and connects again). Default 0: never.
  --pause-ms MS          Length of each quiet pause. Default 2000.

RTP:
  --rtp-type 0|1|64|65   RFC 2435 type: 1 and 65 are 4:2:0, 0 and 64 are
                         4:2:2, 64 and 65 carry a restart interval. Default 65
                         with interval 60, which matches the viewer's
                         built-in JPEG header.
  --q N                  Q of the JPEG header: 128 ... 255 sends the
                         quantisation tables in-band on each frame's first
                         packet; 1 ... 99 sends none. Default 255.
  --payload-size N       Scan data bytes per packet (1 ... 65000). Default
                         1400.
  --ssrc N               SSRC (decimal or 0x hex). Default 0x46530001.
  --ssrc-change-every N  Switch to a new SSRC every N frames. Default 0: never.
  --first-sequence N     Sequence number of the first packet (0 ... 65535).
                         Default 0.
  --write-reference FILE Write the JPEG header (SOI through SOS) matching the
                         stream to FILE and go on; name it reference.jpg in
                         the viewer's working directory for types 0 and 1.
  --loss P               Drop P percent of the packets (0 ... 100).
  --reorder P            Send P percent of the packets after their successor.
  --duplicate P          Send P percent of the packets twice.
  --seed N               Seed of the loss, reordering, duplication and bad
                         stream choices, so that runs repeat. Default 1.

Hostile input:
  --bad-every N          Every N-th frame comes with a bad item: for tcp and
                         udp a broken part before the good one, for rtp a
                         malformed packet among the frame's packets. Default 0:
                         never.
  --bad-kinds LIST       Comma-separated kinds to cycle through, default all.
                         Multipart: garbage, truncated, long-length,
                         short-length, bad-header, corrupt-body,
                         huge-dimensions. RTP: empty, short-header,
                         no-jpeg-header, csrc-overrun, cut-restart-header,
                         table-overrun, huge-offset, header-flags.

HTTP (--mode http, JPEG frames only):
  --http-path PATH       GET of PATH answers "200 OK" with the Content-Type
                         "multipart/x-mixed-replace;boundary=" and the
                         boundary framescope-devicesim-frame, then every
                         frame from the next one on as a part (two dashes
                         and the boundary, "Content-Type: image/jpeg",
                         "Content-Length: N", an empty line, the JPEG, CR
                         LF) for as long as the client stays connected.
                         Default /video.mjpg.
  --snapshot-path PATH   GET of PATH answers with the newest frame
                         ("Content-Type: image/jpeg", "Content-Length: N"),
                         and the connection takes the next request (HTTP/1.1
                         keep-alive). Default /snapshot.jpg. Other paths get
                         "404 Not Found", methods other than GET and HEAD
                         "405 Method Not Allowed". A request line and fields
                         longer than 8 KiB or 100 lines get "431", a
                         malformed request "400"; a client has 5 s to send a
                         request, and a kept-alive connection is closed after
                         5 s without one.
  --http-style LIST      Comma-separated variations of the stream's framing:
                         quoted (boundary="..." in the field), no-length
                         (parts without Content-Length), lf (the parts' lines
                         end with LF alone), dashed (the boundary is
                         announced with two leading dashes, and the parts'
                         delimiter is the announced text as it stands);
                         plain for none. Default plain.
  --user NAME, --password TEXT
                         Ask for this account: a request without it gets
                         "401 Unauthorized" with the challenges of --auth
                         (realm "framescope-devicesim"). The password is
                         never printed.
  --auth basic|digest|any
                         basic: "WWW-Authenticate: Basic"; digest: "Digest"
                         with qop "auth" and MD5 (RFC 7616); any: both, either
                         answer accepted. Default basic when --user is given.
  --drop-after N         Close each stream connection once it has been sent
                         N frames, then go on listening, as a camera that
                         restarts does. Default 0: never.

Other:
  --quiet                Print only errors.
  --help                 Show this text.
  --version              Show the version.
)");
}

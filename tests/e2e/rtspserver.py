#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Serves one GStreamer launch line over RTSP for the RTSP interop test, at
rtsp://ADDRESS:PORT/test.

Usage: rtspserver.py LOWER LAUNCH [ADDRESS]
  LOWER    udp, tcp or mcast: the only lower transport the server allows;
           mcast sends to group 239.255.42.1, ports 5000 and 5001, TTL 1
  LAUNCH   the media's launch line; its payloader is named pay0
  ADDRESS  the address to listen on, 127.0.0.1 by default

Prints "port N" once the server listens, then runs until stdin closes or
it is terminated. Exits with 77 when the Python GObject bindings or the
RTSP server's typelib are missing."""

import sys

try:
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    gi.require_version("GstRtsp", "1.0")
    from gi.repository import GLib, Gst, GstRtsp, GstRtspServer
except (ImportError, ValueError) as error:
    print("missing: %s" % error, flush=True)
    sys.exit(77)


def main():
    lower, launch = sys.argv[1], sys.argv[2]
    address = sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1"
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address(address)
    server.set_service("0")
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch("( %s )" % launch)
    if lower == "mcast":
        pool = GstRtspServer.RTSPAddressPool()
        pool.add_range("239.255.42.1", "239.255.42.1", 5000, 5001, 1)
        factory.set_address_pool(pool)
        factory.set_protocols(GstRtsp.RTSPLowerTrans.UDP_MCAST)
    else:
        factory.set_protocols(
            GstRtsp.RTSPLowerTrans.TCP if lower == "tcp" else GstRtsp.RTSPLowerTrans.UDP
        )
    server.get_mount_points().add_factory("/test", factory)
    if server.attach(None) == 0:
        print("attach failed", flush=True)
        sys.exit(1)
    print("port %d" % server.get_bound_port(), flush=True)
    loop = GLib.MainLoop()
    # The test ends the server by closing its stdin, or by a signal.
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, lambda *a: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()

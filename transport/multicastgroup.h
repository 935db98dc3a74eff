// SPDX-License-Identifier: MIT
#pragma once

#include "socketapi.h"

#include <QString>

#include <cstdint>

// Joining a multicast group on a datagram socket, so that a device whose
// host is a group (224.0.0.0 to 239.255.255.255) receives what is sent to
// it. The membership ends when the socket is closed.
namespace multicast {

// Whether an IPv4 address, in network byte order, is a multicast group.
bool isGroup(std::uint32_t address);

// The address a socket for `group` binds to: the group itself where the
// system then delivers only that group's datagrams, any address where it
// does not allow binding to a group (Winsock). Network byte order.
std::uint32_t bindAddress(std::uint32_t group);

// Joins `group` (network byte order) on the interface `interfaceSetting`
// names: its IPv4 address, its name ("eth0"), or nothing for the one the
// system routes the group through. False with the reason.
bool join(SocketHandle s, std::uint32_t group, const QString& interfaceSetting, QString* error);

} // namespace multicast

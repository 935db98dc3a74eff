// SPDX-License-Identifier: MIT
#include "multicastgroup.h"

#include <cstring>

#ifdef __linux__
#include <net/if.h>
#endif

namespace multicast {

namespace {

QString dotted(std::uint32_t address)
{
    const std::uint32_t host = ntohl(address);
    return QStringLiteral("%1.%2.%3.%4")
        .arg(host >> 24)
        .arg((host >> 16) & 0xFF)
        .arg((host >> 8) & 0xFF)
        .arg(host & 0xFF);
}

QString systemError(int error)
{
#ifdef _WIN32
    return QStringLiteral("socket error %1").arg(error);
#else
    return QString::fromLocal8Bit(std::strerror(error));
#endif
}

// A dotted IPv4 address, or nothing for any other text.
bool parseDotted(const QString& text, std::uint32_t* address)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, text.toLatin1().constData(), &parsed) != 1)
        return false;
    *address = parsed.s_addr;
    return true;
}

} // namespace

bool isGroup(std::uint32_t address)
{
    return (ntohl(address) >> 28) == 0xE;
}

std::uint32_t bindAddress(std::uint32_t group)
{
#ifdef _WIN32
    Q_UNUSED(group);
    return htonl(INADDR_ANY);
#else
    return group;
#endif
}

bool join(SocketHandle s, std::uint32_t group, const QString& interfaceSetting, QString* error)
{
    const QString where =
        interfaceSetting.isEmpty() ? QStringLiteral("the default interface") : interfaceSetting;
    std::uint32_t interfaceAddress = htonl(INADDR_ANY);
    const bool byAddress =
        interfaceSetting.isEmpty() || parseDotted(interfaceSetting, &interfaceAddress);
#ifndef __linux__
    // Joining by interface index needs Linux's ip_mreqn.
    if (!byAddress) {
        *error = QStringLiteral("interface \"%1\" is not an IPv4 address; give the interface's "
                                "address")
                     .arg(interfaceSetting);
        return false;
    }
    ip_mreq request{};
    request.imr_multiaddr.s_addr = group;
    request.imr_interface.s_addr = interfaceAddress;
#else
    ip_mreqn request{};
    request.imr_multiaddr.s_addr = group;
    request.imr_address.s_addr = interfaceAddress;
    if (!byAddress) {
        const unsigned index = if_nametoindex(interfaceSetting.toLocal8Bit().constData());
        if (index == 0) {
            *error = QStringLiteral("no network interface \"%1\" to join group %2 on")
                         .arg(interfaceSetting, dotted(group));
            return false;
        }
        request.imr_ifindex = int(index);
    }
#endif
    if (::setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&request),
                     sizeof request)
        != 0) {
        *error = QStringLiteral("cannot join group %1 on %2: %3")
                     .arg(dotted(group), where, systemError(lastSocketError()));
        return false;
    }
    return true;
}

} // namespace multicast

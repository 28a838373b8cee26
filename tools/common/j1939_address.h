// SPDX-License-Identifier: MIT
// The kernel's CAN_J1939 socket address: an interface, a NAME, a PGN and a
// source or destination address, as bind(), connect() and sendto() take it.
#ifndef VEHCAN_TOOLS_COMMON_J1939_ADDRESS_H
#define VEHCAN_TOOLS_COMMON_J1939_ADDRESS_H

#include <cstdint>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <sys/socket.h>

namespace vehcan {

inline sockaddr_can j1939_address(int ifindex, uint64_t name, uint32_t pgn, uint8_t address) {
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = ifindex;
    a.can_addr.j1939.name = name;
    a.can_addr.j1939.pgn = pgn;
    a.can_addr.j1939.addr = address;
    return a;
}

// An address without a NAME: the kernel then goes by the address alone.
inline sockaddr_can j1939_address(unsigned ifindex, uint32_t pgn, uint8_t address) {
    return j1939_address(static_cast<int>(ifindex), J1939_NO_NAME, pgn, address);
}

} // namespace vehcan

#endif

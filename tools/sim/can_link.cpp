// SPDX-License-Identifier: MIT
#include "can_link.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace vehcan::sim {
namespace {

// Walks the attributes in [data, data + len), calling visit(type, payload, size).
template <typename Visit>
void for_each_attribute(const uint8_t *data, size_t len, Visit visit) {
    while (len >= sizeof(rtattr)) {
        rtattr attribute{};
        std::memcpy(&attribute, data, sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > len) {
            return;
        }
        visit(attribute.rta_type & static_cast<unsigned>(NLA_TYPE_MASK), data + RTA_LENGTH(0),
              attribute.rta_len - RTA_LENGTH(0));
        const size_t step = RTA_ALIGN(attribute.rta_len);
        if (step >= len) {
            return;
        }
        data += step;
        len -= step;
    }
}

void read_can_data(const uint8_t *data, size_t len, LinkState &state) {
    for_each_attribute(data, len, [&](unsigned type, const uint8_t *payload, size_t size) {
        if (type == IFLA_CAN_BITTIMING && size >= sizeof(uint32_t)) {
            std::memcpy(&state.bitrate, payload, sizeof state.bitrate); // bitrate comes first
        } else if (type == IFLA_CAN_CTRLMODE && size >= sizeof(can_ctrlmode)) {
            can_ctrlmode mode{};
            std::memcpy(&mode, payload, sizeof mode);
            state.listen_only = (mode.flags & CAN_CTRLMODE_LISTENONLY) != 0;
        }
    });
}

} // namespace

LinkWatcher::LinkWatcher(const char *interface)
    : interface_(interface), fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
    if (fd_ >= 0) {
        const timeval timeout = {1, 0}; // the kernel answers at once; never hang on it
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    events_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (events_ >= 0) {
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_LINK;
        if (::bind(events_, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
            ::close(events_);
            events_ = -1;
        }
    }
}

LinkWatcher::~LinkWatcher() {
    for (const int fd : {fd_, events_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool LinkWatcher::changed() {
    if (events_ < 0) {
        return true;
    }
    bool any = false;
    alignas(nlmsghdr) uint8_t message[8192];
    for (;;) {
        const ssize_t n = ::recv(events_, message, sizeof message, MSG_DONTWAIT);
        if (n > 0) {
            any = true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // EAGAIN: drained; ENOBUFS: notifications were lost, so a change may be
            return any || (n < 0 && errno == ENOBUFS);
        }
    }
}

LinkState LinkWatcher::query() {
    LinkState state;
    const unsigned index = if_nametoindex(interface_);
    if (fd_ < 0 || index == 0) {
        return state;
    }
    struct {
        nlmsghdr header;
        ifinfomsg info;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = ++sequence_;
    request.info.ifi_family = AF_UNSPEC;
    request.info.ifi_index = static_cast<int>(index);
    if (::send(fd_, &request, sizeof request, 0) < 0) {
        return state;
    }
    alignas(nlmsghdr) uint8_t reply[16384];
    for (;;) {
        const ssize_t n = ::recv(fd_, reply, sizeof reply, 0);
        if (n < static_cast<ssize_t>(sizeof(nlmsghdr))) {
            return state;
        }
        nlmsghdr header{};
        std::memcpy(&header, reply, sizeof header);
        if (header.nlmsg_seq != sequence_) {
            continue; // the answer to an earlier query that timed out
        }
        if (header.nlmsg_type != RTM_NEWLINK ||
            header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)) ||
            header.nlmsg_len > static_cast<size_t>(n)) {
            return state;
        }
        ifinfomsg info{};
        std::memcpy(&info, reply + NLMSG_LENGTH(0), sizeof info);
        state.exists = true;
        state.up = (info.ifi_flags & IFF_UP) != 0;
        const size_t attributes_at = NLMSG_LENGTH(sizeof(ifinfomsg));
        for_each_attribute(reply + attributes_at, header.nlmsg_len - attributes_at,
                           [&](unsigned type, const uint8_t *payload, size_t size) {
                               if (type != IFLA_LINKINFO) {
                                   return;
                               }
                               for_each_attribute(payload, size,
                                                  [&](unsigned t, const uint8_t *p, size_t s) {
                                                      if (t == IFLA_INFO_DATA) {
                                                          read_can_data(p, s, state);
                                                      }
                                                  });
                           });
        return state;
    }
}

} // namespace vehcan::sim

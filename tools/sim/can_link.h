// SPDX-License-Identifier: MIT
// The state of a CAN interface as the kernel reports it over rtnetlink:
// whether it is up, its bit rate and whether it is listen-only. The
// simulator's bus-rate gate and the rig's tests read it.
#ifndef VEHCAN_TOOLS_SIM_CAN_LINK_H
#define VEHCAN_TOOLS_SIM_CAN_LINK_H

#include <cstdint>

namespace vehcan::sim {

struct LinkState {
    bool exists = false;
    bool up = false;
    uint32_t bitrate = 0; // 0 while the interface has no bit timing yet
    bool listen_only = false;

    bool operator==(const LinkState &) const = default;
};

// Queries one interface by name. Keeps a netlink socket open for its life.
class LinkWatcher {
  public:
    explicit LinkWatcher(const char *interface);
    ~LinkWatcher();
    LinkWatcher(const LinkWatcher &) = delete;
    LinkWatcher &operator=(const LinkWatcher &) = delete;

    // The current state; exists is false when the interface is missing or
    // the query failed.
    LinkState query();
    // Whether the kernel announced a change of any link (up, down, a new bit
    // timing) since the last call: a cheap look at the link notifications,
    // so that a caller may cache query() and still see a change at once.
    // True also when notifications were lost or cannot be had.
    bool changed();

  private:
    const char *interface_;
    int fd_ = -1;
    int events_ = -1; // subscribed to RTMGRP_LINK, non-blocking
    uint32_t sequence_ = 0;
};

} // namespace vehcan::sim

#endif

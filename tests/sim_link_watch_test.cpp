// SPDX-License-Identifier: MIT
// The simulator's view of a link: a change is seen at the next look, not
// at the next timed query. Runs in a network namespace of its own, on its
// loopback interface (skipped where a namespace cannot be had).
#include "can_link.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

using vehcan::sim::LinkState;
using vehcan::sim::LinkWatcher;

// Sets lo's IFF_UP as `ip link set lo up|down` would.
bool set_loopback_up(bool up) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool done = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (done) {
        request.ifr_flags =
            static_cast<short>(up ? (request.ifr_flags | IFF_UP) : (request.ifr_flags & ~IFF_UP));
        done = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    ::close(fd);
    return done;
}

TEST(LinkWatch, AChangeIsAnnouncedAtTheNextLookAndOnlyOnce) {
    if (::unshare(CLONE_NEWNET) != 0) {
        GTEST_SKIP() << "no network namespace of the test's own";
    }
    LinkWatcher watcher("lo");
    const LinkState down = watcher.query();
    ASSERT_TRUE(down.exists);
    EXPECT_FALSE(down.up); // a new namespace's loopback starts down
    EXPECT_FALSE(watcher.changed());

    ASSERT_TRUE(set_loopback_up(true));
    EXPECT_TRUE(watcher.changed());
    EXPECT_TRUE(watcher.query().up);
    EXPECT_FALSE(watcher.changed()) << "the announcement was taken by the first look";

    ASSERT_TRUE(set_loopback_up(false));
    EXPECT_TRUE(watcher.changed());
    EXPECT_FALSE(watcher.query().up);
    EXPECT_FALSE(watcher.changed());
}

TEST(LinkWatch, AMissingInterfaceDoesNotExist) {
    LinkWatcher watcher("vehcan-none0");
    EXPECT_EQ(watcher.query(), LinkState{});
}

} // namespace

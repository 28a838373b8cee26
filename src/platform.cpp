// SPDX-License-Identifier: MIT
// The production platform: every entry is the real Linux call.
#include "platform.h"

#include <cstdlib>
#include <net/if.h>
#include <unistd.h>

namespace vehcan::detail {
namespace {

mqd_t real_mq_open(const char *name, int flags, mode_t mode, mq_attr *attr) {
    return ::mq_open(name, flags, mode, attr);
}

const Platform kLinux = {
    .socket = ::socket,
    .setsockopt = ::setsockopt,
    .bind = ::bind,
    .recvfrom = ::recvfrom,
    .recvmsg = ::recvmsg,
    .recvmmsg = ::recvmmsg,
    .sendto = ::sendto,
    .close = ::close,
    .if_nametoindex = ::if_nametoindex,
    .system = ::system,
    .mq_open = real_mq_open,
    .mq_send = ::mq_send,
    .mq_receive = ::mq_receive,
    .mq_timedreceive = ::mq_timedreceive,
    .mq_unlink = ::mq_unlink,
    .access = ::access,
    .setrlimit = ::setrlimit,
    .queue_depth = 5000,
    .poll = ::poll,
    .clock_gettime = ::clock_gettime,
    .pthread_create = ::pthread_create,
};

Platform g_platform = kLinux;

} // namespace

Platform &platform() {
    return g_platform;
}

const Platform &linux_platform() {
    return kLinux;
}

} // namespace vehcan::detail

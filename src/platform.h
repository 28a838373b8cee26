// SPDX-License-Identifier: MIT
// The operating-system calls of the J1939 stack, behind one table of function
// pointers. Production uses the real Linux calls; tests install their own
// table to script the platform (which rates show traffic, which call fails)
// and may shrink the queue depth so that real queues fit the default limits.
// Internal: nothing here is exported from the shared library.
#ifndef VEHCAN_SRC_PLATFORM_H
#define VEHCAN_SRC_PLATFORM_H

#include <mqueue.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

namespace vehcan::detail {

struct Platform {
    // ---- sockets ----
    int (*socket)(int domain, int type, int protocol);
    int (*setsockopt)(int fd, int level, int name, const void *value, socklen_t len);
    int (*bind)(int fd, const sockaddr *addr, socklen_t len);
    ssize_t (*recvfrom)(int fd, void *buf, size_t len, int flags, sockaddr *from,
                        socklen_t *from_len);
    ssize_t (*recvmsg)(int fd, msghdr *message, int flags);
    // Several messages in one call; with MSG_WAITFORONE it waits for the
    // first only (the socket's receive time-out applies) and takes what else
    // is already there.
    int (*recvmmsg)(int fd, mmsghdr *messages, unsigned int count, int flags, timespec *timeout);
    ssize_t (*sendto)(int fd, const void *buf, size_t len, int flags, const sockaddr *to,
                      socklen_t to_len);
    int (*close)(int fd);
    unsigned int (*if_nametoindex)(const char *name);

    // ---- shell ----
    int (*system)(const char *command);

    // ---- message queues ----
    mqd_t (*mq_open)(const char *name, int flags, mode_t mode, mq_attr *attr);
    int (*mq_send)(mqd_t q, const char *msg, size_t len, unsigned int prio);
    ssize_t (*mq_receive)(mqd_t q, char *msg, size_t len, unsigned int *prio);
    // Waits and receives in one call on a blocking descriptor, until the
    // CLOCK_REALTIME instant deadline (a deadline in the past: no wait).
    ssize_t (*mq_timedreceive)(mqd_t q, char *msg, size_t len, unsigned int *prio,
                               const timespec *deadline);
    int (*mq_unlink)(const char *name);
    int (*access)(const char *path, int mode);
    int (*setrlimit)(int resource, const rlimit *limit);
    long queue_depth; // mq_maxmsg of the three queues

    // ---- waiting, time and threads ----
    int (*poll)(pollfd *fds, nfds_t n, int timeout_ms);
    int (*clock_gettime)(clockid_t clock, timespec *now);
    int (*pthread_create)(pthread_t *thread, const pthread_attr_t *attr, void *(*body)(void *),
                          void *arg);
};

// The table in force. Tests replace it before they start the stack and
// restore linux_platform() afterwards.
Platform &platform();

// The production table: the real calls and a depth of 5000 records.
const Platform &linux_platform();

} // namespace vehcan::detail

#endif

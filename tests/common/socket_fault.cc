#include "common/socket_fault.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct Fault {
    int err = 0;
    int left = 0;

    // Whether this call is to fail; errno is set when it is.
    bool strikes() {
        if (left <= 0) {
            return false;
        }
        left--;
        errno = err;
        return true;
    }
};

// Each thread arms its own: a loop served on a thread of its own fails its
// calls, and the test's peer, on another, is left alone.
thread_local Fault any_send;
thread_local Fault send_with_fd;
thread_local Fault any_receive;
thread_local int sends_failed;

bool passes_descriptor(const msghdr *msg) {
    for (cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr *>(msg), c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            return true;
        }
    }
    return false;
}

}  // namespace

namespace testutil {

void send_fault_arm(int err, int times) {
    any_send = {err, times};
}

void send_fd_fault_arm(int err, int times) {
    send_with_fd = {err, times};
}

void recv_fault_arm(int err, int times) {
    any_receive = {err, times};
}

int send_faults_injected() {
    return sends_failed;
}

}  // namespace testutil

// Defined in the program, these are found before the system library's.
extern "C" ssize_t sendmsg(int fd, const msghdr *msg, int flags) {
    if (any_send.strikes() || (passes_descriptor(msg) && send_with_fd.strikes())) {
        sends_failed++;
        return -1;
    }
    return syscall(SYS_sendmsg, fd, msg, flags);
}

extern "C" ssize_t recvmsg(int fd, msghdr *msg, int flags) {
    if (any_receive.strikes()) {
        return -1;
    }
    return syscall(SYS_recvmsg, fd, msg, flags);
}

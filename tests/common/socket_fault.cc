#include "common/send_fault.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
int fault_errno;
int faults_left;
int faults_made;
}  // namespace

namespace testutil {

void send_fault_arm(int err, int times) {
    fault_errno = err;
    faults_left = times;
}

int send_faults_injected() {
    return faults_made;
}

}  // namespace testutil

// Defined in the program, this one is found before the system library's.
extern "C" ssize_t sendmsg(int fd, const msghdr *msg, int flags) {
    if (faults_left > 0) {
        faults_left--;
        faults_made++;
        errno = fault_errno;
        return -1;
    }
    return syscall(SYS_sendmsg, fd, msg, flags);
}

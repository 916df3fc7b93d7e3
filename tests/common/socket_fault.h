// Failures of the socket calls on demand. A binary that links
// socket_fault.cc has its own sendmsg() and recvmsg(), which the code under
// test calls instead of the system library's: once armed, they fail the
// next few calls of the thread that armed them with the given error and
// pass every other call straight to the kernel.
#pragma once

namespace testutil {

// The next `times` calls of sendmsg() in this process fail with err.
void send_fault_arm(int err, int times);

// The next `times` calls of sendmsg() that pass a descriptor fail with err;
// calls without one go through.
void send_fd_fault_arm(int err, int times);

// The next `times` calls of recvmsg() in this process fail with err.
void recv_fault_arm(int err, int times);

// How many sendmsg() calls have been failed on purpose so far in this
// thread.
int send_faults_injected();

}  // namespace testutil

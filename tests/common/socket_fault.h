// Transient send failures on demand. A binary that links send_fault.cc has
// its own sendmsg(), which the code under test calls instead of the system
// library's: once armed, it fails the next few calls with the given error
// and passes every other call straight to the kernel.
#pragma once

namespace testutil {

// The next `times` calls of sendmsg() in this process fail with err.
void send_fault_arm(int err, int times);

// How many calls have been failed on purpose so far in this process.
int send_faults_injected();

}  // namespace testutil

// What /proc shows of a backend: its memory, its descriptors, the system
// call it waits in. Each answers -1 or false when the process or the file
// cannot be read.
#pragma once

#include <sys/types.h>

namespace peer {

// A field of /proc/PID/status in kB ("VmRSS", "VmHWM"), or -1.
long proc_status_kb(pid_t pid, const char *field);
// The leading number of /proc/PID/NAME ("schedstat", "syscall"); false when
// the file cannot be read or does not start with a number.
bool proc_leading_number(pid_t pid, const char *name, long long &out);
// The number of descriptors the process has open, or -1.
int proc_fd_count(pid_t pid);
// The descriptors a backend holds between requests. Every read of the
// channel is preceded by a probe that opens and closes two sockets, so the
// count is taken once the backend is blocked in its receive (as
// /proc/PID/syscall shows; without access to it, or when it never gets
// there, the count is taken as it stands). -1 when there is no such process.
int backend_fd_count(pid_t pid);

}  // namespace peer

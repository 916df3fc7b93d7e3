// Runs a program in a sandbox that refuses network sockets, as a service
// manager's address-family restriction does: every later socket() of
// AF_INET or AF_INET6 fails with EAFNOSUPPORT, local sockets still work.
//
//   no_inet_exec PROGRAM [ARG...]
//
// Exits 2 when the sandbox cannot be made, 127 when PROGRAM cannot start.
#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include "common/syscall_fault.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: no_inet_exec PROGRAM [ARG...]\n");
        return 2;
    }
    if (!testutil::refuse_inet_sockets(EAFNOSUPPORT)) {
        perror("no_inet_exec: seccomp");
        return 2;
    }
    execv(argv[1], argv + 1);
    perror("no_inet_exec: execv");
    return 127;
}

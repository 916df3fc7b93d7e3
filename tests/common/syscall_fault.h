// Failures the system rarely gives, made on demand: a seccomp filter that
// answers one system call with an error from then on, so that tests can
// show how code copes with a failed unlink, lseek and the like.
//
// The filter cannot be removed again, so install it only in a forked child
// that ends after the case (or a process that execs what it tests). It
// needs no privilege.
#pragma once

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cstddef>
#include <vector>

namespace testutil {

#if defined(__x86_64__)
// Installs a filter that lets every call of another architecture through,
// loads the call's number and then runs `rules`, which must end in a
// return.
inline bool install_filter(const std::vector<sock_filter> &rules) {
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    code.insert(code.end(), rules.begin(), rules.end());
    sock_fprog prog{static_cast<unsigned short>(code.size()), code.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

inline sock_filter return_error(int err) {
    return BPF_STMT(BPF_RET | BPF_K,
                    SECCOMP_RET_ERRNO | (static_cast<unsigned>(err) & SECCOMP_RET_DATA));
}
#endif

// Makes every later call of the system call numbered nr fail with err.
// False when this system cannot filter system calls.
inline bool fail_syscall(long nr, int err) {
#if defined(__x86_64__)
    return install_filter({
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 1),
        return_error(err),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    });
#else
    (void)nr;
    (void)err;
    return false;
#endif
}

// Makes every later socket() of the address families AF_INET and AF_INET6
// fail with err, as a sandbox that allows local sockets alone does. False
// when this system cannot filter system calls.
inline bool refuse_inet_sockets(int err) {
#if defined(__x86_64__)
    return install_filter({
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
        return_error(err),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    });
#else
    (void)err;
    return false;
#endif
}

}  // namespace testutil

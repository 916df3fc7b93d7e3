#include "channel/wait.h"

#include <errno.h>
#include <poll.h>

void imsg_pause(int ms) {
    poll(nullptr, 0, ms);
}

void imsg_wait_ready(int fd, short events) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = poll(&p, 1, -1);
    } while (r == -1 && errno == EINTR);
    if (r == -1) {
        imsg_pause(1);
    }
}

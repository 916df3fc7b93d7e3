// The composition root: the only place that knows both the frame and the
// store.
#include <unistd.h>

#include "frame/queue_api.h"
#include "log/log.h"

int main(int argc, char *argv[]) {
    log_open(1);

    // No option is defined: any option at all is fatal, and getopt's own
    // diagnostic names it first. A leading '+' keeps glibc from permuting,
    // so parsing stops at the first operand and nothing after it is looked at.
    while (getopt(argc, argv, "+") != -1) {
        die("bad option");
    }

    // The loop returns only once the channel has ended, which is a normal
    // end of service.
    queue_api_run();
    return 0;
}

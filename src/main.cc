// The composition root: start-up of the backend.
#include <unistd.h>

#include "frame/queue_api.h"
#include "log/log.h"
#include "wiring.h"

int main(int argc, char *argv[]) {
    log_open(1);

    // No option is defined: any option at all is fatal, and getopt's own
    // diagnostic names it first. A leading '+' keeps glibc from permuting,
    // so parsing stops at the first operand and nothing after it is looked at.
    while (getopt(argc, argv, "+") != -1) {
        die("bad option");
    }

    install_store_handlers();

    // The loop returns only once the channel has ended, which is a normal
    // end of service.
    queue_api_run();
    return 0;
}

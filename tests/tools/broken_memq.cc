// The real backend with one fault put in on purpose, chosen by the
// environment variable BROKEN_MEMQ, so that tests can see memq-peer check
// catch it:
//   flip-envelope  every envelope read comes back with one byte changed;
//   exit-on-open   the process ends without answering the first open;
//   noisy-store    every store logs a line that no step expects.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "frame/queue_api.h"
#include "log/log.h"
#include "store/memq.h"

namespace {

int flipped_envelope_read(uint64_t evpid, std::span<uint8_t> buf) {
    int n = memq_envelope_read(evpid, buf);
    if (n > 0) {
        buf[static_cast<size_t>(n) / 2] ^= 0x20;
    }
    return n;
}

int vanishing_open(uint32_t) {
    _exit(3);
}

int noisy_store(uint32_t msgid, const char *path) {
    log_warning("warn: broken_memq: a line no step expects");
    return memq_message_store(msgid, path);
}

}  // namespace

int main() {
    // Its log goes to standard error, as memq's does: memq-peer shows the
    // backend's lines from there, and holds each step to those it expects.
    log_open(1);
    const char *fault = getenv("BROKEN_MEMQ");
    if (fault == nullptr) {
        return 2;
    }
    stored_messages = tree{};
    queue_api_set_message_new(memq_message_new);
    queue_api_set_message_store(strcmp(fault, "noisy-store") == 0 ? noisy_store
                                                                  : memq_message_store);
    queue_api_set_message_remove(memq_message_remove);
    queue_api_set_message_open(strcmp(fault, "exit-on-open") == 0 ? vanishing_open
                                                                  : memq_message_open);
    queue_api_set_message_mark(memq_message_mark);
    queue_api_set_message_unmark(memq_message_unmark);
    queue_api_set_envelope_new(memq_envelope_new);
    queue_api_set_envelope_remove(memq_envelope_remove);
    queue_api_set_envelope_replace(memq_envelope_replace);
    queue_api_set_envelope_read(strcmp(fault, "flip-envelope") == 0 ? flipped_envelope_read
                                                                    : memq_envelope_read);
    queue_api_set_envelope_iterate(memq_envelope_iterate);
    queue_api_set_message_iterate(memq_message_iterate);
    queue_api_run();
    return 0;
}

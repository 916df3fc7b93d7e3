#include "frame/queue_api.h"

queue_handler_table queue_handlers;

namespace {
const char *root_dir = "/var/spool/mavid";
const char *run_as_user = "_mavidq";
}  // namespace

void queue_api_set_finish(int (*fn)()) {
    queue_handlers.finish = fn;
}
void queue_api_set_message_new(int (*fn)(uint32_t *)) {
    queue_handlers.message_new = fn;
}
void queue_api_set_message_store(int (*fn)(uint32_t, const char *)) {
    queue_handlers.message_store = fn;
}
void queue_api_set_message_remove(int (*fn)(uint32_t)) {
    queue_handlers.message_remove = fn;
}
void queue_api_set_message_open(int (*fn)(uint32_t)) {
    queue_handlers.message_open = fn;
}
void queue_api_set_message_mark(int (*fn)(uint32_t)) {
    queue_handlers.message_mark = fn;
}
void queue_api_set_message_unmark(int (*fn)(uint32_t)) {
    queue_handlers.message_unmark = fn;
}
void queue_api_set_envelope_new(int (*fn)(uint32_t, std::span<const uint8_t>, uint64_t *)) {
    queue_handlers.envelope_new = fn;
}
void queue_api_set_envelope_remove(int (*fn)(uint64_t)) {
    queue_handlers.envelope_remove = fn;
}
void queue_api_set_envelope_replace(int (*fn)(uint64_t, std::span<const uint8_t>)) {
    queue_handlers.envelope_replace = fn;
}
void queue_api_set_envelope_read(int (*fn)(uint64_t, std::span<uint8_t>)) {
    queue_handlers.envelope_read = fn;
}
void queue_api_set_envelope_iterate(int (*fn)(uint64_t *, std::span<uint8_t>)) {
    queue_handlers.envelope_iterate = fn;
}
void queue_api_set_message_iterate(int (*fn)(uint64_t *, std::span<uint8_t>, uint32_t, int, int)) {
    queue_handlers.message_iterate = fn;
}

void queue_api_set_root_dir(const char *path) {
    root_dir = path;
}
void queue_api_clear_root_dir() {
    root_dir = nullptr;
}
void queue_api_run_as(const char *user) {
    run_as_user = user;
}

// The backend frame: the table of storage handlers, the two confinement
// settings, and the dispatch loop that serves the queue protocol on
// descriptor 0.
//
// The storage side is reached only through queue_handlers, filled once by
// start-up through the setters below. Single-threaded; every setter and
// setting takes effect only when made before queue_api_run().
#pragma once

#include <cstdint>
#include <span>

// One slot per storage operation; a null slot is only tested for `finish`
// (the loop then answers 1). Borrowed spans and places are valid only during
// the call; a handler copies what it keeps.
struct queue_handler_table {
    int (*finish)();
    // Writes the new msgid to *msgid; 1 on success.
    int (*message_new)(uint32_t *msgid);
    // Reads the content from the file at path (owned by the loop); 1 stored.
    int (*message_store)(uint32_t msgid, const char *path);
    int (*message_remove)(uint32_t msgid);
    // A descriptor holding the content, positioned at its start, or -1. The
    // descriptor passes to the channel, which closes it once sent.
    int (*message_open)(uint32_t msgid);
    int (*message_mark)(uint32_t msgid);
    int (*message_unmark)(uint32_t msgid);
    // Writes the new envelope id to *evpid; 1 on success.
    int (*envelope_new)(uint32_t msgid, std::span<const uint8_t> data, uint64_t *evpid);
    int (*envelope_remove)(uint64_t evpid);
    int (*envelope_replace)(uint64_t evpid, std::span<const uint8_t> data);
    // Fills buf and returns the count placed, 0 when there is nothing.
    int (*envelope_read)(uint64_t evpid, std::span<uint8_t> buf);
    // Above 0: that many bytes in buf and an id in *evpid.
    int (*envelope_iterate)(uint64_t *evpid, std::span<uint8_t> buf);
    int (*message_iterate)(uint64_t *id, std::span<uint8_t> buf, uint32_t value, int, int);
};

extern queue_handler_table queue_handlers;

void queue_api_set_finish(int (*fn)());
void queue_api_set_message_new(int (*fn)(uint32_t *));
void queue_api_set_message_store(int (*fn)(uint32_t, const char *));
void queue_api_set_message_remove(int (*fn)(uint32_t));
void queue_api_set_message_open(int (*fn)(uint32_t));
void queue_api_set_message_mark(int (*fn)(uint32_t));
void queue_api_set_message_unmark(int (*fn)(uint32_t));
void queue_api_set_envelope_new(int (*fn)(uint32_t, std::span<const uint8_t>, uint64_t *));
void queue_api_set_envelope_remove(int (*fn)(uint64_t));
void queue_api_set_envelope_replace(int (*fn)(uint64_t, std::span<const uint8_t>));
void queue_api_set_envelope_read(int (*fn)(uint64_t, std::span<uint8_t>));
void queue_api_set_envelope_iterate(int (*fn)(uint64_t *, std::span<uint8_t>));
void queue_api_set_message_iterate(int (*fn)(uint64_t *, std::span<uint8_t>, uint32_t, int, int));

// The settings keep the caller's pointer; the text must outlive the loop.
// Defaults: root "/var/spool/mavid", account "_mavidq". No root directory
// means no chroot; no account means the ids and groups stay as they are.
void queue_api_set_root_dir(const char *path);
void queue_api_clear_root_dir();
void queue_api_run_as(const char *user);

// Confines the process, then serves requests on descriptor 0 until the peer
// closes it or reading fails, and returns 1. Protocol violations, failed
// confinement and replies that cannot be queued end the process with status
// 1. Stored content passes through a file under "/tmp" of the new root,
// removed before the reply.
int queue_api_run();

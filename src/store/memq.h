// The in-memory queue store: every message's content and every envelope,
// kept in this process and nowhere else.
//
// stored_messages maps msgid -> memq_message; each message maps its
// envelope ids (msgid in the upper 32 bits) -> memq_envelope. Records own
// their bytes. Single-threaded: even lookups restructure the trees.
//
// The handlers fill the frame's handler table; each failure is one warning
// line and a failure result, and leaves the store as it was.
#pragma once

#include <cstdint>
#include <span>

#include "store/tree.h"

struct memq_message {
    uint8_t *content;
    uint64_t length;
    tree envelopes;
};

struct memq_envelope {
    uint8_t *data;
    uint64_t length;
};

extern tree stored_messages;

int memq_message_new(uint32_t *msgid);
int memq_message_store(uint32_t msgid, const char *path);
int memq_message_remove(uint32_t msgid);
int memq_message_open(uint32_t msgid);
int memq_message_mark(uint32_t msgid);
int memq_message_unmark(uint32_t msgid);
int memq_envelope_new(uint32_t msgid, std::span<const uint8_t> data, uint64_t *evpid);
int memq_envelope_remove(uint64_t evpid);
int memq_envelope_replace(uint64_t evpid, std::span<const uint8_t> data);
int memq_envelope_read(uint64_t evpid, std::span<uint8_t> buf);
int memq_envelope_iterate(uint64_t *evpid, std::span<uint8_t> buf);
int memq_message_iterate(uint64_t *id, std::span<uint8_t> buf, uint32_t value, int, int);

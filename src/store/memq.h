// The in-memory queue store: every message's content and every envelope,
// kept in this process and nowhere else.
//
// stored_messages maps msgid -> memq_message; each message maps its
// envelope ids (msgid in the upper 32 bits) -> memq_envelope. Records own
// their bytes. Single-threaded: even lookups restructure the trees.
//
// The handlers fill the frame's handler table; each failure is one warning
// line and a failure result, and leaves the store as it was. No handler
// ends the process: a record's tree node is obtained with the record, before
// anything is filed. Memory freed by removals and replacements goes back to
// the system once it is more than a small share of what the store holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "store/tree.h"

// The loop reads an envelope back into a buffer of this size, so a longer
// one could be stored but never read again. Must equal the frame's
// QUEUE_ENVELOPE_BUF; src/wiring.cc, which knows both, checks that it does.
inline constexpr size_t MEMQ_ENVELOPE_MAX = 8192;

// Invariant: content holds exactly length bytes (null when length is 0).
struct memq_message {
    uint8_t *content;
    uint64_t length;
    tree envelopes;
};

struct memq_envelope {
    uint8_t *data;
    uint64_t length;
};

// Zero-filled means empty; start-up empties it before the loop runs.
extern tree stored_messages;

// Files an empty message under a fresh msgid written to *msgid: 1. On a
// failed allocation 0, with *msgid untouched.
int memq_message_new(uint32_t *msgid);

// Replaces the message's content with the whole file at path (the caller's,
// only read): 1. On any failure 0, and the message keeps its old content.
int memq_message_store(uint32_t msgid, const char *path);

// Frees the message, its content and all its envelopes. Always 0, also
// after the warning for an absent msgid.
int memq_message_remove(uint32_t msgid);

// A new descriptor, owned by the caller, on a nameless file holding exactly
// the content and positioned at its start; -1 after a warning, also when
// the content would pass the file-size limit (EFBIG).
int memq_message_open(uint32_t msgid);

// Removes the message as memq_message_remove() does; always 0.
int memq_message_mark(uint32_t msgid);

// Changes nothing; always 0.
int memq_message_unmark(uint32_t msgid);

// Copies data into a new envelope of the message and writes its id to
// *evpid: 1. 0 when the message is absent, data exceeds MEMQ_ENVELOPE_MAX
// or memory runs out; *evpid may then hold an unused id.
int memq_envelope_new(uint32_t msgid, std::span<const uint8_t> data, uint64_t *evpid);

// Frees the envelope, and its message with it when it was the last: 1.
// 0 when either is absent.
int memq_envelope_remove(uint64_t evpid);

// Replaces the envelope's bytes with a copy of data: 1. On any failure 0,
// and the old bytes stay.
int memq_envelope_replace(uint64_t evpid, std::span<const uint8_t> data);

// Copies the envelope into buf and returns its length; 0 when absent or
// longer than buf, which is indistinguishable from an empty envelope.
int memq_envelope_read(uint64_t evpid, std::span<uint8_t> buf);

// No walk is offered: both always give -1 and write nothing.
int memq_envelope_iterate(uint64_t *evpid, std::span<uint8_t> buf);
int memq_message_iterate(uint64_t *id, std::span<uint8_t> buf, uint32_t value, int, int);

#include "store/memq.h"

#include <errno.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame/ids.h"
#include "log/log.h"
#include "support/unique.h"

tree stored_messages;

namespace {

using unique_bytes = unique_malloc<uint8_t>;
using unique_envelope = unique_malloc<memq_envelope>;

memq_message *find_message(uint32_t msgid) {
    return static_cast<memq_message *>(tree_lookup(&stored_messages, msgid));
}

// The upper half of an envelope id is its message's msgid.
memq_message *find_owner(uint64_t evpid) {
    return find_message(static_cast<uint32_t>(evpid >> 32));
}

// The envelope an id names, or null after the warning that says which half
// of the id found nothing.
memq_envelope *find_envelope(uint64_t evpid) {
    memq_message *msg = find_owner(evpid);
    if (msg == nullptr) {
        log_warning("warn: message not found");
        return nullptr;
    }
    auto *env = static_cast<memq_envelope *>(tree_lookup(&msg->envelopes, evpid));
    if (env == nullptr) {
        log_warning("warn: not found");
    }
    return env;
}

// A copy of bytes that the caller owns; null data for no bytes at all, so
// that an empty envelope costs no allocation. False when memory ran out.
bool copy_bytes(std::span<const uint8_t> bytes, unique_bytes &out) {
    if (bytes.empty()) {
        out.reset();
        return true;
    }
    out.reset(static_cast<uint8_t *>(malloc(bytes.size())));
    if (!out) {
        return false;
    }
    memcpy(out.get(), bytes.data(), bytes.size());
    return true;
}

// The system allocator keeps what is freed for later use, and gives back
// only what lies at the top of its heap: a queue that fills and drains in
// any other order would keep its peak for as long as it runs. So the store
// counts what it frees and hands the free pages back (malloc_trim) once that
// is more than an eighth of what it holds, or 256 KiB when it holds little.
// Handing back walks the allocator's free blocks, and pages handed back cost
// a fault when used again; the share keeps both in proportion to what was
// freed, and bounds what a steady queue keeps beyond its data. A queue that
// empties hands back all but the last 256 KiB it freed.
constexpr uint64_t GIVE_BACK_FLOOR = 256 << 10;
constexpr uint64_t GIVE_BACK_SHARE = 8;

// Content and envelope bytes held, with their records.
uint64_t held_bytes;
uint64_t freed_bytes;

constexpr uint64_t MESSAGE_COST = sizeof(memq_message) + sizeof(tree_node);
constexpr uint64_t ENVELOPE_COST = sizeof(memq_envelope) + sizeof(tree_node);

void note_held(uint64_t n) {
    held_bytes += n;
}

void note_freed(uint64_t n) {
    held_bytes -= std::min(held_bytes, n);
    freed_bytes += n;
}

void give_back_freed_memory() {
    if (freed_bytes >= std::max(GIVE_BACK_FLOOR, held_bytes / GIVE_BACK_SHARE)) {
        malloc_trim(0);
        freed_bytes = 0;
    }
}

void free_envelope(memq_envelope *env) {
    note_freed(env->length + ENVELOPE_COST);
    free(env->data);
    free(env);
}

void free_message(memq_message *msg) {
    void *env;
    while (tree_take_root(&msg->envelopes, nullptr, &env) != 0) {
        free_envelope(static_cast<memq_envelope *>(env));
    }
    note_freed(msg->length + MESSAGE_COST);
    free(msg->content);
    free(msg);
}

}  // namespace

// Everything a new record needs is obtained before it is filed, so that a
// failure leaves the store as it was and the filing itself cannot fail.
int memq_message_new(uint32_t *msgid) {
    auto *msg = static_cast<memq_message *>(calloc(1, sizeof(memq_message)));
    if (msg == nullptr) {
        log_warning_errno("warn: calloc");
        return 0;
    }
    tree_node *node = tree_node_new();
    if (node == nullptr) {
        log_warning_errno("warn: malloc");
        free(msg);
        return 0;
    }
    do {
        *msgid = new_msgid();
    } while (tree_contains(&stored_messages, *msgid) != 0);
    tree_xset_node(&stored_messages, node, *msgid, msg);
    note_held(MESSAGE_COST);
    return 1;
}

int memq_message_store(uint32_t msgid, const char *path) {
    memq_message *msg = find_message(msgid);
    if (msg == nullptr) {
        log_warning("warn: msgid not found");
        return 0;
    }
    unique_file f(fopen(path, "rb"));
    if (!f) {
        log_warning_errno("warn: fopen: \"%s\"", path);
        return 0;
    }
    struct stat sb;
    if (fstat(fileno(f.get()), &sb) == -1) {
        log_warning_errno("warn: fstat");
        return 0;
    }
    auto size = static_cast<size_t>(sb.st_size);

    // The new content goes into a buffer of its own and replaces the old
    // one only once all of it has been read: a failed store must not cost
    // the message what it already held.
    unique_bytes content;
    if (size > 0) {
        content.reset(static_cast<uint8_t *>(malloc(size)));
        if (!content) {
            log_warning_errno("warn: malloc");
            return 0;
        }
        // Unbuffered, the one read goes straight into the content; a stdio
        // buffer would cost an allocation and a second copy of every byte.
        setvbuf(f.get(), nullptr, _IONBF, 0);
        size_t n = fread(content.get(), 1, size, f.get());
        if (ferror(f.get()) != 0) {
            log_warning_errno("warn: fread");
            return 0;
        }
        if (n != size) {
            log_warning("warn: bad read");
            return 0;
        }
    }
    note_freed(msg->length);
    note_held(size);
    free(msg->content);
    msg->content = content.release();
    msg->length = size;
    give_back_freed_memory();
    return 1;
}

int memq_message_remove(uint32_t msgid) {
    auto *msg = static_cast<memq_message *>(tree_remove(&stored_messages, msgid));
    if (msg == nullptr) {
        log_warning("warn: not found");
        return 0;
    }
    free_message(msg);
    give_back_freed_memory();
    return 0;
}

int memq_message_open(uint32_t msgid) {
    memq_message *msg = find_message(msgid);
    if (msg == nullptr) {
        log_warning("warn: not found");
        return -1;
    }
    unique_fd fd(mktmpfile());
    if (fd.get() == -1) {
        log_warning_errno("warn: mktmpfile");
        return -1;
    }
    // The content is written through a second descriptor so that closing
    // the stream leaves the one we hand out open.
    unique_fd copy(dup(fd.get()));
    if (copy.get() == -1) {
        log_warning_errno("warn: dup");
        return -1;
    }
    unique_file f(fdopen(copy.get(), "w"));
    if (!f) {
        log_warning_errno("warn: fdopen");
        return -1;
    }
    copy.release();
    // Unbuffered, every byte that fails to reach the file shows in the
    // write's count; a buffered tail could only fail in the close, after
    // the content had been taken for written.
    setvbuf(f.get(), nullptr, _IONBF, 0);
    // A write past the file-size limit would raise SIGXFSZ and end the
    // backend; content that cannot fit fails as a short write does.
    if (msg->length > file_size_limit()) {
        errno = EFBIG;
        log_warning_errno("warn: write");
        return -1;
    }
    if (msg->length > 0 && fwrite(msg->content, 1, msg->length, f.get()) != msg->length) {
        log_warning_errno("warn: write");
        return -1;
    }
    f.reset();
    // Handed out at its end, the file would read as empty although the
    // reply says the open succeeded.
    if (lseek(fd.get(), 0, SEEK_SET) == -1) {
        log_warning_errno("warn: lseek");
        return -1;
    }
    return fd.release();
}

int memq_message_mark(uint32_t msgid) {
    return memq_message_remove(msgid);
}

int memq_message_unmark(uint32_t) {
    return 0;
}

// The size is checked before the message is looked up: an envelope that
// could never be read back is refused whatever the store holds, so the peer
// always gets the same answer for the same request, and a refused request
// leaves even the trees' shape alone.
int memq_envelope_new(uint32_t msgid, std::span<const uint8_t> data, uint64_t *evpid) {
    if (data.size() > MEMQ_ENVELOPE_MAX) {
        log_warning("warn: envelope too large");
        return 0;
    }
    memq_message *msg = find_message(msgid);
    if (msg == nullptr) {
        log_warning("warn: message not found");
        return 0;
    }
    do {
        *evpid = new_envelope_id(msgid);
    } while (tree_contains(&msg->envelopes, *evpid) != 0);

    unique_envelope env(static_cast<memq_envelope *>(calloc(1, sizeof(memq_envelope))));
    if (!env) {
        log_warning_errno("warn: calloc");
        return 0;
    }
    unique_bytes bytes;
    if (!copy_bytes(data, bytes)) {
        log_warning_errno("warn: malloc");
        return 0;
    }
    tree_node *node = tree_node_new();
    if (node == nullptr) {
        log_warning_errno("warn: malloc");
        return 0;
    }
    env->data = bytes.release();
    env->length = data.size();
    tree_xset_node(&msg->envelopes, node, *evpid, env.release());
    note_held(data.size() + ENVELOPE_COST);
    return 1;
}

int memq_envelope_remove(uint64_t evpid) {
    memq_message *msg = find_owner(evpid);
    if (msg == nullptr) {
        log_warning("warn: message not found");
        return 0;
    }
    auto *env = static_cast<memq_envelope *>(tree_remove(&msg->envelopes, evpid));
    if (env == nullptr) {
        log_warning("warn: not found");
        return 0;
    }
    free_envelope(env);
    if (SPLAY_EMPTY(&msg->envelopes.root)) {
        tree_xpop(&stored_messages, evpid >> 32);
        free_message(msg);
    }
    give_back_freed_memory();
    return 1;
}

// Checked before the lookup for the same reasons as in memq_envelope_new().
int memq_envelope_replace(uint64_t evpid, std::span<const uint8_t> data) {
    if (data.size() > MEMQ_ENVELOPE_MAX) {
        log_warning("warn: envelope too large");
        return 0;
    }
    memq_envelope *env = find_envelope(evpid);
    if (env == nullptr) {
        return 0;
    }
    unique_bytes bytes;
    if (!copy_bytes(data, bytes)) {
        log_warning_errno("warn: malloc");
        return 0;
    }
    note_freed(env->length);
    note_held(data.size());
    free(env->data);
    env->data = bytes.release();
    env->length = data.size();
    give_back_freed_memory();
    return 1;
}

int memq_envelope_read(uint64_t evpid, std::span<uint8_t> buf) {
    memq_envelope *env = find_envelope(evpid);
    if (env == nullptr) {
        return 0;
    }
    if (env->length > buf.size()) {
        log_warning("warn: buffer too small");
        return 0;
    }
    if (env->length > 0) {
        memmove(buf.data(), env->data, env->length);
    }
    return static_cast<int>(env->length);
}

int memq_envelope_iterate(uint64_t *, std::span<uint8_t>) {
    return -1;
}

int memq_message_iterate(uint64_t *, std::span<uint8_t>, uint32_t, int, int) {
    return -1;
}

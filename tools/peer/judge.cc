#include "peer/judge.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "frame/queue_proto.h"

namespace peer {

namespace {

Judgement wrong(std::string why) {
    Judgement j;
    j.why = std::move(why);
    return j;
}

// A nameless regular file at offset 0 holding exactly want; read by
// position, so that its reader finds it as it came.
bool check_content(int fd, const Bytes &want, std::string &why) {
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_nlink != 0) {
        why = "the opened content is not a nameless file";
        return false;
    }
    if (lseek(fd, 0, SEEK_CUR) != 0) {
        why = "the opened content is not at its start";
        return false;
    }
    Bytes got;
    uint8_t block[65536];
    for (;;) {
        ssize_t n = pread(fd, block, sizeof block, static_cast<off_t>(got.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), block, block + n);
    }
    if (got != want) {
        why = "the opened content differs";
        return false;
    }
    return true;
}

// Whether the reply is the one expected; id receives a new id it brings.
bool matches(uint32_t type, const StoreExpect &e, const Reply &r, uint64_t &id, std::string &why) {
    if (type == QUEUE_MESSAGE_OPEN) {
        if (!r.payload.empty()) {
            why = "open payload";
            return false;
        }
        if (!e.content) {
            why = r.fd.valid() ? "a descriptor where none belongs" : "";
            return !r.fd.valid();
        }
        if (!r.fd.valid()) {
            why = "no descriptor where the content belongs";
            return false;
        }
        return check_content(r.fd.get(), *e.content, why);
    }
    if (type == QUEUE_ENVELOPE_READ) {
        why = "envelope bytes";
        return r.payload == e.envelope;
    }
    if (!e.result) {
        why = "payload where none belongs";
        return r.payload.empty();
    }
    size_t id_size = e.new_id == StoreExpect::NewId::message    ? 4
                     : e.new_id == StoreExpect::NewId::envelope ? 8
                                                                : 0;
    why =
        cat({"result ", std::to_string(*e.result), id_size != 0 ? " and an id" : "", " expected"});
    if (r.payload.size() != 4 + id_size || r.result() != e.result) {
        return false;
    }
    if (id_size == 4) {
        id = *r.u32_at(4);
    } else if (id_size == 8) {
        id = *r.u64_at(4);
    }
    return true;
}

// A failure result where the model predicted success, which memory running
// out may cause; the store keeps what it held.
bool is_failure(uint32_t type, const StoreExpect &e, const Reply &r) {
    auto is_result = [&](int32_t v) { return r.payload.size() == 4 && r.result() == v; };
    switch (type) {
        case QUEUE_MESSAGE_STORE:
            // The loop's own failures come before the store's lookup.
            return is_result(-1) || (e.result == 1 && is_result(0));
        case QUEUE_MESSAGE_NEW:
        case QUEUE_ENVELOPE_NEW:
        case QUEUE_ENVELOPE_REPLACE:
            return e.result == 1 && is_result(0);
        case QUEUE_MESSAGE_OPEN:
            return e.content.has_value() && r.payload.empty() && !r.fd.valid();
        default:
            return false;
    }
}

// What every reply must be, whatever it answers: a reply from no peer in
// particular, a descriptor only where one may come, and the header's flag
// saying whether one came.
bool well_sent(uint32_t type, const Reply &r, std::string &why) {
    if (r.header.type != QUEUE_REPLY || (type != QUEUE_MESSAGE_OPEN && r.fd.valid())) {
        why = "a reply of another type, or with a descriptor";
        return false;
    }
    if (((r.header.flags & wire::FLAG_FD) != 0) != r.fd.valid()) {
        why = "a descriptor flag that does not say whether a descriptor came";
        return false;
    }
    if (r.header.peer_id != 0) {
        why = "a reply that names a peer";
        return false;
    }
    return true;
}

}  // namespace

Judgement judge_reply(uint32_t type, const StoreExpect &e, const Reply &r) {
    Judgement j;
    if (!well_sent(type, r, j.why)) {
        return j;
    }
    if (matches(type, e, r, j.id, j.why)) {
        j.verdict = Verdict::exact;
        j.why.clear();
        return j;
    }
    j.id = 0;
    j.verdict = is_failure(type, e, r) ? Verdict::failure : Verdict::wrong;
    return j;
}

const StoreExpect &Judge::expect(const StoreRequest &r) {
    pending_ = r;
    pending_data_.assign(r.data.begin(), r.data.end());
    pending_->data = pending_data_;
    expected_ = model_.expect(*pending_);
    return expected_;
}

Judgement Judge::judge(const Reply &r) {
    if (!pending_) {
        return wrong("a reply to no request");
    }
    Judgement j = judge_reply(pending_->type, expected_, r);
    if (j.verdict == Verdict::exact && !model_.apply(*pending_, j.id)) {
        j = wrong("a new id the store could not have drawn");
    }
    pending_.reset();
    return j;
}

void LoopModel::receive_fd(PassedFd fd, std::vector<std::string> &lines) {
    fds.push_back(std::move(fd));
    if (fds.size() > MAX_WAITING_FDS) {
        fds.pop_front();
        lines.push_back("warn: queue-proc: unclaimed descriptor closed");
    }
}

namespace {

LoopExpect fatal(LoopExpect &e, const std::string &warning, const char *area) {
    e.lines.push_back(warning);
    e.lines.push_back(cat({"fatal: ", area, ": exiting"}));
    e.fatal = true;
    return e;
}

// The loop's content copy, as each kind of descriptor shows it: none, or
// one that cannot be read as a stream, gives -1 without a line; a read
// error 0 with the copy's line; any other 1, the content copied.
int32_t copy_content(const std::optional<PassedFd> &fd, LoopExpect &e) {
    if (!fd || fd->kind == PassedFd::Kind::unreadable) {
        return -1;
    }
    if (fd->kind == PassedFd::Kind::directory) {
        e.lines.push_back("warn: queue-api: content copy: Is a directory");
        return 0;
    }
    return 1;
}

}  // namespace

LoopExpect LoopModel::serve(uint32_t type, std::span<const uint8_t> payload, bool fd_flag) {
    LoopExpect e;
    std::optional<PassedFd> fd;
    if (fd_flag && !fds.empty()) {
        fd = std::move(fds.front());
        fds.pop_front();
    }
    if (type < QUEUE_HELLO || type > QUEUE_MESSAGE_ITERATE) {
        return fatal(e, "warn: queue-api: bad message " + std::to_string(static_cast<int>(type)),
                     "queue-api");
    }
    size_t fixed = 4;
    bool open_ended = false;
    switch (type) {
        case QUEUE_FINISH:
        case QUEUE_MESSAGE_NEW:
        case QUEUE_ENVELOPE_ITERATE:
            fixed = 0;
            break;
        case QUEUE_ENVELOPE_REMOVE:
        case QUEUE_ENVELOPE_READ:
            fixed = 8;
            break;
        case QUEUE_ENVELOPE_REPLACE:
            fixed = 8;
            open_ended = true;
            break;
        case QUEUE_ENVELOPE_NEW:
            open_ended = true;
            break;
        default:
            break;
    }
    if (payload.size() < fixed) {
        return fatal(e, "warn: queue-proc: bad msg len", "queue-proc");
    }
    if (payload.size() > fixed && !open_ended) {
        return fatal(e, "warn: queue-proc: bogus data", "queue-proc");
    }
    if (type == QUEUE_HELLO) {
        uint32_t version;
        memcpy(&version, payload.data(), sizeof version);
        if (version != QUEUE_API_VERSION) {
            return fatal(e, "warn: queue-api: bad API version", "queue-api");
        }
    }
    // From here on the request is the store's, but for the content copy of
    // a store, which the loop makes before the store sees anything.
    std::span<const uint8_t> content;
    if (type == QUEUE_MESSAGE_STORE) {
        int32_t copied = copy_content(fd, e);
        if (copied != 1) {
            e.loop_result = copied;
            judge_.forget();
            return e;
        }
        content = fd->content;
    }
    e.store = judge_.expect(store_request(type, payload, content));
    e.lines.insert(e.lines.end(), e.store.lines.begin(), e.store.lines.end());
    return e;
}

Judgement LoopModel::judge(const Reply &r, const LoopExpect &e) {
    if (!e.loop_result) {
        return judge_.judge(r);
    }
    Judgement j;
    if (well_sent(QUEUE_MESSAGE_STORE, r, j.why)) {
        if (r.fd.valid() || r.payload != wire::u32(static_cast<uint32_t>(*e.loop_result))) {
            j.why = cat({"result ", std::to_string(*e.loop_result), " from the loop expected"});
        } else {
            j.verdict = Verdict::exact;
        }
    }
    return j;
}

}  // namespace peer

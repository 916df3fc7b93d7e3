#include "peer/model.h"

#include <string.h>

#include "frame/queue_proto.h"

namespace peer {

namespace {

StoreExpect result(int32_t r, std::vector<std::string> lines = {}) {
    StoreExpect e;
    e.result = r;
    e.lines = std::move(lines);
    return e;
}

// An envelope a reply could not bring back whole is refused before
// anything is looked up.
bool too_large(std::span<const uint8_t> envelope) {
    return envelope.size() > QUEUE_ENVELOPE_BUF;
}

bool drawn_half_ok(uint32_t v) {
    return v != 0 && v != UINT32_MAX;
}

}  // namespace

StoreRequest store_request(uint32_t type, std::span<const uint8_t> payload,
                           std::span<const uint8_t> content) {
    StoreRequest r;
    r.type = type;
    // The fixed field, when the payload holds it; with_rest: the bytes after
    // it are the request's data.
    auto take = [&](auto &field, bool with_rest) {
        if (payload.size() >= sizeof field) {
            memcpy(&field, payload.data(), sizeof field);
            if (with_rest) {
                r.data = payload.subspan(sizeof field);
            }
        }
    };
    switch (type) {
        case QUEUE_MESSAGE_REMOVE:
        case QUEUE_MESSAGE_STORE:
        case QUEUE_MESSAGE_OPEN:
        case QUEUE_MESSAGE_MARK:
        case QUEUE_MESSAGE_UNMARK:
        case QUEUE_ENVELOPE_NEW:
            take(r.msgid, type == QUEUE_ENVELOPE_NEW);
            break;
        case QUEUE_ENVELOPE_REMOVE:
        case QUEUE_ENVELOPE_READ:
        case QUEUE_ENVELOPE_REPLACE:
            take(r.evpid, type == QUEUE_ENVELOPE_REPLACE);
            break;
        default:
            break;
    }
    if (type == QUEUE_MESSAGE_STORE) {
        r.data = content;
    }
    return r;
}

StoreExpect StoreModel::expect(const StoreRequest &r) const {
    auto msg = messages_.find(r.msgid);
    bool has_msg = msg != messages_.end();
    auto owner = messages_.find(static_cast<uint32_t>(r.evpid >> 32));
    bool has_owner = owner != messages_.end();
    bool has_envelope = has_owner && owner->second.envelopes.count(r.evpid) != 0;

    switch (r.type) {
        case QUEUE_HELLO:
            return {};
        case QUEUE_FINISH:
            return result(1);
        case QUEUE_MESSAGE_NEW: {
            StoreExpect e = result(1);
            e.new_id = StoreExpect::NewId::message;
            return e;
        }
        case QUEUE_MESSAGE_REMOVE:
        case QUEUE_MESSAGE_MARK:
            return has_msg ? result(0) : result(0, {"warn: not found"});
        case QUEUE_MESSAGE_UNMARK:
            return result(0);
        case QUEUE_MESSAGE_STORE:
            return has_msg ? result(1) : result(0, {"warn: msgid not found"});
        case QUEUE_MESSAGE_OPEN: {
            StoreExpect e;
            if (!has_msg) {
                e.lines = {"warn: not found"};
            } else if (!opens_work_) {
                e.lines = {"warn: queue-api: cannot create temporary file *", "warn: mktmpfile: *"};
            } else {
                e.content = msg->second.content;
            }
            return e;
        }
        case QUEUE_ENVELOPE_NEW: {
            if (too_large(r.data)) {
                return result(0, {"warn: envelope too large"});
            }
            if (!has_msg) {
                return result(0, {"warn: message not found"});
            }
            StoreExpect e = result(1);
            e.new_id = StoreExpect::NewId::envelope;
            return e;
        }
        case QUEUE_ENVELOPE_REMOVE:
            if (!has_owner) {
                return result(0, {"warn: message not found"});
            }
            return has_envelope ? result(1) : result(0, {"warn: not found"});
        case QUEUE_ENVELOPE_READ: {
            StoreExpect e;
            if (!has_owner) {
                e.lines = {"warn: message not found"};
            } else if (!has_envelope) {
                e.lines = {"warn: not found"};
            } else {
                e.envelope = owner->second.envelopes.at(r.evpid);
            }
            return e;
        }
        case QUEUE_ENVELOPE_REPLACE:
            if (too_large(r.data)) {
                return result(0, {"warn: envelope too large"});
            }
            if (!has_owner) {
                return result(0, {"warn: message not found"});
            }
            return has_envelope ? result(1) : result(0, {"warn: not found"});
        case QUEUE_ENVELOPE_ITERATE:
        case QUEUE_MESSAGE_ITERATE:
            // The in-memory store offers no walk.
            return result(-1);
        default:
            return {};
    }
}

bool StoreModel::apply(const StoreRequest &r, uint64_t id) {
    auto msg = messages_.find(r.msgid);
    auto owner = messages_.find(static_cast<uint32_t>(r.evpid >> 32));
    switch (r.type) {
        case QUEUE_MESSAGE_NEW:
            if (id > UINT32_MAX || !drawn_half_ok(static_cast<uint32_t>(id)) ||
                messages_.count(static_cast<uint32_t>(id)) != 0) {
                return false;
            }
            messages_[static_cast<uint32_t>(id)];
            return true;
        case QUEUE_MESSAGE_REMOVE:
        case QUEUE_MESSAGE_MARK:
            if (msg != messages_.end()) {
                messages_.erase(msg);
            }
            return true;
        case QUEUE_MESSAGE_STORE:
            if (msg != messages_.end()) {
                msg->second.content.assign(r.data.begin(), r.data.end());
            }
            return true;
        case QUEUE_ENVELOPE_NEW:
            if (too_large(r.data) || msg == messages_.end()) {
                return true;
            }
            if (id >> 32 != r.msgid || !drawn_half_ok(static_cast<uint32_t>(id)) ||
                msg->second.envelopes.count(id) != 0) {
                return false;
            }
            msg->second.envelopes[id].assign(r.data.begin(), r.data.end());
            return true;
        case QUEUE_ENVELOPE_REMOVE:
            // The message goes with its last envelope.
            if (owner != messages_.end() && owner->second.envelopes.erase(r.evpid) != 0 &&
                owner->second.envelopes.empty()) {
                messages_.erase(owner);
            }
            return true;
        case QUEUE_ENVELOPE_REPLACE:
            if (!too_large(r.data) && owner != messages_.end()) {
                auto env = owner->second.envelopes.find(r.evpid);
                if (env != owner->second.envelopes.end()) {
                    env->second.assign(r.data.begin(), r.data.end());
                }
            }
            return true;
        default:
            return true;
    }
}

bool line_matches(std::string_view line, std::string_view want) {
    if (!want.empty() && want.back() == '*') {
        want.remove_suffix(1);
        return line.substr(0, want.size()) == want;
    }
    return line == want;
}

bool lines_match(const std::vector<std::string> &got, const std::vector<std::string> &want) {
    if (got.size() != want.size()) {
        return false;
    }
    for (size_t i = 0; i < got.size(); ++i) {
        if (!line_matches(got[i], want[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace peer

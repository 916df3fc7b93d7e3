#include "peer/requests.h"

#include "frame/queue_proto.h"

namespace peer {

namespace {

// The reply decoded, when one came with a shape its request allows.
std::optional<DecodedReply> ask(Peer &p, uint32_t type, std::span<const uint8_t> payload,
                                Reply &reply, int fd = -1) {
    std::optional<Reply> r = p.call(type, payload, fd);
    if (!r) {
        return std::nullopt;
    }
    reply = std::move(*r);
    DecodedReply d = decode_reply(type, reply);
    if (!d.well_formed) {
        return std::nullopt;
    }
    return d;
}

int32_t result_of(Peer &p, uint32_t type, std::span<const uint8_t> payload, int fd = -1) {
    Reply r;
    std::optional<DecodedReply> d = ask(p, type, payload, r, fd);
    return d && d->result ? *d->result : NO_RESULT;
}

uint64_t new_id(Peer &p, uint32_t type, std::span<const uint8_t> payload) {
    Reply r;
    std::optional<DecodedReply> d = ask(p, type, payload, r);
    return d && d->result == 1 && d->id ? *d->id : 0;
}

}  // namespace

std::optional<Reply> hello(Peer &p) {
    return p.call(QUEUE_HELLO, wire::u32(QUEUE_API_VERSION));
}

uint32_t message_new(Peer &p) {
    return static_cast<uint32_t>(new_id(p, QUEUE_MESSAGE_NEW, {}));
}

int32_t message_store(Peer &p, uint32_t msgid, int fd) {
    return result_of(p, QUEUE_MESSAGE_STORE, wire::u32(msgid), fd);
}

int32_t message_store(Peer &p, uint32_t msgid, std::span<const uint8_t> content) {
    unique_fd fd(content_fd(content));
    if (!fd.valid()) {
        return NO_RESULT;
    }
    return message_store(p, msgid, fd.get());
}

unique_fd message_open(Peer &p, uint32_t msgid) {
    Reply r;
    if (!ask(p, QUEUE_MESSAGE_OPEN, wire::u32(msgid), r)) {
        return unique_fd();
    }
    return std::move(r.fd);
}

std::optional<wire::Bytes> message_content(Peer &p, uint32_t msgid) {
    unique_fd fd = message_open(p, msgid);
    wire::Bytes content;
    if (!fd.valid() || !read_to_end(fd.get(), content)) {
        return std::nullopt;
    }
    return content;
}

int32_t message_remove(Peer &p, uint32_t msgid) {
    return result_of(p, QUEUE_MESSAGE_REMOVE, wire::u32(msgid));
}

uint64_t envelope_new(Peer &p, uint32_t msgid, std::span<const uint8_t> envelope) {
    return new_id(p, QUEUE_ENVELOPE_NEW, wire::cat({wire::u32(msgid), envelope}));
}

int32_t envelope_remove(Peer &p, uint64_t evpid) {
    return result_of(p, QUEUE_ENVELOPE_REMOVE, wire::u64(evpid));
}

int32_t envelope_replace(Peer &p, uint64_t evpid, std::span<const uint8_t> envelope) {
    return result_of(p, QUEUE_ENVELOPE_REPLACE, wire::cat({wire::u64(evpid), envelope}));
}

wire::Bytes envelope_read(Peer &p, uint64_t evpid) {
    Reply r;
    std::optional<DecodedReply> d = ask(p, QUEUE_ENVELOPE_READ, wire::u64(evpid), r);
    return d ? wire::Bytes(d->bytes.begin(), d->bytes.end()) : wire::Bytes();
}

}  // namespace peer

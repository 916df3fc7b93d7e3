// The in-memory store as a peer expects it to behave: what each request
// must answer and log, given what the requests before it did. Written from
// the protocol's rules and the store's, not from the backend's code, it is
// the one model our checks share: the fuzz targets, the reliability
// session and memq-peer check, through the judge (peer/judge.h).
//
// Log lines are written without the "memq[PID]: " that starts them, and are
// matched whole, or by their start where the expected text ends in '*' (an
// error text the model cannot know). Single-threaded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "peer/wire.h"

namespace peer {

using wire::Bytes;

struct StoreMessage {
    Bytes content;
    std::map<uint64_t, Bytes> envelopes;
};

// A well-formed request as it reaches the store. `data` is the envelope of
// a new or replaced envelope, or the content a store brings; it is borrowed
// and must outlive the calls that are given it.
struct StoreRequest {
    uint32_t type = 0;
    uint32_t msgid = 0;
    uint64_t evpid = 0;
    std::span<const uint8_t> data;
};

// The request a frame of this type and payload makes, as the store sees it;
// content is what a store's descriptor holds. Both are borrowed. Fields
// the payload is too short for stay 0.
StoreRequest store_request(uint32_t type, std::span<const uint8_t> payload,
                           std::span<const uint8_t> content = {});

// What the backend must answer when nothing fails on the way: the reply's
// result where it has one; for a read, the envelope; for an open, whether a
// descriptor comes and what it holds; whether the reply brings a new id;
// and the lines the backend logs.
struct StoreExpect {
    enum class NewId { none, message, envelope };

    std::optional<int32_t> result;
    Bytes envelope;
    std::optional<Bytes> content;
    NewId new_id = NewId::none;
    std::vector<std::string> lines;
};

class StoreModel {
  public:
    // opens_work: whether the backend can make the files that opening a
    // message needs (its "/temporary" exists); when not, every open of a
    // message fails, and the model expects the lines that say so.
    explicit StoreModel(bool opens_work = true) : opens_work_(opens_work) {}

    // What the request must bring. Changes nothing.
    StoreExpect expect(const StoreRequest &r) const;

    // Follows a request that the backend answered as expected. For a new
    // message or envelope, id is the one its reply brought; false, with
    // nothing changed, when that id cannot be the store's: 0 or all ones in
    // its drawn half, already taken, or not under its message.
    bool apply(const StoreRequest &r, uint64_t id = 0);

    const std::map<uint32_t, StoreMessage> &messages() const { return messages_; }

  private:
    bool opens_work_;
    std::map<uint32_t, StoreMessage> messages_;
};

// A logged line against an expected one, by the convention above.
bool line_matches(std::string_view line, std::string_view want);
// Every line in order, none missing and none more.
bool lines_match(const std::vector<std::string> &got, const std::vector<std::string> &want);

}  // namespace peer

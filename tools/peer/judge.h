// The judge: a reply held against what the store's model (peer/model.h)
// expects of it, the model following every request that was answered as
// expected, and the loop's own rules in front of the store (the checks of a
// frame's type, length and version, the bound on waiting descriptors, the
// content copy of a store), with the log lines each of them must bring.
// memq-peer check, the reliability tests, the fuzz targets and the
// benchmark's soak all judge replies here, so that they never disagree about
// what a reply should be.
//
// Log lines are written without the "memq[PID]: " that starts them and are
// matched as peer::line_matches() does. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "peer/model.h"
#include "peer/reply.h"

namespace peer {

// How a reply compared with what was expected of it.
enum class Verdict {
    exact,    // what the model predicts; the model has moved on
    failure,  // a failure result where the model predicted success, as
              // memory running out may cause; the store is as it was
    wrong,    // anything else
};

struct Judgement {
    Verdict verdict = Verdict::wrong;
    // What was expected and did not come, for a verdict other than exact.
    std::string why;
    // The new id an exact reply to QUEUE_MESSAGE_NEW or QUEUE_ENVELOPE_NEW
    // brought, else 0.
    uint64_t id = 0;
};

// A reply to a request of this type against what the model expects of it,
// changing nothing. An opened content must be a nameless regular file at
// offset 0 holding exactly the expected bytes; it is read by position, so
// the descriptor's offset stays where it was. A new id is taken from the
// reply but not checked: Judge does that against the model.
Judgement judge_reply(uint32_t type, const StoreExpect &e, const Reply &r);

// The store's model following one session: each request is given to
// expect() before it goes, and its reply to judge() once it has come.
class Judge {
  public:
    explicit Judge(bool opens_work = true) : model_(opens_work) {}

    // What the request must bring. Its data is copied, so the caller's bytes
    // may go before the reply comes.
    const StoreExpect &expect(const StoreRequest &r);
    // The reply to the request last given to expect(). When it is exact the
    // model follows the request; a new id the store could not have drawn
    // (zero or all ones in its drawn half, taken, or not under its message)
    // makes it wrong. Nothing pending: wrong.
    Judgement judge(const Reply &r);
    // The request last given to expect() never reached the store (the loop
    // answered it itself): the model does not follow it.
    void forget() { pending_.reset(); }

    // The expectation of the request last given to expect().
    const StoreExpect &expected() const { return expected_; }
    const StoreModel &model() const { return model_; }
    const std::map<uint32_t, StoreMessage> &messages() const { return model_.messages(); }

  private:
    StoreModel model_;
    std::optional<StoreRequest> pending_;
    Bytes pending_data_;
    StoreExpect expected_;
};

// The most received descriptors the backend lets wait for a request.
inline constexpr size_t MAX_WAITING_FDS = 16;

// A received descriptor as the loop's content copy finds it when a store
// claims it: readable to its end with content, not readable as a stream
// (no copy: result -1, no line), or a directory (a read error: result 0
// and the copy's line).
struct PassedFd {
    enum class Kind { readable, unreadable, directory };
    Kind kind = Kind::readable;
    Bytes content;
};

// What the backend does with one frame, when nothing fails on the way.
struct LoopExpect {
    // The lines it logs while serving the frame.
    std::vector<std::string> lines;
    // No reply: the backend ends with the lines above and exit status 1.
    bool fatal = false;
    // The result the loop answers itself, for a store whose content it
    // could not copy; the store never sees that request.
    std::optional<int32_t> loop_result;
    // Otherwise, what the store's model expects.
    StoreExpect store;
};

// The loop in front of the store's model: frames in, with the descriptors
// that arrive before them, and what each frame must bring.
class LoopModel {
  public:
    // opens_work: as for StoreModel.
    explicit LoopModel(bool opens_work = true) : judge_(opens_work) {}

    // Descriptors received and not yet claimed, oldest first.
    std::deque<PassedFd> fds;

    // A descriptor arrives; beyond the bound the oldest waiting one is
    // closed, with its line added to lines.
    void receive_fd(PassedFd fd, std::vector<std::string> &lines);
    // A whole frame of this type and payload, fd_flag whether its header
    // asks for a descriptor: what it must bring.
    LoopExpect serve(uint32_t type, std::span<const uint8_t> payload, bool fd_flag);
    // The reply to the frame last served, which e is what serve() said of.
    Judgement judge(const Reply &r, const LoopExpect &e);

    const std::map<uint32_t, StoreMessage> &messages() const { return judge_.messages(); }

  private:
    Judge judge_;
};

}  // namespace peer

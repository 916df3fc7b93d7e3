// The session of memq-peer check: each step sends a request, takes its
// reply, and is judged by what the step itself asks of the reply, by the
// store's model (peer/judge.h), and by the log lines the backend wrote
// meanwhile, each marked as expected or not. One line per step, plain or
// as TAP. Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "peer/backend.h"
#include "peer/judge.h"

namespace memq_peer {

// The log lines a step expects the backend to write, in order, matched
// against the text after the "name[pid]: " prefix as peer::line_matches()
// does.
using Lines = std::vector<std::string>;

class Session {
  public:
    Session(peer::Backend &backend, bool tap) : backend_(backend), tap_(tap) {}

    // Sends one request and decodes its reply. The step that judges it
    // expects the lines the store's model predicts for the request (content
    // is what a store's descriptor holds), and the reply the model
    // predicts. A request the loop answers itself (a store whose content
    // cannot be copied) never reaches the store: the step expects
    // `loop_log` instead. When no reply comes, the step fails, and every
    // later request is skipped.
    std::optional<peer::DecodedReply> ask(const std::string &asked, uint32_t type,
                                          std::span<const uint8_t> payload, int fd = -1,
                                          std::span<const uint8_t> content = {},
                                          std::optional<Lines> loop_log = std::nullopt);

    // The descriptor that came with the last reply, now the caller's.
    unique_fd take_fd() { return std::move(last_.fd); }

    // Judges a result-only reply.
    void expect_result(const std::string &asked, uint32_t type, std::span<const uint8_t> payload,
                       int32_t want, int fd = -1, std::span<const uint8_t> content = {},
                       std::optional<Lines> loop_log = std::nullopt);

    // Judges a reply that must be a bare header, as to QUEUE_HELLO.
    void expect_empty(const std::string &asked, uint32_t type, std::span<const uint8_t> payload);

    // A step whose own work went as it should: it passes when the store's
    // model agrees and the backend logged what it expects, too.
    void pass(const std::string &asked, const std::string &got) { judge(asked, got, nullptr); }
    void fail(const std::string &asked, const std::string &got, const std::string &want) {
        judge(asked, got, &want);
    }

    // The step after the session: the connection closed, the backend's exit
    // judged, and its last log lines expected to be `log`.
    void close_connection(Lines log);

    // The backend's log, each line with the step it came with.
    void report_log() const;
    int unexpected_lines() const;

    bool gone() const { return gone_; }
    int steps() const { return steps_; }
    int passed() const { return passed_; }
    int failed() const { return failed_; }
    size_t log_lines() const { return log_.size(); }

  private:
    struct LogLine {
        std::string text;
        int step;
        bool expected;
    };

    // Takes the log lines written since the last step (the backend writes a
    // request's lines before its reply, so they are all there by now), marks
    // each as expected by this step or not, and prints the verdict.
    void judge(const std::string &asked, const std::string &got, const std::string *want);

    peer::Backend &backend_;
    bool tap_;
    peer::Reply last_;
    Lines expected_log_;
    peer::Judge model_;
    // The model's verdict on the last reply, when its request reached the
    // store and the reply came whole.
    std::optional<peer::Judgement> judgement_;
    std::vector<LogLine> log_;
    bool gone_ = false;
    int steps_ = 0;
    int passed_ = 0;
    int failed_ = 0;
};

}  // namespace memq_peer

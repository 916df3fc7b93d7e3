#include "check_session.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>

#include "frame/queue_proto.h"

namespace memq_peer {

using peer::cat;

namespace {

std::string errno_text() {
    return strerror(errno);
}

// `"a", "b"`, or "nothing".
std::string listed(const std::vector<std::string> &items) {
    if (items.empty()) {
        return "nothing";
    }
    std::string out;
    for (const std::string &item : items) {
        out += cat({out.empty() ? "" : ", ", "\"", item, "\""});
    }
    return out;
}

// A YAML single-quoted scalar, in which only the quote itself needs
// escaping; the texts are printable already.
std::string yaml_quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("''") : std::string(1, c);
    }
    return out + "'";
}

// A YAML flow sequence of such scalars.
std::string yaml_list(const std::vector<std::string> &items) {
    std::string out;
    for (const std::string &item : items) {
        out += cat({out.empty() ? "" : ", ", yaml_quoted(item)});
    }
    return "[" + out + "]";
}

// A TAP description may not hold an unescaped '#', which starts a directive.
std::string tap_text(const std::string &text) {
    std::string out;
    for (char c : text) {
        out += c == '#' ? std::string("\\#") : std::string(1, c);
    }
    return out;
}

}  // namespace

std::optional<peer::DecodedReply> Session::ask(const std::string &asked, uint32_t type,
                                               std::span<const uint8_t> payload, int fd,
                                               std::span<const uint8_t> content,
                                               std::optional<Lines> loop_log) {
    if (gone_) {
        return std::nullopt;
    }
    judgement_.reset();
    const bool reaches_store = !loop_log;
    if (reaches_store) {
        expected_log_ = model_.expect(peer::store_request(type, payload, content)).lines;
    } else {
        model_.forget();
        expected_log_ = std::move(*loop_log);
    }
    last_ = peer::Reply();
    if (!backend_.peer().send(type, payload, fd)) {
        fail(asked, cat({"request not sent: ", errno_text()}), "the backend to take it");
        gone_ = true;
        return std::nullopt;
    }
    if (!backend_.peer().receive(last_)) {
        fail(asked,
             errno == 0 ? std::string("no reply: the backend closed the connection")
                        : cat({"no reply: reading it failed: ", errno_text()}),
             "a reply");
        gone_ = true;
        return std::nullopt;
    }
    peer::DecodedReply d = peer::decode_reply(type, last_);
    if (!d.well_formed) {
        fail(asked, peer::describe_reply(type, d),
             "a well-formed reply to " + std::string(peer::request_name(type)));
        return std::nullopt;
    }
    if (reaches_store) {
        judgement_ = model_.judge(last_);
    }
    return d;
}

void Session::expect_result(const std::string &asked, uint32_t type,
                            std::span<const uint8_t> payload, int32_t want, int fd,
                            std::span<const uint8_t> content, std::optional<Lines> loop_log) {
    std::optional<peer::DecodedReply> d =
        ask(asked, type, payload, fd, content, std::move(loop_log));
    if (!d) {
        return;
    }
    std::string got = peer::describe_reply(type, *d);
    if (*d->result == want) {
        pass(asked, got);
    } else {
        fail(asked, got, peer::describe_result(type, want));
    }
}

void Session::expect_empty(const std::string &asked, uint32_t type,
                           std::span<const uint8_t> payload) {
    std::optional<peer::DecodedReply> d = ask(asked, type, payload);
    if (d) {
        pass(asked, peer::describe_reply(type, *d));
    }
}

void Session::close_connection(Lines log) {
    judgement_.reset();
    expected_log_ = std::move(log);
    int status = backend_.stop();
    std::string got = "the backend ended with " + peer::describe_status(status);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        pass("close the connection", got);
    } else {
        fail("close the connection", got, "exit status 0");
    }
}

void Session::judge(const std::string &asked, const std::string &got, const std::string *want) {
    const int step = ++steps_;
    // A step may find its own reply sound where the model does not: then
    // the model's reason is what was expected.
    std::string model_want;
    if (want == nullptr && judgement_ && judgement_->verdict != peer::Verdict::exact) {
        model_want = cat({"what the store's model expects: ", judgement_->why});
        want = &model_want;
    }
    judgement_.reset();
    Lines got_log;
    size_t next = 0;
    bool log_ok = true;
    for (std::string &line : peer::split_lines(backend_.new_log())) {
        std::string_view text = peer::message_of(line);
        bool expected =
            next < expected_log_.size() && peer::line_matches(text, expected_log_[next]);
        next += expected ? 1 : 0;
        log_ok = log_ok && expected;
        got_log.emplace_back(text);
        log_.push_back({std::move(line), step, expected});
    }
    log_ok = log_ok && next == expected_log_.size();
    const bool ok = want == nullptr && log_ok;
    (ok ? passed_ : failed_)++;

    if (tap_) {
        if (ok) {
            printf("ok %d - %s -> %s\n", step, tap_text(asked).c_str(), tap_text(got).c_str());
        } else {
            printf("not ok %d - %s\n  ---\n  got: %s\n", step, tap_text(asked).c_str(),
                   yaml_quoted(got).c_str());
            if (want != nullptr) {
                printf("  expected: %s\n", yaml_quoted(*want).c_str());
            }
            if (!log_ok) {
                printf("  log_got: %s\n  log_expected: %s\n", yaml_list(got_log).c_str(),
                       yaml_list(expected_log_).c_str());
            }
            printf("  ...\n");
        }
    } else {
        printf("%3d %-4s  %s -> %s\n", step, ok ? "ok" : "FAIL", asked.c_str(), got.c_str());
        if (want != nullptr) {
            printf("          expected %s\n", want->c_str());
        }
        if (!log_ok) {
            printf("          expected the backend to log %s; it logged %s\n",
                   listed(expected_log_).c_str(), listed(got_log).c_str());
        }
    }
    fflush(stdout);
    expected_log_.clear();
}

void Session::report_log() const {
    const char *lead = tap_ ? "# " : "";
    printf("%sbackend log (its standard error), each line with the step it came with:\n", lead);
    for (const LogLine &l : log_) {
        printf("%s  step %-3d %-10s  %s\n", lead, l.step, l.expected ? "expected" : "UNEXPECTED",
               l.text.c_str());
    }
    if (log_.empty()) {
        printf("%s  (nothing)\n", lead);
    }
}

int Session::unexpected_lines() const {
    return static_cast<int>(
        std::count_if(log_.begin(), log_.end(), [](const LogLine &l) { return !l.expected; }));
}

}  // namespace memq_peer

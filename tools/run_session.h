// The session of memq-peer run: the table of its commands, and the Runner
// that carries each line out against one backend, numbering the ids that
// replies bring. Single-threaded.
#pragma once

#include <stdio.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/queue_proto.h"
#include "peer/backend.h"
#include "peer/reply.h"
#include "peer/wire.h"

namespace memq_peer {

class Runner;

// One command of a session: how it is written, what it does, and the member
// that carries it out. The one table gives the list in --help, `help NAME`,
// and the usage that goes with a line's mistake.
struct Command {
    const char *name;
    const char *args;
    const char *summary;
    // More for `help NAME`, or null.
    const char *more;
    bool (Runner::*handle)(std::string_view rest);
};

// The command named so, or null.
const Command *find_command(std::string_view name);
// "store MSGID FILE".
std::string usage_of(const Command &c);
// The list of commands, one or two lines each.
void print_commands(FILE *out);
// What `help NAME` says about one command.
void print_command_help(const Command &c);

class Runner {
  public:
    Runner(peer::Backend &backend, bool echo) : backend_(backend), echo_(echo) {}

    // Handles one input line. False once the backend has gone and nothing
    // further can be sent.
    bool line(int number, std::string_view text);
    bool had_error() const { return errors_ > 0; }
    // Closes the connection at the end of the input and reports how the
    // backend ended; true when it exited with status 0.
    bool end();

    // The commands of the table. Each takes the rest of its line and returns
    // false once the backend has gone.
    bool hello(std::string_view rest);
    bool new_message(std::string_view rest);
    bool store(std::string_view rest);
    bool open_message(std::string_view rest);
    bool remove(std::string_view rest) { return message_request(rest, QUEUE_MESSAGE_REMOVE); }
    bool mark(std::string_view rest) { return message_request(rest, QUEUE_MESSAGE_MARK); }
    bool unmark(std::string_view rest) { return message_request(rest, QUEUE_MESSAGE_UNMARK); }
    bool envelope_new(std::string_view rest);
    bool envelope_read(std::string_view rest) {
        return envelope_request(rest, QUEUE_ENVELOPE_READ);
    }
    bool envelope_replace(std::string_view rest);
    bool envelope_remove(std::string_view rest) {
        return envelope_request(rest, QUEUE_ENVELOPE_REMOVE);
    }
    bool iterate(std::string_view rest);
    bool finish(std::string_view rest);
    bool raw(std::string_view rest);
    bool help(std::string_view rest);

  private:
    // Reports a bad line; the session goes on.
    bool bad(const std::string &why) {
        fflush(stdout);
        fprintf(stderr, "memq-peer run: line %d: %s\n", line_no_, why.c_str());
        errors_++;
        return true;
    }
    // A line whose words do not fit its command: the reason and the usage.
    bool misused(const std::string &why) {
        return bad(peer::cat({why, " (usage: ", usage_of(*command_), ")"}));
    }

    // What an id that a reply brought is. A reference of the wrong kind is
    // named as such: "$2" for a MSGID is a slip between two ids on screen,
    // not a number too large.
    enum class IdKind { message, envelope, other };
    struct Id {
        uint64_t value;
        IdKind kind;
    };

    // A number, or a reference to an id, that fits under max; `want` is the
    // kind of id the word stands for, or other for a plain number.
    std::optional<uint64_t> number(std::string_view word, uint64_t max, const char *what,
                                   IdKind want = IdKind::other);
    std::optional<uint32_t> msgid(std::string_view word) {
        std::optional<uint64_t> v = number(word, UINT32_MAX, "MSGID", IdKind::message);
        return v ? std::optional<uint32_t>(static_cast<uint32_t>(*v)) : std::nullopt;
    }
    std::optional<uint64_t> evpid(std::string_view word) {
        return number(word, UINT64_MAX, "ID", IdKind::envelope);
    }
    // "$1 (0x...)" for a message that a reply brought, else its hex id.
    std::string message_named(uint32_t id) const;
    // TEXT and HEXBYTES, their mistakes reported.
    std::optional<wire::Bytes> text(std::string_view rest);
    std::optional<wire::Bytes> hex(std::string_view rest);
    bool no_more(std::string_view rest, const char *after);
    // The optional last word of a line as a 32-bit number called `what`,
    // `fallback` when it is not there; nothing after a mistake, reported.
    std::optional<uint32_t> last_u32(std::string_view rest, const char *what, uint32_t fallback);
    // A payload that cannot go in one frame is the line's mistake, not the
    // backend's: it is refused here rather than ending the session.
    bool fits(size_t payload, size_t fixed, const char *what);

    bool message_request(std::string_view rest, uint32_t type);
    bool envelope_request(std::string_view rest, uint32_t type);

    // Sends the request and prints its reply; the reply's descriptor, if any,
    // is left in reply_.
    bool exchange(uint32_t type, std::span<const uint8_t> payload, int fd = -1, bool raw = false);
    void show_log();
    bool gone(const std::string &why);

    peer::Backend &backend_;
    bool echo_;
    int line_no_ = 0;
    int errors_ = 0;
    const Command *command_ = nullptr;
    std::vector<Id> ids_;
    peer::Reply reply_;
};

}  // namespace memq_peer

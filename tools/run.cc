// memq-peer run: line commands in, one request each, every reply decoded, so
// that a person can reproduce any exchange with a backend by hand.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/queue_proto.h"
#include "memq_peer.h"
#include "peer/wire.h"

namespace memq_peer {

namespace {

constexpr const char *RUN_INTRO =
    "usage: memq-peer run [-f FILE] [BACKEND]\n"
    "\n"
    "Starts BACKEND (default: the memq beside memq-peer) exactly as the mail\n"
    "server does, reads one command per line from FILE (default: standard\n"
    "input), sends the request it names and prints the reply decoded, followed\n"
    "by any log lines the backend wrote meanwhile. On a terminal it prompts\n"
    "with \"> \"; otherwise it echoes each command after \"> \".\n"
    "\n"
    "commands:\n";

constexpr const char *RUN_NOTES =
    "\n"
    "Every id that a reply brings is numbered: $1 is the first, $2 the next,\n"
    "and can stand wherever a MSGID or ID goes. Numbers are decimal (a leading\n"
    "0 changes nothing: 010 is ten) or hex after 0x; nothing else is a number.\n"
    "TEXT is the rest of the line; \\n, \\t, \\r, \\\\ and \\xHH stand for the\n"
    "bytes they name, and \"\" alone for no bytes at all. Empty lines and lines\n"
    "starting with # are skipped. A bad line is reported and the session goes\n"
    "on.\n"
    "\n"
    "Exit status: 0 when every line was understood and the backend ended\n"
    "with status 0, 1 otherwise, 2 when the backend could not be started or\n"
    "the command line is wrong.\n";

using bytes = std::vector<uint8_t>;

constexpr size_t MAX_PAYLOAD = wire::MAX_PAYLOAD;

// Splits off the next whitespace-separated word of rest.
std::string_view next_word(std::string_view &rest) {
    size_t start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    size_t end = rest.find_first_of(" \t");
    std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    return word;
}

std::string_view trim(std::string_view s) {
    size_t start = s.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) {
        return {};
    }
    size_t end = s.find_last_not_of(" \t\r");
    return s.substr(start, end - start + 1);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A number as the help describes it: decimal digits, or hex digits after
// "0x". strtoull() would also take octal, signs and blanks, and a person who
// writes 010 means ten. False for anything else, and when the value does
// not fit in 64 bits (`overflow` then says so).
bool parse_number(std::string_view word, uint64_t &out, bool &overflow) {
    overflow = false;
    const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const unsigned base = hex ? 16 : 10;
    std::string_view digits = hex ? word.substr(2) : word;
    if (digits.empty()) {
        return false;
    }
    uint64_t v = 0;
    for (char c : digits) {
        int d = hex ? hex_digit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) {
            return false;
        }
        if (v > (UINT64_MAX - static_cast<unsigned>(d)) / base) {
            overflow = true;
            return false;
        }
        v = v * base + static_cast<unsigned>(d);
    }
    out = v;
    return true;
}

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

extern const Command COMMANDS[];
extern const size_t COMMAND_COUNT;

const Command *find_command(std::string_view name) {
    for (size_t i = 0; i < COMMAND_COUNT; i++) {
        if (name == COMMANDS[i].name) {
            return &COMMANDS[i];
        }
    }
    return nullptr;
}

std::string usage_of(const Command &c) {
    return cat({c.name, *c.args != '\0' ? " " : "", c.args});
}

// The list of commands, one or two lines each.
void print_commands(FILE *out) {
    for (size_t i = 0; i < COMMAND_COUNT; i++) {
        const Command &c = COMMANDS[i];
        std::string usage = usage_of(c);
        if (usage.size() > 28) {
            fprintf(out, "  %s\n  %-28s %s\n", usage.c_str(), "", c.summary);
        } else {
            fprintf(out, "  %-28s %s\n", usage.c_str(), c.summary);
        }
    }
}

// What `help NAME` says about one command.
void print_command_help(const Command &c);

class Runner {
  public:
    Runner(Backend &backend, bool echo) : backend_(backend), echo_(echo) {}

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
        return bad(cat({why, " (usage: ", usage_of(*command_), ")"}));
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
    std::optional<bytes> text(std::string_view rest);
    std::optional<bytes> hex(std::string_view rest);
    bool no_more(std::string_view rest, const char *after);
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

    Backend &backend_;
    bool echo_;
    int line_no_ = 0;
    int errors_ = 0;
    const Command *command_ = nullptr;
    std::vector<Id> ids_;
    peer::Reply reply_;
};

const Command COMMANDS[] = {
    {"hello", "[VERSION]", "QUEUE_HELLO (version 2 unless given)",
     "memq answers version 2 with an empty reply and ends at any other.", &Runner::hello},
    {"new", "", "QUEUE_MESSAGE_NEW", "The reply brings the new message's MSGID as the next $N.",
     &Runner::new_message},
    {"store", "MSGID FILE", "QUEUE_MESSAGE_STORE with FILE's content",
     "Passes a descriptor open on FILE; the backend reads it to its end and\n"
     "stores what it read as the message's content, replacing any before.",
     &Runner::store},
    {"open", "MSGID [OUTFILE]", "QUEUE_MESSAGE_OPEN; the content goes to OUTFILE",
     "The content that comes back is counted, and written to OUTFILE if given.",
     &Runner::open_message},
    {"remove", "MSGID", "QUEUE_MESSAGE_REMOVE", "The message goes, with all its envelopes.",
     &Runner::remove},
    {"mark", "MSGID", "QUEUE_MESSAGE_MARK",
     "memq keeps no marks: marking drops the message, as remove does.", &Runner::mark},
    {"unmark", "MSGID", "QUEUE_MESSAGE_UNMARK", "memq keeps no marks: unmarking does nothing.",
     &Runner::unmark},
    {"envelope-new", "MSGID TEXT", "QUEUE_ENVELOPE_NEW with TEXT as the envelope",
     "The reply brings the new envelope's ID as the next $N. memq keeps\n"
     "envelopes of up to 8192 bytes and refuses longer ones. TEXT \"\" makes\n"
     "an empty envelope.",
     &Runner::envelope_new},
    {"envelope-read", "ID", "QUEUE_ENVELOPE_READ", "The envelope's bytes are shown quoted.",
     &Runner::envelope_read},
    {"envelope-replace", "ID TEXT", "QUEUE_ENVELOPE_REPLACE",
     "TEXT becomes the envelope's bytes (\"\" for none); memq refuses more than\n"
     "8192.",
     &Runner::envelope_replace},
    {"envelope-remove", "ID", "QUEUE_ENVELOPE_REMOVE", "A message goes with its last envelope.",
     &Runner::envelope_remove},
    {"iterate", "[envelopes | messages [VALUE]]",
     "QUEUE_ENVELOPE_ITERATE, or QUEUE_MESSAGE_ITERATE",
     "VALUE goes with QUEUE_MESSAGE_ITERATE, 0 unless given. memq answers\n"
     "both with -1: it cannot walk its queue.",
     &Runner::iterate},
    {"finish", "", "QUEUE_FINISH", "The service goes on; the end of the input ends it.",
     &Runner::finish},
    {"raw", "TYPE [HEXBYTES]", "a hand-made request: TYPE as a number or a name",
     "HEXBYTES is the payload, blanks allowed between the digits. The reply\n"
     "is decoded as far as it can be and shown in hex as well. A request that\n"
     "breaks the protocol ends the backend, and with it the session. The\n"
     "names of TYPE are:",
     &Runner::raw},
    {"help", "[COMMAND]", "this list, or more about COMMAND", nullptr, &Runner::help},
};
const size_t COMMAND_COUNT = sizeof COMMANDS / sizeof COMMANDS[0];

void print_command_help(const Command &c) {
    printf("usage: %s\n%s.\n", usage_of(c).c_str(), c.summary);
    if (c.more != nullptr) {
        printf("%s\n", c.more);
    }
    if (c.handle == &Runner::raw) {
        for (uint32_t t = QUEUE_HELLO; t <= QUEUE_MESSAGE_ITERATE; t++) {
            printf("  %2u %s\n", t, peer::request_name(t));
        }
    }
}

const char *bits(uint64_t max) {
    return max == UINT32_MAX ? "32" : "64";
}

std::string Runner::message_named(uint32_t id) const {
    for (size_t i = 0; i < ids_.size(); i++) {
        if (ids_[i].kind == IdKind::message && ids_[i].value == id) {
            return cat({"$", std::to_string(i + 1), " (", hex_msgid(id), ")"});
        }
    }
    return hex_msgid(id);
}

std::optional<uint64_t> Runner::number(std::string_view word, uint64_t max, const char *what,
                                       IdKind want) {
    if (word.empty()) {
        misused(cat({what, " is missing"}));
        return std::nullopt;
    }
    uint64_t v;
    bool overflow;
    if (word[0] == '$') {
        uint64_t n;
        if (!parse_number(word.substr(1), n, overflow) || n == 0 || word[1] == '0') {
            bad(cat({"\"", word, "\" is not a reference: write $1 for the first id"}));
            return std::nullopt;
        }
        if (n > ids_.size()) {
            std::string known =
                ids_.empty() ? std::string("no reply has brought one yet")
                             : cat({"the replies have brought ", std::to_string(ids_.size())});
            bad(cat({"\"", word, "\" refers to no id: ", known}));
            return std::nullopt;
        }
        const Id &id = ids_[n - 1];
        if (want == IdKind::message && id.kind == IdKind::envelope) {
            bad(cat({"\"", word, "\" is envelope ", hex_evpid(id.value),
                     ", not a MSGID; its message is ",
                     message_named(static_cast<uint32_t>(id.value >> 32))}));
            return std::nullopt;
        }
        if (want == IdKind::envelope && id.kind == IdKind::message) {
            bad(cat({"\"", word, "\" is message ", hex_msgid(id.value), ", not an envelope ID"}));
            return std::nullopt;
        }
        v = id.value;
    } else if (!parse_number(word, v, overflow)) {
        if (overflow) {
            bad(cat({what, " ", word, " does not fit in ", bits(max), " bits"}));
        } else {
            bad(cat({"\"", word, "\" is not a number for ", what,
                     ": write decimal digits, or hex digits after 0x"}));
        }
        return std::nullopt;
    }
    if (v > max) {
        bad(cat({what, " ", word, " does not fit in ", bits(max), " bits"}));
        return std::nullopt;
    }
    return v;
}

std::optional<bytes> Runner::text(std::string_view rest) {
    // One separating blank goes; the rest of the line is the text, as it is.
    if (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) {
        rest.remove_prefix(1);
    }
    // A forgotten TEXT must not quietly become an empty envelope: an empty
    // one is asked for as "".
    if (rest.empty()) {
        misused("TEXT is missing; write \"\" for an empty one");
        return std::nullopt;
    }
    if (rest == "\"\"") {
        return bytes();
    }
    bytes out;
    for (size_t i = 0; i < rest.size(); i++) {
        char c = rest[i];
        if (c != '\\') {
            out.push_back(static_cast<uint8_t>(c));
            continue;
        }
        if (++i == rest.size()) {
            bad("TEXT ends in a lone backslash");
            return std::nullopt;
        }
        switch (rest[i]) {
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case '\\':
                out.push_back('\\');
                break;
            case 'x': {
                int hi = i + 1 < rest.size() ? hex_digit(rest[i + 1]) : -1;
                int lo = i + 2 < rest.size() ? hex_digit(rest[i + 2]) : -1;
                if (hi < 0 || lo < 0) {
                    bad("\\x in TEXT needs two hex digits");
                    return std::nullopt;
                }
                out.push_back(static_cast<uint8_t>(hi << 4 | lo));
                i += 2;
                break;
            }
            default:
                bad(std::string("unknown escape \\") + rest[i] +
                    " in TEXT; use \\n, \\t, \\r, \\\\ or \\xHH");
                return std::nullopt;
        }
    }
    return out;
}

std::optional<bytes> Runner::hex(std::string_view rest) {
    bytes out;
    int high = -1;
    for (char c : rest) {
        if (c == ' ' || c == '\t') {
            continue;
        }
        int d = hex_digit(c);
        if (d < 0) {
            bad(std::string("'") + c + "' is not a hex digit in HEXBYTES");
            return std::nullopt;
        }
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) {
        bad("HEXBYTES has an odd number of digits");
        return std::nullopt;
    }
    return out;
}

bool Runner::no_more(std::string_view rest, const char *after) {
    std::string_view extra = trim(rest);
    if (!extra.empty()) {
        misused(cat({"\"", extra, "\" after ", after}));
        return false;
    }
    return true;
}

bool Runner::fits(size_t payload, size_t fixed, const char *what) {
    if (payload <= MAX_PAYLOAD) {
        return true;
    }
    bad(cat({what, " of ", std::to_string(payload - fixed),
             " bytes does not fit in one frame (at most ", std::to_string(MAX_PAYLOAD - fixed),
             ")"}));
    return false;
}

void Runner::show_log() {
    std::string log = backend_.new_log();
    size_t pos = 0;
    while (pos < log.size()) {
        size_t nl = log.find('\n', pos);
        size_t end = nl == std::string::npos ? log.size() : nl;
        printf("  backend: %.*s\n", static_cast<int>(end - pos), log.c_str() + pos);
        pos = end + 1;
    }
}

bool Runner::gone(const std::string &why) {
    printf("! %s\n", why.c_str());
    int status = backend_.stop();
    show_log();
    printf("! the backend ended with %s; nothing more can be sent\n",
           describe_status(status).c_str());
    std::string hint = backend_.confinement_hint();
    if (!hint.empty()) {
        printf("! hint: %s\n", hint.c_str());
    }
    errors_++;
    return false;
}

bool Runner::end() {
    int status = backend_.stop();
    show_log();
    printf("end of input: the backend ended with %s\n", describe_status(status).c_str());
    std::string hint = backend_.confinement_hint();
    if (!hint.empty()) {
        printf("hint: %s\n", hint.c_str());
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool Runner::exchange(uint32_t type, std::span<const uint8_t> payload, int fd, bool raw) {
    reply_ = peer::Reply();
    if (!backend_.peer().send(type, payload, fd)) {
        return gone(std::string("the request could not be sent: ") + strerror(errno));
    }
    if (!backend_.peer().receive(reply_)) {
        return gone(errno == 0 ? std::string("no reply: the backend closed the connection")
                               : std::string("no reply: ") + strerror(errno));
    }
    peer::DecodedReply d = peer::decode_reply(type, reply_);
    std::string label;
    if (d.well_formed && d.id) {
        ids_.push_back({*d.id, type == QUEUE_MESSAGE_NEW       ? IdKind::message
                               : type == QUEUE_MESSAGE_ITERATE ? IdKind::other
                                                               : IdKind::envelope});
        label = cat({"$", std::to_string(ids_.size())});
    }
    printf("< %s\n", describe_reply(type, d, label).c_str());
    if (raw || !d.well_formed) {
        printf("  reply type %u, %zu payload bytes%s%s%s\n", reply_.type, reply_.payload.size(),
               reply_.payload.empty() ? "" : ": ", hex_bytes(reply_.payload, 64).c_str(),
               reply_.fd.valid() ? ", with a descriptor" : "");
    }
    show_log();
    return true;
}

bool Runner::hello(std::string_view rest) {
    uint64_t version = QUEUE_API_VERSION;
    std::string_view arg = next_word(rest);
    if (!arg.empty()) {
        std::optional<uint64_t> v = number(arg, UINT32_MAX, "VERSION");
        if (!v) {
            return true;
        }
        version = *v;
    }
    if (!no_more(rest, "the VERSION")) {
        return true;
    }
    return exchange(QUEUE_HELLO, peer::payload_u32(static_cast<uint32_t>(version)));
}

bool Runner::new_message(std::string_view rest) {
    return !no_more(rest, "new") || exchange(QUEUE_MESSAGE_NEW, {});
}

bool Runner::finish(std::string_view rest) {
    return !no_more(rest, "finish") || exchange(QUEUE_FINISH, {});
}

bool Runner::store(std::string_view rest) {
    std::optional<uint32_t> id = msgid(next_word(rest));
    if (!id) {
        return true;
    }
    std::string path(trim(rest));
    if (path.empty()) {
        return misused("FILE is missing");
    }
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return bad("cannot open " + path + ": " + strerror(errno));
    }
    return exchange(QUEUE_MESSAGE_STORE, peer::payload_u32(*id), fd.get());
}

bool Runner::open_message(std::string_view rest) {
    std::optional<uint32_t> id = msgid(next_word(rest));
    if (!id) {
        return true;
    }
    std::string path(trim(rest));
    if (!exchange(QUEUE_MESSAGE_OPEN, peer::payload_u32(*id))) {
        return false;
    }
    unique_fd in(std::move(reply_.fd));
    if (!in.valid()) {
        return true;
    }
    unique_fd out;
    if (!path.empty()) {
        out.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!out.valid()) {
            return bad("cannot create " + path + ": " + strerror(errno));
        }
    }
    uint64_t total = 0;
    char buf[65536];
    for (;;) {
        ssize_t n = read(in.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return bad(std::string("reading the content failed: ") + strerror(errno));
        }
        if (n == 0) {
            break;
        }
        total += static_cast<uint64_t>(n);
        for (ssize_t done = 0; out.valid() && done < n;) {
            ssize_t w = write(out.get(), buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w < 0) {
                return bad("writing " + path + " failed: " + strerror(errno));
            }
            done += w;
        }
    }
    printf("  %llu bytes of content%s%s\n", static_cast<unsigned long long>(total),
           path.empty() ? "" : ", written to ", path.c_str());
    return true;
}

bool Runner::message_request(std::string_view rest, uint32_t type) {
    std::optional<uint32_t> id = msgid(next_word(rest));
    if (!id || !no_more(rest, "the MSGID")) {
        return true;
    }
    return exchange(type, peer::payload_u32(*id));
}

bool Runner::envelope_request(std::string_view rest, uint32_t type) {
    std::optional<uint64_t> id = evpid(next_word(rest));
    if (!id || !no_more(rest, "the ID")) {
        return true;
    }
    return exchange(type, peer::payload_u64(*id));
}

bool Runner::envelope_new(std::string_view rest) {
    std::optional<uint32_t> id = msgid(next_word(rest));
    std::optional<bytes> envelope = id ? text(rest) : std::nullopt;
    if (!envelope) {
        return true;
    }
    bytes payload = peer::payload_u32_bytes(*id, *envelope);
    if (!fits(payload.size(), sizeof(uint32_t), "an envelope")) {
        return true;
    }
    return exchange(QUEUE_ENVELOPE_NEW, payload);
}

bool Runner::envelope_replace(std::string_view rest) {
    std::optional<uint64_t> id = evpid(next_word(rest));
    std::optional<bytes> envelope = id ? text(rest) : std::nullopt;
    if (!envelope) {
        return true;
    }
    bytes payload = peer::payload_u64_bytes(*id, *envelope);
    if (!fits(payload.size(), sizeof(uint64_t), "an envelope")) {
        return true;
    }
    return exchange(QUEUE_ENVELOPE_REPLACE, payload);
}

bool Runner::iterate(std::string_view rest) {
    std::string_view what = next_word(rest);
    if (what.empty() || what == "envelopes") {
        if (!no_more(rest, what.empty() ? "iterate" : "envelopes")) {
            return true;
        }
        return exchange(QUEUE_ENVELOPE_ITERATE, {});
    }
    if (what != "messages") {
        return misused(cat({"\"", what, "\" is neither envelopes nor messages"}));
    }
    uint64_t value = 0;
    std::string_view arg = next_word(rest);
    if (!arg.empty()) {
        std::optional<uint64_t> v = number(arg, UINT32_MAX, "VALUE");
        if (!v) {
            return true;
        }
        value = *v;
    }
    if (!no_more(rest, "the VALUE")) {
        return true;
    }
    return exchange(QUEUE_MESSAGE_ITERATE, peer::payload_u32(static_cast<uint32_t>(value)));
}

bool Runner::raw(std::string_view rest) {
    std::string_view type_word = next_word(rest);
    if (type_word.empty()) {
        return misused("TYPE is missing");
    }
    std::optional<uint64_t> type;
    for (uint32_t t = QUEUE_HELLO; t <= QUEUE_MESSAGE_ITERATE; t++) {
        if (type_word == peer::request_name(t)) {
            type = t;
        }
    }
    // A word that does not start with a digit is meant as a name.
    if (!type && !(type_word[0] >= '0' && type_word[0] <= '9')) {
        return bad(cat({"unknown type name ", type_word, "; \"help raw\" lists the names"}));
    }
    if (!type) {
        type = number(type_word, UINT32_MAX, "TYPE");
        if (!type) {
            return true;
        }
    }
    std::optional<bytes> payload = hex(rest);
    if (!payload || !fits(payload->size(), 0, "a payload")) {
        return true;
    }
    return exchange(static_cast<uint32_t>(*type), *payload, -1, true);
}

bool Runner::help(std::string_view rest) {
    std::string_view name = next_word(rest);
    if (!no_more(rest, "the COMMAND")) {
        return true;
    }
    if (name.empty()) {
        print_commands(stdout);
        printf("\"help COMMAND\" says more about one.\n");
        return true;
    }
    const Command *c = find_command(name);
    if (c == nullptr) {
        return bad(cat({"no command \"", name, "\"; \"help\" lists the commands"}));
    }
    print_command_help(*c);
    return true;
}

bool Runner::line(int number, std::string_view input) {
    line_no_ = number;
    std::string_view rest = trim(input);
    if (rest.empty() || rest[0] == '#') {
        return true;
    }
    if (echo_) {
        printf("> %.*s\n", static_cast<int>(rest.size()), rest.data());
    }
    std::string_view word = next_word(rest);
    command_ = find_command(word);
    if (command_ == nullptr) {
        return bad(cat({"unknown command \"", word, "\"; \"help\" lists the commands"}));
    }
    return (this->*command_->handle)(rest);
}

}  // namespace

bool run_command_help(const char *name) {
    const Command *c = find_command(name);
    if (c == nullptr) {
        return false;
    }
    printf("%s is a command of memq-peer run, which reads one per line:\n", c->name);
    print_command_help(*c);
    return true;
}

int run_main(int argc, char **argv) {
    static const option longopts[] = {
        {"help", no_argument, nullptr, 'h'}, {"file", required_argument, nullptr, 'f'}, {}};
    optind = 1;
    opterr = 0;
    const char *file = nullptr;
    int c;
    while ((c = getopt_long(argc, argv, "+:hf:", longopts, nullptr)) != -1) {
        switch (c) {
            case 'h':
                fputs(RUN_INTRO, stdout);
                print_commands(stdout);
                fputs(RUN_NOTES, stdout);
                return EXIT_PASSED;
            case 'f':
                file = optarg;
                break;
            default:
                return option_error("memq-peer run", c, argv);
        }
    }
    std::string path = backend_operand("memq-peer run", argc, argv, optind);
    if (path.empty()) {
        return EXIT_USAGE;
    }
    FILE *in = stdin;
    if (file != nullptr && strcmp(file, "-") != 0) {
        in = fopen(file, "re");
        if (in == nullptr) {
            fprintf(stderr, "memq-peer run: cannot open %s: %s\n", file, strerror(errno));
            return EXIT_USAGE;
        }
    }

    Backend backend;
    if (!backend.start(path)) {
        if (in != stdin) {
            fclose(in);
        }
        return EXIT_USAGE;
    }
    // A person at a terminal gets a prompt, on stderr so that a transcript
    // kept from stdout holds replies alone. Input that does not come from a
    // terminal is echoed instead, so that the transcript reads on its own.
    const bool terminal = isatty(fileno(in)) != 0;
    const bool prompt = terminal && file == nullptr;
    Runner runner(backend, !terminal);
    char *line = nullptr;
    size_t cap = 0;
    int number = 0;
    bool going = true;
    while (going) {
        if (prompt) {
            fputs("> ", stderr);
        }
        if (getline(&line, &cap, in) == -1) {
            if (prompt) {
                fputs("\n", stderr);
            }
            break;
        }
        std::string_view text(line);
        if (!text.empty() && text.back() == '\n') {
            text.remove_suffix(1);
        }
        going = runner.line(++number, text);
        fflush(stdout);
    }
    free(line);
    if (in != stdin) {
        fclose(in);
    }
    bool clean = going && runner.end() && !runner.had_error();
    return clean ? EXIT_PASSED : EXIT_FAILED;
}

}  // namespace memq_peer

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

#include "channel/imsg.h"
#include "frame/queue_proto.h"
#include "memq_peer.h"

namespace memq_peer {

namespace {

constexpr const char *RUN_USAGE =
    "usage: memq-peer run [-f FILE] [BACKEND]\n"
    "\n"
    "Starts BACKEND (default: the memq beside memq-peer) exactly as the mail\n"
    "server does, reads one command per line from FILE (default: standard\n"
    "input), sends the request it names and prints the reply decoded, followed\n"
    "by any log lines the backend wrote meanwhile.\n"
    "\n"
    "commands:\n"
    "  hello [VERSION]              QUEUE_HELLO (version 2 unless given)\n"
    "  new                          QUEUE_MESSAGE_NEW\n"
    "  store MSGID FILE             QUEUE_MESSAGE_STORE with FILE's content\n"
    "  open MSGID [OUTFILE]         QUEUE_MESSAGE_OPEN; the content goes to OUTFILE\n"
    "  remove MSGID                 QUEUE_MESSAGE_REMOVE\n"
    "  mark MSGID                   QUEUE_MESSAGE_MARK\n"
    "  unmark MSGID                 QUEUE_MESSAGE_UNMARK\n"
    "  envelope-new MSGID TEXT      QUEUE_ENVELOPE_NEW with TEXT as the envelope\n"
    "  envelope-read ID             QUEUE_ENVELOPE_READ\n"
    "  envelope-replace ID TEXT     QUEUE_ENVELOPE_REPLACE\n"
    "  envelope-remove ID           QUEUE_ENVELOPE_REMOVE\n"
    "  iterate [messages [VALUE]]   QUEUE_ENVELOPE_ITERATE, or QUEUE_MESSAGE_ITERATE\n"
    "  finish                       QUEUE_FINISH\n"
    "  raw TYPE [HEXBYTES]          a hand-made request: TYPE as a number or a\n"
    "                               name such as QUEUE_HELLO, the payload in hex\n"
    "  help                         this list\n"
    "\n"
    "Every id that a reply brings is numbered: $1 is the first, $2 the next,\n"
    "and can stand wherever a MSGID or ID goes. Numbers are decimal or 0x hex.\n"
    "TEXT is the rest of the line; \\n, \\t, \\\\ and \\xHH stand for the bytes\n"
    "they name. Empty lines and lines starting with # are skipped. A bad\n"
    "command is reported and the session goes on.\n"
    "\n"
    "Exit status: 0 when every command was understood and the backend ended\n"
    "with status 0, 1 otherwise, 2 when the backend could not be started or\n"
    "the command line is wrong.\n";

using bytes = std::vector<uint8_t>;

constexpr size_t MAX_PAYLOAD = IMSG_MAX_LEN - IMSG_HDR_LEN;

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

  private:
    // Reports a bad command; the session goes on.
    bool bad(const std::string &why) {
        fflush(stdout);
        fprintf(stderr, "memq-peer run: line %d: %s\n", line_no_, why.c_str());
        errors_++;
        return true;
    }

    std::optional<uint64_t> number(std::string_view word, uint64_t max, const char *what);
    std::optional<uint32_t> msgid(std::string_view word) {
        std::optional<uint64_t> v = number(word, UINT32_MAX, "MSGID");
        return v ? std::optional<uint32_t>(static_cast<uint32_t>(*v)) : std::nullopt;
    }
    std::optional<uint64_t> evpid(std::string_view word) { return number(word, UINT64_MAX, "ID"); }
    std::optional<bytes> text(std::string_view rest);
    std::optional<bytes> hex(std::string_view rest);
    bool no_more(std::string_view rest, const char *command);

    // Sends the request and prints its reply; the reply's descriptor, if any,
    // is left in reply_.
    bool exchange(uint32_t type, std::span<const uint8_t> payload, int fd = -1, bool raw = false);
    void show_log();
    bool gone(const std::string &why);

    bool open_command(std::string_view rest);
    bool store_command(std::string_view rest);

    Backend &backend_;
    bool echo_;
    int line_no_ = 0;
    int errors_ = 0;
    std::vector<uint64_t> ids_;
    peer::Reply reply_;
};

std::optional<uint64_t> Runner::number(std::string_view word, uint64_t max, const char *what) {
    if (word.empty()) {
        bad(std::string(what) + " is missing");
        return std::nullopt;
    }
    uint64_t v;
    if (word[0] == '$') {
        std::string digits(word.substr(1));
        char *end = nullptr;
        errno = 0;
        unsigned long long n = strtoull(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0' || errno != 0 || n == 0) {
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
        v = ids_[n - 1];
    } else {
        std::string digits(word);
        char *end = nullptr;
        errno = 0;
        unsigned long long n = strtoull(digits.c_str(), &end, 0);
        if (digits[0] == '-' || *end != '\0' || errno != 0) {
            bad("\"" + digits + "\" is not a number for " + what);
            return std::nullopt;
        }
        v = n;
    }
    if (v > max) {
        bad(cat({what, " ", word, " does not fit in 32 bits"}));
        return std::nullopt;
    }
    return v;
}

std::optional<bytes> Runner::text(std::string_view rest) {
    // One separating blank goes; the rest of the line is the text, as it is.
    if (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) {
        rest.remove_prefix(1);
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

bool Runner::no_more(std::string_view rest, const char *command) {
    std::string_view extra = trim(rest);
    if (!extra.empty()) {
        bad(cat({"\"", extra, "\" after ", command, ", which takes nothing more"}));
        return false;
    }
    return true;
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
    errors_++;
    return false;
}

bool Runner::end() {
    int status = backend_.stop();
    show_log();
    printf("end of input: the backend ended with %s\n", describe_status(status).c_str());
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
        ids_.push_back(*d.id);
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

bool Runner::store_command(std::string_view rest) {
    std::optional<uint32_t> id = msgid(next_word(rest));
    if (!id) {
        return true;
    }
    std::string path(trim(rest));
    if (path.empty()) {
        return bad("store needs a FILE after the MSGID");
    }
    peer::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return bad("cannot open " + path + ": " + strerror(errno));
    }
    return exchange(QUEUE_MESSAGE_STORE, peer::payload_u32(*id), fd.get());
}

bool Runner::open_command(std::string_view rest) {
    std::optional<uint32_t> id = msgid(next_word(rest));
    if (!id) {
        return true;
    }
    std::string path(trim(rest));
    if (!exchange(QUEUE_MESSAGE_OPEN, peer::payload_u32(*id))) {
        return false;
    }
    peer::UniqueFd in(std::move(reply_.fd));
    if (!in.valid()) {
        return true;
    }
    peer::UniqueFd out;
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
    std::string command(word);

    if (command == "help") {
        fputs(RUN_USAGE, stdout);
        return true;
    }
    if (command == "hello") {
        uint64_t version = QUEUE_API_VERSION;
        std::string_view arg = next_word(rest);
        if (!arg.empty()) {
            std::optional<uint64_t> v = this->number(arg, UINT32_MAX, "VERSION");
            if (!v) {
                return true;
            }
            version = *v;
        }
        if (!no_more(rest, "hello VERSION")) {
            return true;
        }
        return exchange(QUEUE_HELLO, peer::payload_u32(static_cast<uint32_t>(version)));
    }
    if (command == "new" || command == "finish") {
        if (!no_more(rest, command.c_str())) {
            return true;
        }
        return exchange(command == "new" ? QUEUE_MESSAGE_NEW : QUEUE_FINISH, {});
    }
    if (command == "store") {
        return store_command(rest);
    }
    if (command == "open") {
        return open_command(rest);
    }
    if (command == "remove" || command == "mark" || command == "unmark") {
        std::optional<uint32_t> id = msgid(next_word(rest));
        if (!id || !no_more(rest, "the MSGID")) {
            return true;
        }
        uint32_t type = command == "remove" ? QUEUE_MESSAGE_REMOVE
                        : command == "mark" ? QUEUE_MESSAGE_MARK
                                            : QUEUE_MESSAGE_UNMARK;
        return exchange(type, peer::payload_u32(*id));
    }
    if (command == "envelope-new") {
        std::optional<uint32_t> id = msgid(next_word(rest));
        std::optional<bytes> envelope = id ? text(rest) : std::nullopt;
        if (!envelope) {
            return true;
        }
        return exchange(QUEUE_ENVELOPE_NEW, peer::payload_u32_bytes(*id, *envelope));
    }
    if (command == "envelope-replace") {
        std::optional<uint64_t> id = evpid(next_word(rest));
        std::optional<bytes> envelope = id ? text(rest) : std::nullopt;
        if (!envelope) {
            return true;
        }
        return exchange(QUEUE_ENVELOPE_REPLACE, peer::payload_u64_bytes(*id, *envelope));
    }
    if (command == "envelope-read" || command == "envelope-remove") {
        std::optional<uint64_t> id = evpid(next_word(rest));
        if (!id || !no_more(rest, "the ID")) {
            return true;
        }
        return exchange(command == "envelope-read" ? QUEUE_ENVELOPE_READ : QUEUE_ENVELOPE_REMOVE,
                        peer::payload_u64(*id));
    }
    if (command == "iterate") {
        std::string_view what = next_word(rest);
        if (what.empty() || what == "envelopes") {
            if (!no_more(rest, "iterate")) {
                return true;
            }
            return exchange(QUEUE_ENVELOPE_ITERATE, {});
        }
        if (what != "messages") {
            return bad("iterate takes \"envelopes\" or \"messages\", not \"" + std::string(what) +
                       "\"");
        }
        uint64_t value = 0;
        std::string_view arg = next_word(rest);
        if (!arg.empty()) {
            std::optional<uint64_t> v = this->number(arg, UINT32_MAX, "VALUE");
            if (!v) {
                return true;
            }
            value = *v;
        }
        if (!no_more(rest, "iterate messages VALUE")) {
            return true;
        }
        return exchange(QUEUE_MESSAGE_ITERATE, peer::payload_u32(static_cast<uint32_t>(value)));
    }
    if (command == "raw") {
        std::string_view type_word = next_word(rest);
        if (type_word.empty()) {
            return bad("raw needs a TYPE");
        }
        std::optional<uint64_t> type;
        for (uint32_t t = QUEUE_HELLO; t <= QUEUE_MESSAGE_ITERATE; t++) {
            if (type_word == peer::request_name(t)) {
                type = t;
            }
        }
        if (!type) {
            type = this->number(type_word, UINT32_MAX, "TYPE");
            if (!type) {
                return true;
            }
        }
        std::optional<bytes> payload = hex(rest);
        if (!payload) {
            return true;
        }
        if (payload->size() > MAX_PAYLOAD) {
            return bad(std::to_string(payload->size()) +
                       " bytes do not fit in one frame (at most " + std::to_string(MAX_PAYLOAD) +
                       ")");
        }
        return exchange(static_cast<uint32_t>(*type), *payload, -1, true);
    }
    return bad("unknown command \"" + command + "\"; \"help\" lists the commands");
}

}  // namespace

int run_main(int argc, char **argv) {
    static const option longopts[] = {
        {"help", no_argument, nullptr, 'h'}, {"file", required_argument, nullptr, 'f'}, {}};
    optind = 1;
    const char *file = nullptr;
    int c;
    while ((c = getopt_long(argc, argv, "+hf:", longopts, nullptr)) != -1) {
        switch (c) {
            case 'h':
                fputs(RUN_USAGE, stdout);
                return EXIT_PASSED;
            case 'f':
                file = optarg;
                break;
            default:
                fputs(RUN_USAGE, stderr);
                return EXIT_USAGE;
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
    // Echo the commands when they do not come from a person at a terminal,
    // so that the transcript reads on its own.
    Runner runner(backend, !isatty(fileno(in)));
    char *line = nullptr;
    size_t cap = 0;
    int number = 0;
    bool going = true;
    while (going && getline(&line, &cap, in) != -1) {
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

#include "run_session.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli.h"
#include "peer/reply.h"
#include "run_parse.h"

namespace memq_peer {

using peer::cat;
using peer::describe_reply;
using peer::hex_bytes;
using peer::hex_evpid;
using peer::hex_msgid;
using wire::Bytes;

namespace {

constexpr size_t MAX_PAYLOAD = wire::MAX_PAYLOAD;

const char *bits(uint64_t max) {
    return max == UINT32_MAX ? "32" : "64";
}

}  // namespace

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

std::optional<Bytes> Runner::text(std::string_view rest) {
    std::string why;
    bool shape;
    std::optional<Bytes> out = parse_text(rest, why, shape);
    if (!out && shape) {
        misused(why);
    } else if (!out) {
        bad(why);
    }
    return out;
}

std::optional<Bytes> Runner::hex(std::string_view rest) {
    std::string why;
    std::optional<Bytes> out = parse_hex(rest, why);
    if (!out) {
        bad(why);
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
           peer::describe_status(status).c_str());
    std::string hint = confinement_hint(backend_);
    if (!hint.empty()) {
        printf("! hint: %s\n", hint.c_str());
    }
    errors_++;
    return false;
}

bool Runner::end() {
    int status = backend_.stop();
    show_log();
    printf("end of input: the backend ended with %s\n", peer::describe_status(status).c_str());
    std::string hint = confinement_hint(backend_);
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
        printf("  reply type %u, %zu payload bytes%s%s%s\n", reply_.header.type,
               reply_.payload.size(), reply_.payload.empty() ? "" : ": ",
               hex_bytes(reply_.payload, 64).c_str(),
               reply_.fd.valid() ? ", with a descriptor" : "");
    }
    show_log();
    return true;
}

std::optional<uint32_t> Runner::last_u32(std::string_view rest, const char *what,
                                         uint32_t fallback) {
    uint64_t value = fallback;
    std::string_view arg = next_word(rest);
    if (!arg.empty()) {
        std::optional<uint64_t> v = number(arg, UINT32_MAX, what);
        if (!v) {
            return std::nullopt;
        }
        value = *v;
    }
    if (!no_more(rest, cat({"the ", what}).c_str())) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

bool Runner::hello(std::string_view rest) {
    std::optional<uint32_t> version = last_u32(rest, "VERSION", QUEUE_API_VERSION);
    return !version || exchange(QUEUE_HELLO, wire::u32(*version));
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
    return exchange(QUEUE_MESSAGE_STORE, wire::u32(*id), fd.get());
}

bool Runner::open_message(std::string_view rest) {
    std::optional<uint32_t> id = msgid(next_word(rest));
    if (!id) {
        return true;
    }
    std::string path(trim(rest));
    if (!exchange(QUEUE_MESSAGE_OPEN, wire::u32(*id))) {
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
    return exchange(type, wire::u32(*id));
}

bool Runner::envelope_request(std::string_view rest, uint32_t type) {
    std::optional<uint64_t> id = evpid(next_word(rest));
    if (!id || !no_more(rest, "the ID")) {
        return true;
    }
    return exchange(type, wire::u64(*id));
}

bool Runner::envelope_new(std::string_view rest) {
    std::optional<uint32_t> id = msgid(next_word(rest));
    std::optional<Bytes> envelope = id ? text(rest) : std::nullopt;
    if (!envelope) {
        return true;
    }
    Bytes payload = wire::cat({wire::u32(*id), *envelope});
    if (!fits(payload.size(), sizeof(uint32_t), "an envelope")) {
        return true;
    }
    return exchange(QUEUE_ENVELOPE_NEW, payload);
}

bool Runner::envelope_replace(std::string_view rest) {
    std::optional<uint64_t> id = evpid(next_word(rest));
    std::optional<Bytes> envelope = id ? text(rest) : std::nullopt;
    if (!envelope) {
        return true;
    }
    Bytes payload = wire::cat({wire::u64(*id), *envelope});
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
    std::optional<uint32_t> value = last_u32(rest, "VALUE", 0);
    return !value || exchange(QUEUE_MESSAGE_ITERATE, wire::u32(*value));
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
    std::optional<Bytes> payload = hex(rest);
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

}  // namespace memq_peer

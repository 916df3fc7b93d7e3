// memq-peer check: one scripted session that uses every request type with
// real content and envelopes, and says for each step what was asked, what
// came back and whether that is what the protocol and the in-memory store
// promise.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "frame/queue_proto.h"
#include "memq_peer.h"

namespace memq_peer {

namespace {

constexpr const char *CHECK_USAGE =
    "usage: memq-peer check [BACKEND]\n"
    "\n"
    "Starts BACKEND (default: the memq beside memq-peer) exactly as the mail\n"
    "server does and runs a scripted session over every request type: new\n"
    "messages, content stored from a file and from pipes (one of several MiB),\n"
    "opened and compared byte for byte, envelopes created, read, replaced and\n"
    "removed, the message going with its last envelope, mark, unmark, iterate\n"
    "and finish. One line per step (ok or FAIL with the difference), then a\n"
    "summary and the backend's own log lines.\n"
    "\n"
    "Exit status: 0 when every step passed, 1 when a step failed, 2 when the\n"
    "backend could not be started or the command line is wrong.\n";

using bytes = std::vector<uint8_t>;

bytes text_bytes(const char *s) {
    return bytes(s, s + strlen(s));
}

// Content that no simple fault reproduces by accident: every byte value, and
// no period shorter than the whole.
bytes pseudo_random(size_t n, uint32_t seed) {
    bytes out(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

// A regular file, already unlinked, holding content and positioned at its
// start; the mail server hands the backend such spool files.
peer::UniqueFd file_with(const bytes &content) {
    FILE *f = tmpfile();
    if (f == nullptr) {
        return peer::UniqueFd();
    }
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size() && fflush(f) == 0;
    peer::UniqueFd fd(ok ? dup(fileno(f)) : -1);
    fclose(f);
    if (fd.valid() && lseek(fd.get(), 0, SEEK_SET) != 0) {
        fd.reset();
    }
    return fd;
}

// The bytes around offset `at`, quoted, for showing where two runs differ.
std::string window(std::span<const uint8_t> b, size_t at) {
    constexpr size_t BEFORE = 12;
    constexpr size_t SHOWN = 24;
    size_t from = at > BEFORE ? at - BEFORE : 0;
    size_t n = std::min(SHOWN, b.size() - std::min(from, b.size()));
    return cat(
        {from > 0 ? "..." : "", quoted(b.subspan(from, n)), from + n < b.size() ? "..." : ""});
}

// "" when equal; otherwise where and how got differs from want.
std::string difference(std::span<const uint8_t> got, std::span<const uint8_t> want) {
    size_t common = std::min(got.size(), want.size());
    size_t i = 0;
    while (i < common && got[i] == want[i]) {
        i++;
    }
    if (i == common && got.size() == want.size()) {
        return {};
    }
    std::string where = cat({"first difference at byte ", std::to_string(i)});
    if (i == common) {
        return cat({where, ": ", std::to_string(got.size()), " bytes where ",
                    std::to_string(want.size()), " belong"});
    }
    return cat({where, ": ", window(got, i), " where ", window(want, i), " belongs"});
}

double seconds_since(const timespec &start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

class Session {
  public:
    explicit Session(Backend &backend) : backend_(backend) {}

    // Sends one request and decodes its reply. When no reply comes, the step
    // fails, and every later request is skipped.
    std::optional<peer::DecodedReply> ask(const std::string &asked, uint32_t type,
                                          std::span<const uint8_t> payload, int fd = -1) {
        if (gone_) {
            return std::nullopt;
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
            fail(asked, describe_reply(type, d),
                 "a well-formed reply to " + std::string(peer::request_name(type)));
            return std::nullopt;
        }
        return d;
    }

    // The descriptor that came with the last reply, now the caller's.
    peer::UniqueFd take_fd() { return std::move(last_.fd); }

    // Judges a result-only reply.
    void expect_result(const std::string &asked, uint32_t type, std::span<const uint8_t> payload,
                       int32_t want, int fd = -1) {
        std::optional<peer::DecodedReply> d = ask(asked, type, payload, fd);
        if (!d) {
            return;
        }
        std::string got = describe_reply(type, *d);
        if (*d->result == want) {
            pass(asked, got);
        } else {
            fail(asked, got, "result " + std::to_string(want));
        }
    }

    // Judges a reply that must be a bare header, as to QUEUE_HELLO.
    void expect_empty(const std::string &asked, uint32_t type, std::span<const uint8_t> payload) {
        std::optional<peer::DecodedReply> d = ask(asked, type, payload);
        if (d) {
            pass(asked, describe_reply(type, *d));
        }
    }

    void pass(const std::string &asked, const std::string &got) {
        passed_++;
        printf("%3d ok    %s -> %s\n", ++steps_, asked.c_str(), got.c_str());
        fflush(stdout);
    }

    void fail(const std::string &asked, const std::string &got, const std::string &want) {
        failed_++;
        printf("%3d FAIL  %s -> %s\n          expected %s\n", ++steps_, asked.c_str(), got.c_str(),
               want.c_str());
        fflush(stdout);
    }

    bool gone() const { return gone_; }
    int steps() const { return steps_; }
    int passed() const { return passed_; }
    int failed() const { return failed_; }

  private:
    static std::string errno_text() { return strerror(errno); }

    Backend &backend_;
    peer::Reply last_;
    bool gone_ = false;
    int steps_ = 0;
    int passed_ = 0;
    int failed_ = 0;
};

// QUEUE_MESSAGE_NEW, expecting a fresh msgid that differs from those in
// `taken`. 0 when the step failed.
uint32_t new_message(Session &s, const std::vector<uint32_t> &taken) {
    const std::string asked = "new message";
    std::optional<peer::DecodedReply> d = s.ask(asked, QUEUE_MESSAGE_NEW, {});
    if (!d) {
        return 0;
    }
    std::string got = describe_reply(QUEUE_MESSAGE_NEW, *d);
    if (*d->result != 1) {
        s.fail(asked, got, "result 1 and a msgid");
        return 0;
    }
    auto id = static_cast<uint32_t>(*d->id);
    if (id == 0 || id == UINT32_MAX) {
        s.fail(asked, got, "a msgid between 1 and 0xfffffffe");
        return 0;
    }
    for (uint32_t t : taken) {
        if (t == id) {
            s.fail(asked, got, "a msgid that no stored message has");
            return 0;
        }
    }
    s.pass(asked, got);
    return id;
}

// QUEUE_MESSAGE_STORE from the descriptor fd, expecting `want`.
void store(Session &s, uint32_t msgid, const std::string &from, int fd, int32_t want) {
    s.expect_result("store " + hex_msgid(msgid) + " from " + from, QUEUE_MESSAGE_STORE,
                    peer::payload_u32(msgid), want, fd);
}

// QUEUE_MESSAGE_OPEN, expecting a descriptor at offset 0 on exactly `want`,
// or no descriptor when want is null.
void open_message(Session &s, uint32_t msgid, const bytes *want, const std::string &what) {
    const std::string asked = "open " + hex_msgid(msgid) + " (" + what + ")";
    std::optional<peer::DecodedReply> d =
        s.ask(asked, QUEUE_MESSAGE_OPEN, peer::payload_u32(msgid));
    if (!d) {
        return;
    }
    peer::UniqueFd fd = s.take_fd();
    if (want == nullptr) {
        if (fd.valid()) {
            s.fail(asked, "a descriptor", "no descriptor: the message should be gone");
        } else {
            s.pass(asked, "no descriptor");
        }
        return;
    }
    if (!fd.valid()) {
        s.fail(asked, "no descriptor",
               "a descriptor on " + std::to_string(want->size()) + " bytes");
        return;
    }
    off_t at = lseek(fd.get(), 0, SEEK_CUR);
    bytes content;
    if (!peer::read_to_end(fd.get(), content)) {
        s.fail(asked, std::string("a descriptor that cannot be read: ") + strerror(errno),
               "a readable descriptor");
        return;
    }
    std::string got = "a descriptor on " + std::to_string(content.size()) + " bytes";
    if (at != 0) {
        s.fail(asked, got + " at offset " + std::to_string(at), "the descriptor at offset 0");
        return;
    }
    std::string diff = difference(content, *want);
    if (!diff.empty()) {
        s.fail(asked, got, "the stored content; " + diff);
        return;
    }
    s.pass(asked, got + ", the same as stored");
}

// QUEUE_ENVELOPE_NEW, expecting result 1 and an id under msgid. 0 when the
// step failed.
uint64_t new_envelope(Session &s, uint32_t msgid, const bytes &envelope) {
    const std::string asked =
        "new envelope for " + hex_msgid(msgid) + ", " + std::to_string(envelope.size()) + " bytes";
    std::optional<peer::DecodedReply> d =
        s.ask(asked, QUEUE_ENVELOPE_NEW, peer::payload_u32_bytes(msgid, envelope));
    if (!d) {
        return 0;
    }
    std::string got = describe_reply(QUEUE_ENVELOPE_NEW, *d);
    if (*d->result != 1) {
        s.fail(asked, got, "result 1 and an envelope id");
        return 0;
    }
    uint64_t id = *d->id;
    if ((id >> 32) != msgid || static_cast<uint32_t>(id) == 0) {
        s.fail(asked, got,
               "an envelope id with " + hex_msgid(msgid) +
                   " in its upper half and a non-zero lower half");
        return 0;
    }
    s.pass(asked, got);
    return id;
}

// QUEUE_ENVELOPE_READ, expecting exactly `want` (empty: no such envelope).
void read_envelope(Session &s, uint64_t id, const bytes &want, const std::string &what) {
    const std::string asked = "read envelope " + hex_evpid(id) + " (" + what + ")";
    std::optional<peer::DecodedReply> d = s.ask(asked, QUEUE_ENVELOPE_READ, peer::payload_u64(id));
    if (!d) {
        return;
    }
    std::string got = d->bytes.empty()
                          ? std::string("empty reply")
                          : std::to_string(d->bytes.size()) + " bytes " + quoted(d->bytes, 40);
    std::string diff = difference(d->bytes, want);
    if (!diff.empty()) {
        s.fail(asked, got,
               want.empty() ? std::string("an empty reply")
                            : cat({"the ", std::to_string(want.size()), " bytes stored; ", diff}));
        return;
    }
    s.pass(asked, got);
}

void iterate(Session &s, uint32_t type, std::span<const uint8_t> payload,
             const std::string &asked) {
    std::optional<peer::DecodedReply> d = s.ask(asked, type, payload);
    if (!d) {
        return;
    }
    std::string got = describe_reply(type, *d);
    if (*d->result != -1) {
        s.fail(asked, got, "result -1 alone: this backend does not walk its queue");
        return;
    }
    s.pass(asked, got);
}

void run_session(Session &s) {
    s.expect_empty("hello, version 2", QUEUE_HELLO, peer::payload_u32(QUEUE_API_VERSION));

    // A mail as the server would spool it, stored from a regular file.
    const bytes mail = text_bytes(
        "Received: from client.example.org (client.example.org [192.0.2.7])\r\n"
        "\tby mx.example.net with ESMTPS id 4f2a9c1e\r\n"
        "From: Alice <alice@example.org>\r\n"
        "To: Bob <bob@example.net>\r\n"
        "Subject: the quarterly figures\r\n"
        "Message-ID: <20240101120000.4f2a9c1e@client.example.org>\r\n"
        "\r\n"
        "Bob,\r\n\r\nthe figures are attached. A line with only a dot follows.\r\n"
        "..\r\n\r\nAlice\r\n");
    // Several MiB through a pipe, not a multiple of the backend's block size.
    const bytes big = pseudo_random(5 * 1024 * 1024 + 4321, 0x9e3779b9u);
    const bytes empty;
    const bytes envelope_a = text_bytes(
        "version: 7\nmsgid: fixed\ntype: mta\nhelo: client.example.org\n"
        "sender: alice@example.org\ndest: bob@example.net\nretry: 0\n");
    const bytes envelope_a2 = text_bytes(
        "version: 7\ntype: mta\nsender: alice@example.org\ndest: bob@example.net\nretry: 1\n"
        "errorline: 421 4.7.0 try again later\n");
    // The largest envelope that a reply can bring back whole.
    const bytes envelope_b = pseudo_random(QUEUE_ENVELOPE_BUF, 7);

    std::vector<uint32_t> taken;
    uint32_t m1 = new_message(s, taken);
    if (m1 == 0) {
        return;
    }
    taken.push_back(m1);
    open_message(s, m1, &empty, "nothing stored yet: an empty file");

    peer::UniqueFd file = file_with(mail);
    if (!file.valid()) {
        s.fail("make a spool file", strerror(errno), "a temporary file for the content");
        return;
    }
    store(s, m1, "a file of " + std::to_string(mail.size()) + " bytes", file.get(), 1);
    file.reset();
    open_message(s, m1, &mail, "the mail");

    {
        peer::PipeFeeder feeder;
        if (!feeder.start(big)) {
            s.fail("feed a pipe", strerror(errno), "a pipe and a writer thread");
            return;
        }
        store(s, m1, "a pipe of " + std::to_string(big.size()) + " bytes", feeder.read_fd(), 1);
        feeder.close_read_end();
        if (!feeder.finish() && !s.gone()) {
            s.fail("feed the pipe", "the backend stopped reading early",
                   "the backend to read the pipe to its end");
        }
    }
    open_message(s, m1, &big, "the new content replaced the mail");

    uint32_t m2 = new_message(s, taken);
    if (m2 == 0) {
        return;
    }
    taken.push_back(m2);
    {
        peer::PipeFeeder feeder;
        if (!feeder.start(empty)) {
            s.fail("feed a pipe", strerror(errno), "a pipe and a writer thread");
            return;
        }
        store(s, m2, "a pipe that ends at once", feeder.read_fd(), 1);
        feeder.close_read_end();
        feeder.finish();
    }
    open_message(s, m2, &empty, "an empty message");

    uint64_t e1 = new_envelope(s, m1, envelope_a);
    uint64_t e2 = new_envelope(s, m1, envelope_b);
    if (e1 == 0 || e2 == 0) {
        return;
    }
    if (e1 == e2) {
        s.fail("compare the two envelope ids", hex_evpid(e1) + " twice", "two different ids");
    }
    read_envelope(s, e1, envelope_a, "as created");
    read_envelope(s, e2, envelope_b, "8192 bytes, the most a reply holds");
    s.expect_result("replace envelope " + hex_evpid(e1), QUEUE_ENVELOPE_REPLACE,
                    peer::payload_u64_bytes(e1, envelope_a2), 1);
    read_envelope(s, e1, envelope_a2, "as replaced");
    s.expect_result("remove envelope " + hex_evpid(e1), QUEUE_ENVELOPE_REMOVE,
                    peer::payload_u64(e1), 1);
    read_envelope(s, e1, empty, "removed: nothing comes back");
    open_message(s, m1, &big, "one envelope left, so the message stays");
    s.expect_result("remove the last envelope " + hex_evpid(e2), QUEUE_ENVELOPE_REMOVE,
                    peer::payload_u64(e2), 1);
    open_message(s, m1, nullptr, "gone with its last envelope");
    s.expect_result("new envelope for the vanished " + hex_msgid(m1), QUEUE_ENVELOPE_NEW,
                    peer::payload_u32_bytes(m1, envelope_a), 0);
    {
        peer::UniqueFd again = file_with(mail);
        store(s, m1, "a file, to the vanished message", again.get(), 0);
    }

    // This backend keeps no state for a mark: marking drops the message and
    // unmarking has nothing to undo. Both answer 0.
    uint32_t m3 = new_message(s, taken);
    if (m3 == 0) {
        return;
    }
    taken.push_back(m3);
    uint64_t e3 = new_envelope(s, m3, envelope_a);
    s.expect_result("unmark " + hex_msgid(m3), QUEUE_MESSAGE_UNMARK, peer::payload_u32(m3), 0);
    open_message(s, m3, &empty, "unmark left it alone");
    s.expect_result("mark " + hex_msgid(m2), QUEUE_MESSAGE_MARK, peer::payload_u32(m2), 0);
    open_message(s, m2, nullptr, "marking dropped it");

    s.expect_result("remove message " + hex_msgid(m3), QUEUE_MESSAGE_REMOVE, peer::payload_u32(m3),
                    0);
    read_envelope(s, e3, empty, "went with its message");
    open_message(s, m3, nullptr, "removed");

    iterate(s, QUEUE_ENVELOPE_ITERATE, {}, "iterate envelopes");
    iterate(s, QUEUE_MESSAGE_ITERATE, peer::payload_u32(0), "iterate messages");
    s.expect_result("finish", QUEUE_FINISH, {}, 1);
    s.expect_empty("hello again: finish does not end the service", QUEUE_HELLO,
                   peer::payload_u32(QUEUE_API_VERSION));
}

}  // namespace

int check_main(int argc, char **argv) {
    static const option longopts[] = {{"help", no_argument, nullptr, 'h'}, {}};
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "+h", longopts, nullptr)) != -1) {
        if (c == 'h') {
            fputs(CHECK_USAGE, stdout);
            return EXIT_PASSED;
        }
        fputs(CHECK_USAGE, stderr);
        return EXIT_USAGE;
    }
    std::string path = backend_operand("memq-peer check", argc, argv, optind);
    if (path.empty()) {
        return EXIT_USAGE;
    }

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    Backend backend;
    if (!backend.start(path)) {
        return EXIT_USAGE;
    }
    printf("memq-peer check: %s (pid %d)\n", path.c_str(), static_cast<int>(backend.pid()));
    fflush(stdout);

    Session s(backend);
    run_session(s);

    // The backend must take the closed socket as the normal end of service.
    int status = backend.stop();
    std::string ended = describe_status(status);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        s.pass("close the connection", "the backend ended with " + ended);
    } else {
        s.fail("close the connection", "the backend ended with " + ended, "exit status 0");
    }

    printf("\n%d steps: %d ok, %d failed, in %.2f s\n", s.steps(), s.passed(), s.failed(),
           seconds_since(start));
    if (s.gone()) {
        printf("The backend stopped answering, so the rest of the session was not run.\n");
    }

    std::string log = backend.new_log();
    printf("\nbackend log:\n");
    size_t pos = 0;
    while (pos < log.size()) {
        size_t nl = log.find('\n', pos);
        size_t end = nl == std::string::npos ? log.size() : nl;
        printf("  %.*s\n", static_cast<int>(end - pos), log.c_str() + pos);
        pos = end + 1;
    }
    if (log.empty()) {
        printf("  (nothing)\n");
    }
    bool all_ok = s.failed() == 0 && !s.gone();
    return all_ok ? EXIT_PASSED : EXIT_FAILED;
}

}  // namespace memq_peer

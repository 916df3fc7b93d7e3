// memq-peer check: one scripted session that uses every request type with
// real content and envelopes, and says for each step what was asked, what
// came back and whether that is what the protocol and the in-memory store
// promise.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "check_session.h"
#include "cli.h"
#include "frame/queue_proto.h"
#include "peer/backend.h"
#include "peer/reply.h"

namespace memq_peer {

namespace {

constexpr const char *CHECK_USAGE =
    "usage: memq-peer check [--tap] [BACKEND]\n"
    "\n"
    "Starts BACKEND (default: the memq beside memq-peer) exactly as the mail\n"
    "server does and runs a scripted session over every request type: new\n"
    "messages, content stored from a file and from pipes (one of several MiB),\n"
    "opened and compared byte for byte, envelopes created, read, replaced and\n"
    "removed, envelopes too large refused, the message going with its last\n"
    "envelope, mark, unmark, iterate and finish. Each step also names the log\n"
    "lines it expects from the backend, and fails when it gets others.\n"
    "\n"
    "One line per step (ok, or FAIL with the difference), then the backend's\n"
    "log with every line marked expected or UNEXPECTED, then a summary as the\n"
    "last line. --tap writes the same as TAP version 13 for CI systems.\n"
    "\n"
    "Exit status: 0 when every step passed, 1 when a step failed, 2 when the\n"
    "backend could not be started or the command line is wrong.\n";

using peer::cat;
using peer::describe_reply;
using peer::describe_result;
using peer::hex_evpid;
using peer::hex_msgid;
using peer::quoted;
using wire::Bytes;

Bytes text_bytes(const char *s) {
    return Bytes(s, s + strlen(s));
}

// A regular file, already unlinked, holding content and positioned at its
// start; the mail server hands the backend such spool files.
unique_fd file_with(const Bytes &content) {
    FILE *f = tmpfile();
    if (f == nullptr) {
        return unique_fd();
    }
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size() && fflush(f) == 0;
    unique_fd fd(ok ? dup(fileno(f)) : -1);
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

// QUEUE_MESSAGE_STORE of content from the descriptor fd, expecting `want`.
// A store whose content the loop cannot copy never reaches the store and
// logs `loop_log`.
void store(Session &s, uint32_t msgid, const std::string &from, int fd,
           std::span<const uint8_t> content, int32_t want,
           std::optional<Lines> loop_log = std::nullopt) {
    s.expect_result("store " + hex_msgid(msgid) + " from " + from, QUEUE_MESSAGE_STORE,
                    wire::u32(msgid), want, fd, content, std::move(loop_log));
}

// QUEUE_MESSAGE_OPEN, expecting a descriptor at offset 0 on exactly `want`,
// or no descriptor when want is null.
void open_message(Session &s, uint32_t msgid, const Bytes *want, const std::string &what) {
    const std::string asked = "open " + hex_msgid(msgid) + " (" + what + ")";
    std::optional<peer::DecodedReply> d = s.ask(asked, QUEUE_MESSAGE_OPEN, wire::u32(msgid));
    if (!d) {
        return;
    }
    unique_fd fd = s.take_fd();
    if (want == nullptr) {
        if (fd.valid()) {
            s.fail(asked, "a descriptor", "no descriptor: the message should be gone");
        } else {
            s.pass(asked, describe_reply(QUEUE_MESSAGE_OPEN, *d));
        }
        return;
    }
    if (!fd.valid()) {
        s.fail(asked, describe_reply(QUEUE_MESSAGE_OPEN, *d),
               "a descriptor on " + std::to_string(want->size()) + " bytes");
        return;
    }
    off_t at = lseek(fd.get(), 0, SEEK_CUR);
    Bytes content;
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
uint64_t new_envelope(Session &s, uint32_t msgid, const Bytes &envelope) {
    const std::string asked =
        "new envelope for " + hex_msgid(msgid) + ", " + std::to_string(envelope.size()) + " bytes";
    std::optional<peer::DecodedReply> d =
        s.ask(asked, QUEUE_ENVELOPE_NEW, wire::cat({wire::u32(msgid), envelope}));
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
void read_envelope(Session &s, uint64_t id, const Bytes &want, const std::string &what) {
    const std::string asked = "read envelope " + hex_evpid(id) + " (" + what + ")";
    std::optional<peer::DecodedReply> d = s.ask(asked, QUEUE_ENVELOPE_READ, wire::u64(id));
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
    s.expect_empty("hello, version 2", QUEUE_HELLO, wire::u32(QUEUE_API_VERSION));

    // A mail as the server would spool it, stored from a regular file.
    const Bytes mail = text_bytes(
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
    const Bytes big = wire::pattern(5 * 1024 * 1024 + 4321, 0x9e3779b9u);
    const Bytes empty;
    const Bytes envelope_a = text_bytes(
        "version: 7\nmsgid: fixed\ntype: mta\nhelo: client.example.org\n"
        "sender: alice@example.org\ndest: bob@example.net\nretry: 0\n");
    const Bytes envelope_a2 = text_bytes(
        "version: 7\ntype: mta\nsender: alice@example.org\ndest: bob@example.net\nretry: 1\n"
        "errorline: 421 4.7.0 try again later\n");
    // The largest envelope that a reply can bring back whole, and one byte
    // more, which memq refuses although a request could carry it.
    const Bytes envelope_b = wire::pattern(QUEUE_ENVELOPE_BUF, 7);
    const Bytes envelope_too_large = wire::pattern(QUEUE_ENVELOPE_BUF + 1, 11);

    std::vector<uint32_t> taken;
    uint32_t m1 = new_message(s, taken);
    if (m1 == 0) {
        return;
    }
    taken.push_back(m1);
    open_message(s, m1, &empty, "nothing stored yet: an empty file");

    unique_fd file = file_with(mail);
    if (!file.valid()) {
        s.fail("make a spool file", strerror(errno), "a temporary file for the content");
        return;
    }
    store(s, m1, "a file of " + std::to_string(mail.size()) + " bytes", file.get(), mail, 1);
    file.reset();
    open_message(s, m1, &mail, "the mail");

    {
        peer::PipeFeeder feeder;
        if (!feeder.start(big)) {
            s.fail("feed a pipe", strerror(errno), "a pipe and a writer thread");
            return;
        }
        store(s, m1, "a pipe of " + std::to_string(big.size()) + " bytes", feeder.read_fd(), big,
              1);
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
        store(s, m2, "a pipe that ends at once", feeder.read_fd(), empty, 1);
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
    s.expect_result("new envelope for " + hex_msgid(m1) + ", 8193 bytes: refused",
                    QUEUE_ENVELOPE_NEW, wire::cat({wire::u32(m1), envelope_too_large}), 0);
    s.expect_result("replace envelope " + hex_evpid(e1) + " by 8193 bytes: refused",
                    QUEUE_ENVELOPE_REPLACE, wire::cat({wire::u64(e1), envelope_too_large}), 0);
    read_envelope(s, e1, envelope_a, "the refused replacement left it alone");
    s.expect_result("replace envelope " + hex_evpid(e1), QUEUE_ENVELOPE_REPLACE,
                    wire::cat({wire::u64(e1), envelope_a2}), 1);
    read_envelope(s, e1, envelope_a2, "as replaced");
    s.expect_result("remove envelope " + hex_evpid(e1), QUEUE_ENVELOPE_REMOVE, wire::u64(e1), 1);
    read_envelope(s, e1, empty, "removed: nothing comes back");
    open_message(s, m1, &big, "one envelope left, so the message stays");
    s.expect_result("remove the last envelope " + hex_evpid(e2), QUEUE_ENVELOPE_REMOVE,
                    wire::u64(e2), 1);
    open_message(s, m1, nullptr, "gone with its last envelope");
    s.expect_result("new envelope for the vanished " + hex_msgid(m1), QUEUE_ENVELOPE_NEW,
                    wire::cat({wire::u32(m1), envelope_a}), 0);
    {
        unique_fd again = file_with(mail);
        store(s, m1, "a file, to the vanished message", again.get(), mail, 0);
    }

    // This backend keeps no state for a mark: marking drops the message and
    // unmarking has nothing to undo. Both answer 0.
    uint32_t m3 = new_message(s, taken);
    if (m3 == 0) {
        return;
    }
    taken.push_back(m3);
    uint64_t e3 = new_envelope(s, m3, envelope_a);
    s.expect_result("unmark " + hex_msgid(m3), QUEUE_MESSAGE_UNMARK, wire::u32(m3), 0);
    open_message(s, m3, &empty, "unmark left it alone");
    s.expect_result("mark " + hex_msgid(m2), QUEUE_MESSAGE_MARK, wire::u32(m2), 0);
    open_message(s, m2, nullptr, "marking dropped it");

    s.expect_result("remove message " + hex_msgid(m3), QUEUE_MESSAGE_REMOVE, wire::u32(m3), 0);
    read_envelope(s, e3, empty, "went with its message");
    open_message(s, m3, nullptr, "removed");

    // A descriptor in non-blocking mode ends the copy at the first read that
    // would wait, although its writer is still there. This comes after the
    // look-ups that fail: their lines end in the text of the last error, and
    // there it reads better as "Success".
    uint32_t m4 = new_message(s, taken);
    if (m4 == 0) {
        return;
    }
    taken.push_back(m4);
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
            s.fail("make a pipe", strerror(errno), "a non-blocking pipe");
            return;
        }
        unique_fd read_end(p[0]);
        unique_fd write_end(p[1]);
        store(s, m4, "a non-blocking pipe with nothing in it yet", read_end.get(), {}, 0,
              Lines{"warn: queue-api: content copy: *"});
    }
    open_message(s, m4, &empty, "the failed store left it empty");

    iterate(s, QUEUE_ENVELOPE_ITERATE, {}, "iterate envelopes");
    iterate(s, QUEUE_MESSAGE_ITERATE, wire::u32(0), "iterate messages");
    s.expect_result("finish", QUEUE_FINISH, {}, 1);
    s.expect_empty("hello again: finish does not end the service", QUEUE_HELLO,
                   wire::u32(QUEUE_API_VERSION));
}

}  // namespace

int check_main(int argc, char **argv) {
    static const option longopts[] = {
        {"help", no_argument, nullptr, 'h'}, {"tap", no_argument, nullptr, 't'}, {}};
    optind = 1;
    opterr = 0;
    bool tap = false;
    int c;
    while ((c = getopt_long(argc, argv, "+:h", longopts, nullptr)) != -1) {
        switch (c) {
            case 'h':
                fputs(CHECK_USAGE, stdout);
                return EXIT_PASSED;
            case 't':
                tap = true;
                break;
            default:
                return option_error("memq-peer check", c, argv);
        }
    }
    std::string path = backend_operand("memq-peer check", argc, argv, optind);
    if (path.empty()) {
        return EXIT_USAGE;
    }

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (tap) {
        printf("TAP version 13\n");
    }
    peer::Backend backend;
    if (!start_backend(backend, path)) {
        if (tap) {
            printf("Bail out! the backend %s could not be started\n", path.c_str());
        }
        return EXIT_USAGE;
    }
    printf("%smemq-peer check: %s (pid %d)\n", tap ? "# " : "", path.c_str(),
           static_cast<int>(backend.pid()));
    fflush(stdout);

    Session s(backend, tap);
    run_session(s);
    if (s.gone()) {
        printf("%sThe backend stopped answering, so the rest of the session was not run.\n",
               tap ? "# " : "");
    }
    // The backend must take the closed socket as the normal end of service,
    // and say so in its log.
    s.close_connection({"warn: queue-api: pipe closed"});
    std::string hint = confinement_hint(backend);
    if (!hint.empty()) {
        printf("%shint: %s.\n", tap ? "# " : "", hint.c_str());
    }

    printf(tap ? "#\n" : "\n");
    s.report_log();
    int unexpected = s.unexpected_lines();
    std::string lines = std::to_string(s.log_lines()) + (s.log_lines() == 1 ? " line" : " lines");
    std::string verdict =
        s.log_lines() == 0 ? std::string("the backend logged nothing")
        : unexpected == 0
            ? cat({"the backend logged ", lines, ", all expected"})
            : cat({std::to_string(unexpected), " of the backend's ", lines, " unexpected"});
    printf(tap ? "#\n" : "\n");
    printf("%s%d steps: %d ok, %d failed, in %.2f s; %s\n", tap ? "# " : "", s.steps(), s.passed(),
           s.failed(), seconds_since(start), verdict.c_str());
    if (tap) {
        printf("1..%d\n", s.steps());
    }
    bool all_ok = s.failed() == 0 && !s.gone();
    return all_ok ? EXIT_PASSED : EXIT_FAILED;
}

}  // namespace memq_peer

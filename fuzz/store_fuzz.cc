// The in-memory store's twelve handlers, driven in this process by a stream
// of requests that the real decoder has accepted, against the model of the
// store: every result, every log line, every envelope read back and every
// opened content, and after each input the store's own records compared
// with the model's messages, contents and envelopes.
//
// Only well-formed requests reach the handlers, as in the backend, and the
// tree's fatal exits need memory to run out: no path of an input ends the
// process.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "frame/queue_proto.h"
#include "frame/request.h"
#include "fuzz_input.h"
#include "log/log.h"
#include "queue_model.h"
#include "store/memq.h"

namespace {

using namespace fuzzmodel;
using wire::Bytes;

// The handlers log to stderr; while one runs, stderr is this stream, so
// that its lines can be compared and the fuzzer's own reports still reach
// the terminal.
class LogCapture {
  public:
    LogCapture() : stream_(open_memstream(&text_, &size_)) { FUZZ_CHECK(stream_ != nullptr); }
    ~LogCapture() {
        fclose(stream_);
        free(text_);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Runs fn with stderr captured and returns what it logged.
    template <typename Fn>
    std::string during(Fn fn) {
        fflush(stream_);
        size_t start = size_;
        FILE *terminal = stderr;
        stderr = stream_;
        fn();
        stderr = terminal;
        fflush(stream_);
        return std::string(text_ + start, size_ - start);
    }

  private:
    char *text_ = nullptr;
    size_t size_ = 0;
    FILE *stream_;
};

// A path the store can open that holds exactly content: a memory file
// named through this process's descriptor table.
class ContentFile {
  public:
    explicit ContentFile(const Bytes &content) : fd_(memfd_create("store-fuzz", MFD_CLOEXEC)) {
        FUZZ_CHECK(fd_ != -1);
        FUZZ_CHECK(write(fd_, content.data(), content.size()) ==
                   static_cast<ssize_t>(content.size()));
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~ContentFile() { close(fd_); }
    ContentFile(const ContentFile &) = delete;
    ContentFile &operator=(const ContentFile &) = delete;
    const char *path() const { return path_.c_str(); }

  private:
    int fd_;
    std::string path_;
};

uint8_t read_buf[QUEUE_ENVELOPE_BUF];
pid_t self;

// Calls the handler a well-formed request reaches and builds the reply the
// loop would send from what it gives back.
wire::Frame serve(const queue_request &req, const Bytes &content) {
    wire::Frame r;
    r.header.type = QUEUE_REPLY;
    r.header.pid = self;
    switch (req.type) {
        case QUEUE_HELLO:
            break;
        case QUEUE_FINISH:
            // The store leaves the finish slot empty; the loop answers 1.
            r.payload = wire::u32(1);
            break;
        case QUEUE_MESSAGE_NEW: {
            uint32_t msgid = 0;
            int result = memq_message_new(&msgid);
            r.payload = wire::u32(static_cast<uint32_t>(result));
            if (result == 1) {
                r.payload = wire::cat({r.payload, wire::u32(msgid)});
            }
            break;
        }
        case QUEUE_MESSAGE_REMOVE:
            r.payload = wire::u32(static_cast<uint32_t>(memq_message_remove(req.msgid)));
            break;
        case QUEUE_MESSAGE_STORE: {
            ContentFile file(content);
            r.payload =
                wire::u32(static_cast<uint32_t>(memq_message_store(req.msgid, file.path())));
            break;
        }
        case QUEUE_MESSAGE_OPEN: {
            int fd = memq_message_open(req.msgid);
            FUZZ_CHECK(fd >= -1);
            r.fd.reset(fd);
            r.header.flags = fd != -1 ? wire::FLAG_FD : 0;
            break;
        }
        case QUEUE_MESSAGE_MARK:
            r.payload = wire::u32(static_cast<uint32_t>(memq_message_mark(req.msgid)));
            break;
        case QUEUE_MESSAGE_UNMARK:
            r.payload = wire::u32(static_cast<uint32_t>(memq_message_unmark(req.msgid)));
            break;
        case QUEUE_ENVELOPE_NEW: {
            uint64_t evpid = 0;
            int result = memq_envelope_new(req.msgid, req.envelope, &evpid);
            r.payload = wire::u32(static_cast<uint32_t>(result));
            if (result == 1) {
                r.payload = wire::cat({r.payload, wire::u64(evpid)});
            }
            break;
        }
        case QUEUE_ENVELOPE_REMOVE:
            r.payload = wire::u32(static_cast<uint32_t>(memq_envelope_remove(req.evpid)));
            break;
        case QUEUE_ENVELOPE_READ: {
            int n = memq_envelope_read(req.evpid, read_buf);
            FUZZ_CHECK(n >= 0 && n <= static_cast<int>(sizeof read_buf));
            r.payload.assign(read_buf, read_buf + n);
            break;
        }
        case QUEUE_ENVELOPE_REPLACE:
            r.payload =
                wire::u32(static_cast<uint32_t>(memq_envelope_replace(req.evpid, req.envelope)));
            break;
        case QUEUE_ENVELOPE_ITERATE: {
            uint64_t evpid = 0;
            int result = memq_envelope_iterate(&evpid, read_buf);
            FUZZ_CHECK(result <= 0);
            r.payload = wire::u32(static_cast<uint32_t>(result));
            break;
        }
        case QUEUE_MESSAGE_ITERATE: {
            uint64_t id = 0;
            int result = memq_message_iterate(&id, read_buf, req.value, 0, 0);
            FUZZ_CHECK(result <= 0);
            r.payload = wire::u32(static_cast<uint32_t>(result));
            break;
        }
    }
    return r;
}

Bytes record_bytes(const uint8_t *data, uint64_t length) {
    return length == 0 ? Bytes{} : Bytes(data, data + length);
}

// The store's records hold exactly what the model says they hold.
void check_records(const Model &model) {
    FUZZ_CHECK(stored_messages.count == model.messages().size());
    for (const auto &[msgid, want] : model.messages()) {
        auto *msg = static_cast<memq_message *>(tree_lookup(&stored_messages, msgid));
        FUZZ_CHECK(msg != nullptr);
        FUZZ_CHECK(record_bytes(msg->content, msg->length) == want.content);
        FUZZ_CHECK(msg->envelopes.count == want.envelopes.size());
        for (const auto &[evpid, data] : want.envelopes) {
            auto *env = static_cast<memq_envelope *>(tree_lookup(&msg->envelopes, evpid));
            FUZZ_CHECK(env != nullptr);
            FUZZ_CHECK(record_bytes(env->data, env->length) == data);
        }
    }
}

bool opens_work;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_open(1);
    self = getpid();
    stored_messages = tree{};
    // Opening a message makes its file in "/temporary"; without it every
    // open fails, and the model expects that.
    opens_work = access("/temporary", W_OK) == 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    Model model(opens_work);
    Known known;
    LogCapture log;
    while (!in.empty()) {
        Send s = next_send(in, known);
        wire::Header h;
        if (s.data.size() < sizeof h) {
            continue;
        }
        std::memcpy(&h, s.data.data(), sizeof h);
        if (h.length != s.data.size()) {
            continue;  // raw bytes, or a header that lies about its length
        }
        std::span<const uint8_t> payload(s.data.data() + sizeof h, s.data.size() - sizeof h);
        request_decoding d = decode_request(h.type, payload);

        // Only a store takes content; it arrives as a readable file.
        model.fds.clear();
        bool takes_content = h.type == QUEUE_MESSAGE_STORE;
        if (takes_content) {
            model.fds.push_back(Model::passed({FdKind::regular, s.content}));
        }
        Expect e = model.serve(h.type, payload, takes_content);
        FUZZ_CHECK((d.fault != request_fault::none) == e.fatal);
        if (e.fatal) {
            continue;  // the backend would end here, before any handler
        }

        wire::Frame r;
        std::string lines = log.during([&] { r = serve(d.request, s.content); });
        check_log(lines, self, e.lines);
        check_reply(r, e, self, model, known);
    }
    check_records(model);

    // Empty the store for the next input; nothing may be logged.
    std::string lines = log.during([&] {
        for (const auto &entry : model.messages()) {
            memq_message_remove(entry.first);
        }
    });
    FUZZ_CHECK(lines.empty());
    FUZZ_CHECK(stored_messages.count == 0 && stored_messages.root.sph_root == nullptr);
    return 0;
}

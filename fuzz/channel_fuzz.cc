// The channel's receiving side over a real socketpair in this process. The
// input becomes a byte stream cut into sends where it says, with one or two
// descriptors attached where it asks. The stream is parsed here on its own
// terms, and imsg_read() with imsg_get(), its loans ended at once with
// imsg_release() or left to the next call (the input says which, or both in
// turn), must agree: every frame out exactly
// once and in order; a header whose length lies outside 16 to 16384 stops
// the stream for good with nothing consumed; descriptors pair with flagged
// frames by order, at most 16 waiting as the loop allows (the oldest going
// first); and no descriptor is left open afterwards.
//
// The kernel hands a descriptor over with the first receive that reaches
// the first byte of its send, and ends that receive there; that is what
// the model of which descriptors are waiting rests on.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "channel/imsg.h"
#include "fuzz_input.h"
#include "peer/wire.h"

namespace {

using wire::Bytes;

constexpr size_t MAX_WAITING_FDS = 16;
// The sending side's buffer bounds what may wait unread; the sends are
// small, so the input's stream is kept to what it can hold in all.
constexpr size_t MAX_STREAM = 96 * 1024;

// The descriptors this process has open, in increasing order, read from
// /proc/self/fd in a few system calls.
std::vector<int> open_fds() {
    std::vector<int> fds;
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(dir != -1);
    alignas(8) char buf[8192];
    for (;;) {
        long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
        FUZZ_CHECK(n >= 0);
        if (n == 0) {
            break;
        }
        for (long pos = 0; pos < n;) {
            auto *entry = reinterpret_cast<dirent64 *>(buf + pos);
            if (entry->d_name[0] != '.') {
                int fd = atoi(entry->d_name);
                if (fd != dir) {
                    fds.push_back(fd);
                }
            }
            pos += entry->d_reclen;
        }
    }
    close(dir);
    std::sort(fds.begin(), fds.end());
    return fds;
}

struct Send {
    Bytes data;
    int fds = 0;        // descriptors attached: 0, 1 or 2
    bool read = false;  // the channel reads what it can before the next send
};

// One piece of stream: a frame (with a true header most of the time) or raw
// bytes, sent in one or two calls, after which the channel may read. Reads
// also happen when the socket is full, and the kernel ends a receive after
// each send that carries descriptors, so messages arrive whole, in pieces
// and several at once.
void next_sends(FuzzInput &in, std::vector<Send> &sends) {
    uint8_t op = in.byte();
    Bytes data;
    if ((op & 0x04) != 0) {
        data = in.bytes(in.byte());
    } else {
        imsg_header h{};
        h.type = in.byte();
        h.flags = (op & 0x08) != 0 ? IMSG_FLAG_FD : 0;
        size_t len = in.byte();
        Bytes payload;
        if (len == 255) {
            // Frames near the largest, and just past it, filled with a byte
            // that differs from one send to the next.
            len = IMSG_MAX_LEN - IMSG_HDR_LEN - 64 + in.byte();
            payload.assign(len, static_cast<uint8_t>(sends.size()));
        } else {
            payload = in.bytes(len);
        }
        h.length = static_cast<uint16_t>(std::min<size_t>(IMSG_HDR_LEN + payload.size(), 65535));
        if ((op & 0x10) != 0 && (op & 0x20) != 0) {
            h.length = in.u16();  // a header that lies
        }
        data.resize(sizeof h);
        std::memcpy(data.data(), &h, sizeof h);
        data.insert(data.end(), payload.begin(), payload.end());
    }
    int fds = (op & 0x03) == 3 ? 2 : (op & 0x03) == 0 ? 0 : 1;
    if (fds > 0 && data.empty()) {
        data.push_back(0);  // a descriptor travels only with a byte
    }
    bool read = (op & 0x80) != 0;
    if ((op & 0x40) != 0 && data.size() > 1) {
        size_t cut = 1 + in.byte() % (data.size() - 1);
        sends.push_back({Bytes(data.begin(), data.begin() + static_cast<long>(cut)), fds, read});
        sends.push_back({Bytes(data.begin() + static_cast<long>(cut), data.end()), 0, false});
    } else {
        sends.push_back({data, fds, read});
    }
}

// A descriptor that says which one it is: a memory file holding its
// number. A send numbered i carries 2i and 2i + 1.
int numbered_fd(int number) {
    int fd = memfd_create("channel-fuzz", MFD_CLOEXEC);
    FUZZ_CHECK(fd != -1);
    FUZZ_CHECK(write(fd, &number, sizeof number) == sizeof number);
    return fd;
}

int number_of(int fd) {
    int number = -1;
    FUZZ_CHECK(pread(fd, &number, sizeof number, 0) == sizeof number);
    return number;
}

// Both ends of the socketpair, closed with the run.
struct Pair {
    int fds[2] = {-1, -1};
    Pair() { FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0); }
    ~Pair() {
        close(fds[0]);
        close(fds[1]);
    }
};

imsg_channel channel;

// How the loan of a frame's payload ends: released at once, left to the
// next call, or each way in turn.
enum class Extraction { released, kept, alternating };

class Run {
  public:
    Run(const std::vector<Send> &sends, Extraction how) : sends_(sends), how_(how) {
        size_t offset = 0;
        for (size_t i = 0; i < sends.size(); ++i) {
            starts_.push_back(offset);
            stream_.insert(stream_.end(), sends[i].data.begin(), sends[i].data.end());
            offset += sends[i].data.size();
        }
        imsg_setup(&channel, pair_.fds[0]);
    }

    ~Run() { imsg_teardown(&channel); }

    void go() {
        for (size_t i = 0; i < sends_.size() && !refused_; ++i) {
            send(i);
            if (sends_[i].read) {
                pump(false);
            }
        }
        if (!refused_) {
            shutdown(pair_.fds[1], SHUT_WR);
            pump(true);
        }
        if (!refused_) {
            // Everything was read: every whole frame came out, and what is
            // left is the start of one that never ended.
            FUZZ_CHECK(eof_);
            FUZZ_CHECK(stream_.size() - extracted_ < IMSG_HDR_LEN ||
                       stream_.size() - extracted_ < header_at(extracted_).length);
        }
    }

  private:
    imsg_header header_at(size_t offset) const {
        imsg_header h;
        std::memcpy(&h, stream_.data() + offset, sizeof h);
        return h;
    }

    void send(size_t i) {
        const Send &s = sends_[i];
        int fds[2] = {-1, -1};
        for (int k = 0; k < s.fds; ++k) {
            fds[k] = numbered_fd(static_cast<int>(i) * 2 + k);
        }
        size_t sent = 0;
        while (sent < s.data.size()) {
            std::span<const int> attached(fds, sent == 0 ? static_cast<size_t>(s.fds) : 0);
            ssize_t n = wire::send_once(pair_.fds[1], std::span(s.data).subspan(sent), attached,
                                        MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            FUZZ_CHECK(n == -1 && (errno == EAGAIN || errno == EINTR));
            pump(false);
            if (refused_) {
                break;  // nothing more will be read, so nothing more fits
            }
        }
        for (int k = 0; k < s.fds; ++k) {
            close(fds[k]);
        }
        sent_ += sent;
    }

    size_t pending() const { return sent_ - read_; }

    // Takes out every frame the channel has, reading while bytes wait (or
    // to the end of the stream once it is shut).
    void pump(bool to_end) {
        while (!refused_) {
            imsg_message msg;
            bool release = how_ == Extraction::released ||
                           (how_ == Extraction::alternating && extractions_ % 2 == 0);
            ssize_t got = imsg_get(&channel, &msg);
            ++extractions_;
            if (got > 0) {
                check_frame(msg, static_cast<size_t>(got), release);
                continue;
            }
            if (got == -1) {
                check_refusal();
                return;
            }
            if (eof_ || (!to_end && pending() == 0)) {
                return;
            }
            read_once();
        }
    }

    void read_once() {
        size_t before = read_;
        ssize_t n = imsg_read(&channel);
        FUZZ_CHECK(n >= 0);
        if (n == 0) {
            FUZZ_CHECK(read_ == stream_.size());
            eof_ = true;
            return;
        }
        read_ += static_cast<size_t>(n);
        FUZZ_CHECK(read_ <= stream_.size());
        FUZZ_CHECK(std::memcmp(channel.in_buf + channel.in_len - static_cast<size_t>(n),
                               stream_.data() + before, static_cast<size_t>(n)) == 0);
        // Which sends with descriptors this receive reached the start of;
        // the kernel ends a receive after one such send.
        int arrived = 0;
        for (size_t i = 0; i < sends_.size(); ++i) {
            if (sends_[i].fds > 0 && starts_[i] >= before && starts_[i] < read_) {
                waiting_.push_back(static_cast<int>(i) * 2);
                ++arrived;
            }
        }
        FUZZ_CHECK(arrived <= 1);
        // The loop's bound: beyond it the oldest waiting descriptor goes.
        while (imsg_fds_waiting(&channel) > MAX_WAITING_FDS) {
            int fd = imsg_take_fd(&channel);
            FUZZ_CHECK(fd != -1 && !waiting_.empty() && number_of(fd) == waiting_.front());
            waiting_.pop_front();
            close(fd);
        }
        FUZZ_CHECK(imsg_fds_waiting(&channel) == waiting_.size());
    }

    void check_frame(imsg_message &msg, size_t length, bool release) {
        FUZZ_CHECK(stream_.size() - extracted_ >= IMSG_HDR_LEN);
        imsg_header want = header_at(extracted_);
        FUZZ_CHECK(want.length >= IMSG_HDR_LEN && want.length <= IMSG_MAX_LEN);
        FUZZ_CHECK(length == want.length);
        FUZZ_CHECK(std::memcmp(&msg.header, &want, sizeof want) == 0);
        FUZZ_CHECK(std::memcmp(msg.data, stream_.data() + extracted_ + IMSG_HDR_LEN,
                               length - IMSG_HDR_LEN) == 0);
        if ((want.flags & IMSG_FLAG_FD) != 0 && !waiting_.empty()) {
            FUZZ_CHECK(msg.fd != -1 && number_of(msg.fd) == waiting_.front());
            waiting_.pop_front();
            close(msg.fd);
        } else {
            FUZZ_CHECK(msg.fd == -1);
        }
        // A lent frame stays in the input, where it lies, until the channel
        // is next asked for more, whether or not its loan was ended.
        FUZZ_CHECK(msg.data == channel.in_buf + IMSG_HDR_LEN);
        if (release) {
            imsg_release(&msg);
            FUZZ_CHECK(msg.data == nullptr);
        }
        FUZZ_CHECK(channel.in_len == read_ - extracted_);
        extracted_ += length;
    }

    // A false length at the front stops the channel for good, and nothing
    // is consumed by saying so again.
    void check_refusal() {
        FUZZ_CHECK(errno == ERANGE);
        imsg_header want = header_at(extracted_);
        FUZZ_CHECK(want.length < IMSG_HDR_LEN || want.length > IMSG_MAX_LEN);
        size_t held = channel.in_len;
        imsg_message again;
        errno = 0;
        FUZZ_CHECK(imsg_get(&channel, &again) == -1 && errno == ERANGE);
        FUZZ_CHECK(channel.in_len == held);
        refused_ = true;
    }

    const std::vector<Send> &sends_;
    Extraction how_;
    size_t extractions_ = 0;
    std::vector<size_t> starts_;
    Bytes stream_;
    Pair pair_;
    size_t sent_ = 0;       // stream bytes the socket has taken
    size_t read_ = 0;       // stream bytes received by the channel
    size_t extracted_ = 0;  // stream bytes taken out as frames
    std::deque<int> waiting_;
    bool eof_ = false;
    bool refused_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<int> before = open_fds();
    FuzzInput in(data, size);
    auto how = static_cast<Extraction>(in.byte() % 3);
    std::vector<Send> sends;
    size_t total = 0;
    while (!in.empty() && total < MAX_STREAM) {
        size_t first = sends.size();
        next_sends(in, sends);
        for (size_t i = first; i < sends.size(); ++i) {
            total += sends[i].data.size();
        }
    }
    {
        Run run(sends, how);
        run.go();
    }
    // Every descriptor sent, received, claimed or left waiting is closed.
    FUZZ_CHECK(open_fds() == before);
    return 0;
}

// The iobuf's line input and chunked output against a plain model: input
// arrives through a real non-blocking pipe, output leaves through another
// and is read back. The chunk layout is modelled too, since where an append
// lands is part of the contract.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "fuzz_input.h"
#include "support/iobuf.h"

namespace {

struct Pipe {
    int rd = -1;
    int wr = -1;
    Pipe() {
        int p[2];
        FUZZ_CHECK(pipe2(p, O_NONBLOCK | O_CLOEXEC) == 0);
        rd = p[0];
        wr = p[1];
    }
    ~Pipe() {
        close(rd);
        if (wr != -1) {
            close(wr);
        }
    }
};

struct ChunkModel {
    uint64_t capacity;
    uint64_t wpos;
    uint64_t rpos;
};

struct Model {
    // Input side: the unread bytes in the area, the area's size and
    // maximum, and the bytes still waiting in the pipe.
    std::string unread;
    uint64_t rpos = 0;
    uint64_t wpos = 0;
    uint64_t size = 0;
    uint64_t max = 0;
    std::string in_pipe;
    bool writer_closed = false;
    // Output side.
    std::string queued;
    std::vector<ChunkModel> chunks;
};

void check_input(const iobuf &io, const Model &m) {
    FUZZ_CHECK(io.rpos == m.rpos && io.wpos == m.wpos && io.size == m.size && io.max == m.max);
    FUZZ_CHECK(iobuf_available(&io) == m.unread.size());
    FUZZ_CHECK(iobuf_tail_room(&io) == m.size - m.wpos);
    FUZZ_CHECK(iobuf_free_room(&io) == m.size - m.wpos + m.rpos);
    FUZZ_CHECK(m.unread.empty() ||
               std::memcmp(io.buf + io.rpos, m.unread.data(), m.unread.size()) == 0);
}

void check_output(const iobuf &io, const Model &m) {
    FUZZ_CHECK(iobuf_out_pending(&io) == m.queued.size());
    std::string held;
    size_t i = 0;
    for (const iobuf_chunk *c = io.first; c != nullptr; c = c->next, ++i) {
        FUZZ_CHECK(i < m.chunks.size());
        FUZZ_CHECK(c->capacity == m.chunks[i].capacity && c->wpos == m.chunks[i].wpos &&
                   c->rpos == m.chunks[i].rpos);
        FUZZ_CHECK(c->data == reinterpret_cast<const char *>(c + 1));
        held.append(c->data + c->rpos, c->wpos - c->rpos);
        if (c->next == nullptr) {
            FUZZ_CHECK(io.last == c);
        }
    }
    FUZZ_CHECK(i == m.chunks.size());
    FUZZ_CHECK(held == m.queued);
    FUZZ_CHECK((io.first == nullptr) == (io.last == nullptr));
}

// Where an append of n bytes goes: the last chunk when its free room is
// strictly greater, else a new chunk.
void model_append(Model &m, const std::string &bytes) {
    uint64_t n = bytes.size();
    if (m.chunks.empty() || m.chunks.back().capacity - m.chunks.back().wpos <= n) {
        m.chunks.push_back({std::max<uint64_t>(n, 4096), 0, 0});
    }
    m.chunks.back().wpos += n;
    m.queued += bytes;
}

void model_dequeue(Model &m, uint64_t n) {
    n = std::min<uint64_t>(n, m.queued.size());
    m.queued.erase(0, n);
    while (n > 0 && !m.chunks.empty()) {
        ChunkModel &c = m.chunks.front();
        uint64_t unsent = c.wpos - c.rpos;
        if (n < unsent) {
            c.rpos += n;
            break;
        }
        n -= unsent;
        m.chunks.erase(m.chunks.begin());
    }
}

std::string as_string(const std::vector<uint8_t> &b) {
    return std::string(b.begin(), b.end());
}

std::string read_all(int fd) {
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in(data, size);
    Model m;
    size_t area = in.byte() % 48;
    size_t max = in.byte() % 96;
    iobuf io;
    int rc = iobuf_init(&io, area, max);
    m.max = max == 0 ? 65536 : max;
    m.size = area == 0 ? m.max : area;
    if (m.size > m.max) {
        FUZZ_CHECK(rc == -1 && io.buf == nullptr);
        return 0;
    }
    FUZZ_CHECK(rc == 0);
    Pipe input;
    Pipe output;

    while (!in.empty()) {
        uint8_t op = in.byte() % 14;
        switch (op) {
            case 0: {
                // More bytes arrive in the pipe; lines are likelier with a
                // few LFs and CRs among them.
                std::vector<uint8_t> b = in.bytes(in.byte() % 40);
                for (auto &c : b) {
                    c = (c % 5 == 0) ? '\n' : (c % 7 == 0 ? '\r' : c);
                }
                if (!m.writer_closed && !b.empty()) {
                    FUZZ_CHECK(write(input.wr, b.data(), b.size()) ==
                               static_cast<ssize_t>(b.size()));
                    m.in_pipe += as_string(b);
                }
                break;
            }
            case 1: {
                ssize_t got = iobuf_fill(&io, input.rd);
                uint64_t tail = m.size - m.wpos;
                if (tail == 0) {
                    FUZZ_CHECK(got == IOBUF_PEER_CLOSED);
                } else if (m.in_pipe.empty()) {
                    FUZZ_CHECK(got == (m.writer_closed ? IOBUF_PEER_CLOSED : IOBUF_RETRY_READ));
                } else {
                    size_t n = std::min<uint64_t>(tail, m.in_pipe.size());
                    FUZZ_CHECK(got == static_cast<ssize_t>(n));
                    m.unread += m.in_pipe.substr(0, n);
                    m.in_pipe.erase(0, n);
                    m.wpos += n;
                }
                break;
            }
            case 2: {
                size_t len = 12345;
                char *line = iobuf_take_line(&io, &len);
                size_t lf = m.unread.find('\n');
                if (lf == std::string::npos) {
                    FUZZ_CHECK(line == nullptr && len == 12345);
                } else {
                    std::string want = m.unread.substr(0, lf);
                    if (!want.empty() && want.back() == '\r') {
                        want.pop_back();
                    }
                    FUZZ_CHECK(line != nullptr && len == want.size());
                    FUZZ_CHECK(std::memcmp(line, want.data(), len) == 0 && line[len] == '\0');
                    m.unread.erase(0, lf + 1);
                    if (m.unread.empty()) {
                        m.rpos = m.wpos = 0;
                    } else {
                        m.rpos += lf + 1;
                    }
                }
                break;
            }
            case 3: {
                size_t n = in.byte() % 24;
                iobuf_skip(&io, n);
                if (n < m.unread.size()) {
                    m.unread.erase(0, n);
                    m.rpos += n;
                } else {
                    m.unread.clear();
                    m.rpos = m.wpos = 0;
                }
                break;
            }
            case 4:
                iobuf_compact(&io);
                m.wpos -= m.rpos;
                m.rpos = 0;
                break;
            case 5: {
                size_t n = in.byte() % 64;
                int grown = iobuf_grow(&io, n);
                if (n > m.max - m.size) {
                    FUZZ_CHECK(grown == -1);
                } else {
                    FUZZ_CHECK(grown == 0);
                    m.size += n;
                }
                break;
            }
            case 6:
                if (!m.writer_closed) {
                    close(input.wr);
                    input.wr = -1;
                    m.writer_closed = true;
                }
                break;
            case 7: {
                std::string b = as_string(in.bytes(in.byte() % 64));
                int got = iobuf_queue_bytes(&io, b.data(), b.size());
                FUZZ_CHECK(got == static_cast<int>(b.size()));
                if (!b.empty()) {
                    model_append(m, b);
                }
                break;
            }
            case 8: {
                // Up to four pieces, some of them empty, as one append.
                iovec iov[4];
                std::string pieces[4];
                int count = in.byte() % 5;
                std::string all;
                for (int i = 0; i < count; ++i) {
                    pieces[i] = as_string(in.bytes(in.byte() % 9));
                    iov[i] = {pieces[i].data(), pieces[i].size()};
                    all += pieces[i];
                }
                int got = iobuf_queue_vector(&io, iov, count);
                if (count == 0 || all.empty()) {
                    FUZZ_CHECK(got == -1);
                } else {
                    FUZZ_CHECK(got == 0);
                    model_append(m, all);
                }
                break;
            }
            case 9: {
                // A large append opens a chunk of its own size.
                size_t n = in.u16() % 9000;
                void *space = iobuf_queue_space(&io, n);
                if (n == 0) {
                    FUZZ_CHECK(space == nullptr);
                } else {
                    FUZZ_CHECK(space != nullptr);
                    std::string b(n, static_cast<char>('A' + n % 26));
                    std::memcpy(space, b.data(), n);
                    model_append(m, b);
                }
                break;
            }
            case 10: {
                std::string word = as_string(in.bytes(in.byte() % 6));
                word.resize(std::strlen(word.c_str()));
                int number = static_cast<int8_t>(in.byte());
                int got = iobuf_queue_format(&io, "%s%d", word.c_str(), number);
                std::string want = word + std::to_string(number);
                FUZZ_CHECK(got == static_cast<int>(want.size()));
                model_append(m, want);
                break;
            }
            case 11: {
                size_t n = in.u16() % 10000;
                iobuf_dequeue(&io, n);
                model_dequeue(m, n);
                break;
            }
            case 12: {
                ssize_t sent = iobuf_send(&io, output.wr);
                if (m.queued.empty()) {
                    // Nothing to gather: the write is of no bytes at all.
                    FUZZ_CHECK(sent == 0);
                } else {
                    FUZZ_CHECK(sent > 0);
                    std::string back = read_all(output.rd);
                    FUZZ_CHECK(back == m.queued.substr(0, static_cast<size_t>(sent)));
                    model_dequeue(m, static_cast<uint64_t>(sent));
                }
                break;
            }
            default:
                check_input(io, m);
                check_output(io, m);
                break;
        }
    }
    check_input(io, m);
    check_output(io, m);
    // Whatever is left goes out whole, however many writes the pipe needs.
    std::string back;
    for (;;) {
        int rc = iobuf_send_all(&io, output.wr);
        back += read_all(output.rd);
        if (rc == 0) {
            break;
        }
        FUZZ_CHECK(rc == IOBUF_RETRY_WRITE);
    }
    FUZZ_CHECK(back == m.queued && iobuf_out_pending(&io) == 0);
    iobuf_release(&io);
    FUZZ_CHECK(io.buf == nullptr && io.first == nullptr && io.queued == 0);
    return 0;
}

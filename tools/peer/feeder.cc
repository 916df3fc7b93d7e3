#include "peer/feeder.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace peer {

PipeFeeder::~PipeFeeder() {
    finish();
}

bool PipeFeeder::start(std::span<const uint8_t> data) {
    if (running_) {
        errno = EBUSY;
        return false;
    }
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        return false;
    }
    read_.reset(p[0]);
    write_.reset(p[1]);
    data_ = data;
    complete_ = false;
    int rc = pthread_create(&thread_, nullptr, &PipeFeeder::write_all, this);
    if (rc != 0) {
        read_.reset();
        write_.reset();
        errno = rc;
        return false;
    }
    running_ = true;
    return true;
}

void *PipeFeeder::write_all(void *self) {
    auto *f = static_cast<PipeFeeder *>(self);
    // A reader that goes away must show up as EPIPE here rather than end the
    // whole process; the signal stays pending on this thread and dies with it.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    size_t done = 0;
    while (done < f->data_.size()) {
        ssize_t n = write(f->write_.get(), f->data_.data() + done, f->data_.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    f->complete_ = done == f->data_.size();
    // The reader sees the end of the content only once this end is closed.
    f->write_.reset();
    return nullptr;
}

bool PipeFeeder::finish() {
    if (running_) {
        pthread_join(thread_, nullptr);
        running_ = false;
    }
    read_.reset();
    write_.reset();
    return complete_;
}

int content_fd(std::span<const uint8_t> bytes) {
    unique_fd fd(memfd_create("memq-content", MFD_CLOEXEC));
    if (!fd.valid()) {
        return -1;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    if (lseek(fd.get(), 0, SEEK_SET) == -1) {
        return -1;
    }
    return fd.release();
}

bool read_to_end(int fd, std::vector<uint8_t> &out) {
    out.clear();
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        out.insert(out.end(), buf, buf + n);
    }
}

}  // namespace peer

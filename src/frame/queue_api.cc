#include "frame/queue_api.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "frame/queue_loop.h"
#include "log/log.h"

queue_handler_table queue_handlers;

namespace {
const char *root_dir = "/var/spool/mavid";
const char *run_as_user = "_mavidq";
}  // namespace

void queue_api_set_finish(int (*fn)()) {
    queue_handlers.finish = fn;
}
void queue_api_set_message_new(int (*fn)(uint32_t *)) {
    queue_handlers.message_new = fn;
}
void queue_api_set_message_store(int (*fn)(uint32_t, const char *)) {
    queue_handlers.message_store = fn;
}
void queue_api_set_message_remove(int (*fn)(uint32_t)) {
    queue_handlers.message_remove = fn;
}
void queue_api_set_message_open(int (*fn)(uint32_t)) {
    queue_handlers.message_open = fn;
}
void queue_api_set_message_mark(int (*fn)(uint32_t)) {
    queue_handlers.message_mark = fn;
}
void queue_api_set_message_unmark(int (*fn)(uint32_t)) {
    queue_handlers.message_unmark = fn;
}
void queue_api_set_envelope_new(int (*fn)(uint32_t, std::span<const uint8_t>, uint64_t *)) {
    queue_handlers.envelope_new = fn;
}
void queue_api_set_envelope_remove(int (*fn)(uint64_t)) {
    queue_handlers.envelope_remove = fn;
}
void queue_api_set_envelope_replace(int (*fn)(uint64_t, std::span<const uint8_t>)) {
    queue_handlers.envelope_replace = fn;
}
void queue_api_set_envelope_read(int (*fn)(uint64_t, std::span<uint8_t>)) {
    queue_handlers.envelope_read = fn;
}
void queue_api_set_envelope_iterate(int (*fn)(uint64_t *, std::span<uint8_t>)) {
    queue_handlers.envelope_iterate = fn;
}
void queue_api_set_message_iterate(int (*fn)(uint64_t *, std::span<uint8_t>, uint32_t, int, int)) {
    queue_handlers.message_iterate = fn;
}

void queue_api_set_root_dir(const char *path) {
    root_dir = path;
}
void queue_api_clear_root_dir() {
    root_dir = nullptr;
}
void queue_api_run_as(const char *user) {
    run_as_user = user;
}

namespace {

// The account is looked up before the change of root, which may hide the
// account database.
void confine() {
    passwd *pw = nullptr;
    if (run_as_user != nullptr) {
        errno = 0;
        pw = getpwnam(run_as_user);
        if (pw == nullptr) {
            // A lookup that finds nothing sets no error, and "Success"
            // would send the reader looking in the wrong place.
            if (errno == 0) {
                log_warning("queue-api: getpwnam: \"%s\": no such account", run_as_user);
            } else {
                log_warning_errno("queue-api: getpwnam");
            }
            die("queue-api: exiting");
        }
    }
    if (root_dir != nullptr) {
        if (chroot(root_dir) == -1) {
            log_warning_errno("queue-api: chroot");
            die("queue-api: exiting");
        }
        if (chdir("/") == -1) {
            log_warning_errno("queue-api: chdir");
            die("queue-api: exiting");
        }
    }
    if (pw != nullptr) {
        gid_t gid = pw->pw_gid;
        uid_t uid = pw->pw_uid;
        if (setgroups(1, &gid) == -1 || setresgid(gid, gid, gid) == -1 ||
            setresuid(uid, uid, uid) == -1) {
            log_warning_errno("queue-api: cannot drop privileges");
            die("queue-api: exiting");
        }
    }
}

}  // namespace

int queue_api_run() {
    // The one loop of the process, for as long as it serves; what it holds
    // when it returns goes with the process. It is set up first: the one
    // allocation it makes comes before anything can be refused for lack of
    // memory, and without it the backend does not start.
    static queue_loop loop;
    if (!queue_loop_setup(&loop, 0, &queue_handlers, nullptr)) {
        log_warning_errno("queue-api: imsg_setup");
        die("queue-api: exiting");
    }
    confine();
    queue_loop_serve(&loop);
    return 1;
}

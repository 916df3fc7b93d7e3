// Shared pieces of the memq-peer program: starting a backend with its log
// captured, finding the default backend, and turning replies and bytes into
// readable text. Single-threaded.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "peer/peer.h"

namespace memq_peer {

// Exit statuses of the program.
inline constexpr int EXIT_PASSED = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// A backend started for one session. Its standard error goes to an anonymous
// file, so that its log lines can be shown at the moment of our choosing and
// can never block it.
class Backend {
  public:
    // Starts the program at path. False after a message on stderr that names
    // what failed.
    bool start(const std::string &path);
    peer::Peer &peer() { return peer_; }
    pid_t pid() const { return peer_.pid(); }
    // The log lines written since the last call, each ending in a newline.
    std::string new_log();
    // Closes our end of the socket and waits for the backend: its wait status,
    // or -1 when it had already been waited for.
    int stop();
    bool stopped() const { return stopped_; }

  private:
    peer::Peer peer_;
    peer::UniqueFd log_;
    off_t log_shown_ = 0;
    bool stopped_ = false;
};

// The backend that goes with this program: "memq" beside it, the installed
// "../libexec/mavid/memq" or the build tree's "../src/memq", relative to the
// directory of the running executable. Empty when none of them exists; then
// `looked` lists the places tried.
std::string default_backend(std::string &looked);

// The BACKEND operand of `command` ("memq-peer run"): the one given after
// the options, else default_backend(). Empty after a message on stderr when
// more than one is given or none can be found.
std::string backend_operand(const char *command, int argc, char **argv, int optind);

// The pieces joined into one string. g++ 12 warns falsely about
// `"literal" + std::string` at -O3, so messages are built with this instead.
std::string cat(std::initializer_list<std::string_view> parts);

// "exit status 0", "killed by signal 9 (Killed)".
std::string describe_status(int wait_status);

// Bytes as a quoted C-like string: printable ASCII as it is, the rest
// escaped. At most `limit` bytes are shown; a longer run ends in "...".
std::string quoted(std::span<const uint8_t> bytes, size_t limit = SIZE_MAX);

// "0x0000002a" for a msgid, "0x0000002a00000001" for an envelope id.
std::string hex_msgid(uint64_t id);
std::string hex_evpid(uint64_t id);

// Payload bytes as lower-case hex pairs, separated by spaces.
std::string hex_bytes(std::span<const uint8_t> bytes, size_t limit = SIZE_MAX);

// A one-line account of what a reply to a request of this type carries. Ids
// are labelled by `label` when it is not empty.
std::string describe_reply(uint32_t request_type, const peer::DecodedReply &d,
                           const std::string &label = {});

// The subcommands; argv[0] is the subcommand's own name.
int check_main(int argc, char **argv);
int run_main(int argc, char **argv);

}  // namespace memq_peer

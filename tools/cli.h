// What the subcommands of memq-peer share: exit statuses, the command line's
// mistakes, which backend to start, and starting it with the reasons a start
// fails said in words. Single-threaded.
#pragma once

#include <string>

#include "peer/backend.h"

namespace memq_peer {

// Exit statuses of the program.
inline constexpr int EXIT_PASSED = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// The backend that goes with this program: "memq" beside it, the installed
// "../libexec/mavid/memq" or the build tree's "../src/memq", relative to the
// directory of the running executable. Empty when none of them exists; then
// `looked` lists the places tried.
std::string default_backend(std::string &looked);

// The BACKEND operand of `command` ("memq-peer run"): the one given after
// the options, else default_backend(). Empty after a message on stderr when
// more than one is given or none can be found.
std::string backend_operand(const char *command, int argc, char **argv, int optind);

// A mistake on the command line of `command` ("memq-peer run"), as one line
// on stderr that ends by pointing at its --help. Returns EXIT_USAGE.
int usage_error(const char *command, const std::string &why);
// The same for what getopt_long() returned as `c` ('?' or ':'), which must
// run with opterr 0 and an optstring that starts with "+:", so that every
// message has our prefix rather than getopt's own.
int option_error(const char *command, int c, char **argv);

// Starts the program at path for one session. False after a message on
// stderr that names what failed.
bool start_backend(peer::Backend &backend, const std::string &path);

// When the backend's log shows that it could not confine itself, what to do
// about it, as one sentence; otherwise empty. Running memq-peer as an
// ordinary user is the usual cause, and chroot's "Operation not permitted"
// alone does not say so.
std::string confinement_hint(const peer::Backend &backend);

}  // namespace memq_peer

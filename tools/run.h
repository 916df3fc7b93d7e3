// memq-peer run: line commands in, one request each, every reply decoded.
#pragma once

namespace memq_peer {

// The subcommand; argv[0] is its own name.
int run_main(int argc, char **argv);

// Prints what `help NAME` inside memq-peer run says about its command NAME,
// for `memq-peer help NAME`. False, printing nothing, when run has no such
// command.
bool run_command_help(const char *name);

}  // namespace memq_peer

// memq-peer check: one scripted session over every request type, each step
// judged against the protocol and the store's model.
#pragma once

namespace memq_peer {

// The subcommand; argv[0] is its own name.
int check_main(int argc, char **argv);

}  // namespace memq_peer

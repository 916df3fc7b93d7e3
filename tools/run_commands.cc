// The commands of memq-peer run: how each is written, what it does and the
// member of Runner that carries it out, with the help that the table gives.
#include <stdio.h>

#include "peer/reply.h"
#include "run_session.h"

namespace memq_peer {

using peer::cat;

namespace {

const Command COMMANDS[] = {
    {"hello", "[VERSION]", "QUEUE_HELLO (version 2 unless given)",
     "memq answers version 2 with an empty reply and ends at any other.", &Runner::hello},
    {"new", "", "QUEUE_MESSAGE_NEW", "The reply brings the new message's MSGID as the next $N.",
     &Runner::new_message},
    {"store", "MSGID FILE", "QUEUE_MESSAGE_STORE with FILE's content",
     "Passes a descriptor open on FILE; the backend reads it to its end and\n"
     "stores what it read as the message's content, replacing any before.",
     &Runner::store},
    {"open", "MSGID [OUTFILE]", "QUEUE_MESSAGE_OPEN; the content goes to OUTFILE",
     "The content that comes back is counted, and written to OUTFILE if given.",
     &Runner::open_message},
    {"remove", "MSGID", "QUEUE_MESSAGE_REMOVE", "The message goes, with all its envelopes.",
     &Runner::remove},
    {"mark", "MSGID", "QUEUE_MESSAGE_MARK",
     "memq keeps no marks: marking drops the message, as remove does.", &Runner::mark},
    {"unmark", "MSGID", "QUEUE_MESSAGE_UNMARK", "memq keeps no marks: unmarking does nothing.",
     &Runner::unmark},
    {"envelope-new", "MSGID TEXT", "QUEUE_ENVELOPE_NEW with TEXT as the envelope",
     "The reply brings the new envelope's ID as the next $N. memq keeps\n"
     "envelopes of up to 8192 bytes and refuses longer ones. TEXT \"\" makes\n"
     "an empty envelope.",
     &Runner::envelope_new},
    {"envelope-read", "ID", "QUEUE_ENVELOPE_READ", "The envelope's bytes are shown quoted.",
     &Runner::envelope_read},
    {"envelope-replace", "ID TEXT", "QUEUE_ENVELOPE_REPLACE",
     "TEXT becomes the envelope's bytes (\"\" for none); memq refuses more than\n"
     "8192.",
     &Runner::envelope_replace},
    {"envelope-remove", "ID", "QUEUE_ENVELOPE_REMOVE", "A message goes with its last envelope.",
     &Runner::envelope_remove},
    {"iterate", "[envelopes | messages [VALUE]]",
     "QUEUE_ENVELOPE_ITERATE, or QUEUE_MESSAGE_ITERATE",
     "VALUE goes with QUEUE_MESSAGE_ITERATE, 0 unless given. memq answers\n"
     "both with -1: it cannot walk its queue.",
     &Runner::iterate},
    {"finish", "", "QUEUE_FINISH", "The service goes on; the end of the input ends it.",
     &Runner::finish},
    {"raw", "TYPE [HEXBYTES]", "a hand-made request: TYPE as a number or a name",
     "HEXBYTES is the payload, blanks allowed between the digits. The reply\n"
     "is decoded as far as it can be and shown in hex as well. A request that\n"
     "breaks the protocol ends the backend, and with it the session. The\n"
     "names of TYPE are:",
     &Runner::raw},
    {"help", "[COMMAND]", "this list, or more about COMMAND", nullptr, &Runner::help},
};

}  // namespace

const Command *find_command(std::string_view name) {
    for (const Command &c : COMMANDS) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

std::string usage_of(const Command &c) {
    return cat({c.name, *c.args != '\0' ? " " : "", c.args});
}

void print_commands(FILE *out) {
    for (const Command &c : COMMANDS) {
        std::string usage = usage_of(c);
        if (usage.size() > 28) {
            fprintf(out, "  %s\n  %-28s %s\n", usage.c_str(), "", c.summary);
        } else {
            fprintf(out, "  %-28s %s\n", usage.c_str(), c.summary);
        }
    }
}

void print_command_help(const Command &c) {
    printf("usage: %s\n%s.\n", usage_of(c).c_str(), c.summary);
    if (c.more != nullptr) {
        printf("%s\n", c.more);
    }
    if (c.handle == &Runner::raw) {
        for (uint32_t t = QUEUE_HELLO; t <= QUEUE_MESSAGE_ITERATE; t++) {
            printf("  %2u %s\n", t, peer::request_name(t));
        }
    }
}

}  // namespace memq_peer

// memq-peer: the peer side of the queue protocol as a command-line program,
// for people who want to see a backend work, check it, or drive it by hand.
// This file is the table of its subcommands; each lives in files of its own
// and shares only cli.h with the others.
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "check.h"
#include "cli.h"
#include "run.h"

namespace memq_peer {

namespace {

int help_main(int argc, char **argv);

// One subcommand: its name, its entry point (argv[0] is the name) and its
// lines in the list of commands.
struct Subcommand {
    const char *name;
    int (*main)(int argc, char **argv);
    const char *usage;
};

const Subcommand SUBCOMMANDS[] = {
    {"check", check_main,
     "  check [--tap] [BACKEND]  run a scripted session that uses every request\n"
     "                           type and report each step; exit 0 when all pass\n"},
    {"run", run_main,
     "  run [-f FILE] [BACKEND]  read line commands from FILE or standard input\n"
     "                           and print every reply decoded\n"},
    {"help", help_main,
     "  help [COMMAND]           show this text, or the help of COMMAND: check,\n"
     "                           run, or one of run's commands such as store\n"},
};

constexpr const char *USAGE_HEAD =
    "usage: memq-peer COMMAND [OPTIONS] [BACKEND]\n"
    "\n"
    "Starts a memq queue backend the way the mail server's queue process does\n"
    "(one end of a local socket pair on its descriptor 0) and speaks the queue\n"
    "protocol to it.\n"
    "\n"
    "commands:\n";

constexpr const char *USAGE_TAIL =
    "\n"
    "BACKEND defaults to the memq installed or built beside memq-peer\n"
    "(../libexec/mavid/memq or ../src/memq, relative to its directory).\n"
    "'memq-peer COMMAND --help' describes a command.\n";

// "check, run and help", as the table gives them.
std::string command_names() {
    std::string names;
    const size_t n = sizeof SUBCOMMANDS / sizeof SUBCOMMANDS[0];
    for (size_t i = 0; i < n; i++) {
        names += peer::cat({i == 0 ? "" : i + 1 == n ? " and " : ", ", SUBCOMMANDS[i].name});
    }
    return names;
}

const Subcommand *find_subcommand(const char *name) {
    for (const Subcommand &s : SUBCOMMANDS) {
        if (strcmp(name, s.name) == 0) {
            return &s;
        }
    }
    return nullptr;
}

void print_usage() {
    fputs(USAGE_HEAD, stdout);
    for (const Subcommand &s : SUBCOMMANDS) {
        fputs(s.usage, stdout);
    }
    fputs(USAGE_TAIL, stdout);
}

// memq-peer help [TOPIC]: this program's usage, a subcommand's --help, or
// what run says about one of its commands.
int help_main(int argc, char **argv) {
    const char *topic = argc > 1 ? argv[1] : nullptr;
    // The synopsis shows "help [command]", and a person who has just read
    // "store MSGID FILE" in run's list asks for it by that name. "help"
    // itself is this command's, not run's.
    if (topic == nullptr || strcmp(topic, "help") == 0) {
        print_usage();
        return EXIT_PASSED;
    }
    if (const Subcommand *s = find_subcommand(topic)) {
        char help_flag[] = "--help";
        char name[64];
        snprintf(name, sizeof name, "%s", topic);
        char *args[] = {name, help_flag, nullptr};
        return s->main(2, args);
    }
    if (run_command_help(topic)) {
        return EXIT_PASSED;
    }
    return usage_error("memq-peer", peer::cat({"no help for \"", topic,
                                               "\": it is neither check nor run, nor a command "
                                               "of run"}));
}

}  // namespace

}  // namespace memq_peer

int main(int argc, char **argv) {
    using namespace memq_peer;
    // A backend that goes away must show up as a failed write, not end us.
    signal(SIGPIPE, SIG_IGN);

    if (argc < 2) {
        return usage_error("memq-peer",
                           peer::cat({"no command: the commands are ", command_names()}));
    }
    const char *command = argv[1];
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0) {
        command = "help";
    }
    if (const Subcommand *s = find_subcommand(command)) {
        return s->main(argc - 1, argv + 1);
    }
    return usage_error("memq-peer", peer::cat({"unknown command \"", command,
                                               "\": the commands are ", command_names()}));
}

// memq-peer run: line commands in, one request each, every reply decoded, so
// that a person can reproduce any exchange with a backend by hand.
#include "run.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "cli.h"
#include "run_session.h"

namespace memq_peer {

namespace {

constexpr const char *RUN_INTRO =
    "usage: memq-peer run [-f FILE] [BACKEND]\n"
    "\n"
    "Starts BACKEND (default: the memq beside memq-peer) exactly as the mail\n"
    "server does, reads one command per line from FILE (default: standard\n"
    "input), sends the request it names and prints the reply decoded, followed\n"
    "by any log lines the backend wrote meanwhile. On a terminal it prompts\n"
    "with \"> \"; otherwise it echoes each command after \"> \".\n"
    "\n"
    "commands:\n";

constexpr const char *RUN_NOTES =
    "\n"
    "Every id that a reply brings is numbered: $1 is the first, $2 the next,\n"
    "and can stand wherever a MSGID or ID goes. Numbers are decimal (a leading\n"
    "0 changes nothing: 010 is ten) or hex after 0x; nothing else is a number.\n"
    "TEXT is the rest of the line; \\n, \\t, \\r, \\\\ and \\xHH stand for the\n"
    "bytes they name, and \"\" alone for no bytes at all. Empty lines and lines\n"
    "starting with # are skipped. A bad line is reported and the session goes\n"
    "on.\n"
    "\n"
    "Exit status: 0 when every line was understood and the backend ended\n"
    "with status 0, 1 otherwise, 2 when the backend could not be started or\n"
    "the command line is wrong.\n";

}  // namespace

bool run_command_help(const char *name) {
    const Command *c = find_command(name);
    if (c == nullptr) {
        return false;
    }
    printf("%s is a command of memq-peer run, which reads one per line:\n", c->name);
    print_command_help(*c);
    return true;
}

int run_main(int argc, char **argv) {
    static const option longopts[] = {
        {"help", no_argument, nullptr, 'h'}, {"file", required_argument, nullptr, 'f'}, {}};
    optind = 1;
    opterr = 0;
    const char *file = nullptr;
    int c;
    while ((c = getopt_long(argc, argv, "+:hf:", longopts, nullptr)) != -1) {
        switch (c) {
            case 'h':
                fputs(RUN_INTRO, stdout);
                print_commands(stdout);
                fputs(RUN_NOTES, stdout);
                return EXIT_PASSED;
            case 'f':
                file = optarg;
                break;
            default:
                return option_error("memq-peer run", c, argv);
        }
    }
    std::string path = backend_operand("memq-peer run", argc, argv, optind);
    if (path.empty()) {
        return EXIT_USAGE;
    }
    FILE *in = stdin;
    if (file != nullptr && strcmp(file, "-") != 0) {
        in = fopen(file, "re");
        if (in == nullptr) {
            fprintf(stderr, "memq-peer run: cannot open %s: %s\n", file, strerror(errno));
            return EXIT_USAGE;
        }
    }

    peer::Backend backend;
    if (!start_backend(backend, path)) {
        if (in != stdin) {
            fclose(in);
        }
        return EXIT_USAGE;
    }
    // A person at a terminal gets a prompt, on stderr so that a transcript
    // kept from stdout holds replies alone. Input that does not come from a
    // terminal is echoed instead, so that the transcript reads on its own.
    const bool terminal = isatty(fileno(in)) != 0;
    const bool prompt = terminal && file == nullptr;
    Runner runner(backend, !terminal);
    char *line = nullptr;
    size_t cap = 0;
    int number = 0;
    bool going = true;
    while (going) {
        if (prompt) {
            fputs("> ", stderr);
        }
        if (getline(&line, &cap, in) == -1) {
            if (prompt) {
                fputs("\n", stderr);
            }
            break;
        }
        std::string_view text(line);
        if (!text.empty() && text.back() == '\n') {
            text.remove_suffix(1);
        }
        going = runner.line(++number, text);
        fflush(stdout);
    }
    free(line);
    if (in != stdin) {
        fclose(in);
    }
    bool clean = going && runner.end() && !runner.had_error();
    return clean ? EXIT_PASSED : EXIT_FAILED;
}

}  // namespace memq_peer

// memq-bench: drives a queue backend as the mail server's queue process
// does and measures what each workload costs, side by side with the
// transport floor (memq-floor), so that the ratio of the two is measured on
// the same machine at the same moment.
//
// Every reply is checked against what the request must produce; the first
// wrong reply, a backend that dies or exits with a status other than 0, or
// a descriptor left open by a lifecycle ends the run with status 1.
//
// This file holds the command line and the run loop: pairs of floor and memq
// runs, their result lines and the ratios' medians. The workloads are in
// workloads.h, what they share in harness.h.
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "frame/queue_proto.h"
#include "harness.h"
#include "workloads.h"

namespace bench {

namespace {

struct workload {
    const char *name;
    result (*run)(Backend &, const params &);
    params normal;
    params smoke;
};

const workload WORKLOADS[] = {
    {"hello", run_hello, {200000, 1, 0, 0, 0}, {200, 4, 0, 0, 0}},
    {"read", run_read, {200000, 1, 512, 0, 0}, {200, 4, 512, 0, 0}},
    {"lifecycle", run_lifecycle, {5000, 1, 512, 4096, 0}, {20, 1, 512, 10000, 0}},
    {"fill", run_fill, {100000, 1, 512, 4096, 100000}, {200, 4, 512, 4096, 300}},
    {"large", run_large, {1, 1, 0, 64L << 20, 0}, {1, 1, 0, 3L << 20, 0}},
    {"drain", run_drain, {0, 1, 512, 4096, 100000}, {0, 1, 512, 4096, 300}},
    {"soak", run_soak, {1000000, 1, 2048, 131072, 10000}, {2000, 1, 512, 20000, 50}},
};

// How long one floor/memq pair of each workload took at its normal sizes
// on the development machine (2 shared cores), and the size its time grows
// with: what the estimate before a run is made of. The machine's load can
// double any of them.
struct estimate {
    const char *name;
    double pair_seconds;
    long params::*grows_with;
};

const estimate ESTIMATES[] = {
    {"hello", 12.5, &params::n},      {"read", 12, &params::n},
    {"lifecycle", 2, &params::n},     {"fill", 25, &params::messages},
    {"large", 0.8, &params::content}, {"drain", 22, &params::messages},
    {"soak", 50, &params::n},
};

params params_for(const workload &w, const options &opt) {
    params pr = opt.smoke ? w.smoke : w.normal;
    if (opt.n > 0) {
        pr.n = opt.n;
    }
    if (opt.window > 0) {
        pr.window = opt.window;
    }
    if (opt.size >= 0) {
        pr.size = opt.size;
    }
    if (opt.content >= 0) {
        pr.content = opt.content;
    }
    if (opt.messages > 0) {
        pr.messages = opt.messages;
    }
    return pr;
}

void print_result(const char *workload, backend_kind kind, int round, pinning pin,
                  const result &r) {
    printf(
        "result workload=%s backend=%s round=%d pin=%s ops=%ld seconds=%.4f ops_per_s=%.0f "
        "cpu_us_per_op=%.2f rss_kb=%ld hwm_kb=%ld %s\n",
        workload, name_of(kind), round, name_of(pin), r.ops, r.seconds,
        static_cast<double>(r.ops) / r.seconds, r.cpu_seconds * 1e6 / static_cast<double>(r.ops),
        r.rss_kb, r.hwm_kb, r.extra.c_str());
    fflush(stdout);
}

result run_once(const workload &w, const options &opt, backend_kind kind, int round) {
    params pr = params_for(w, opt);
    result r;
    {
        Backend b;
        start_backend(b, opt, kind);
        r = w.run(b, pr);
        finish(b, opt);
    }
    print_result(w.name, kind, round, opt.pin, r);
    return r;
}

// The CPUs this process may run on, in increasing order.
std::vector<int> allowed_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
            if (CPU_ISSET(cpu, &set)) {
                cpus.push_back(cpu);
            }
        }
    }
    return cpus;
}

pinning pinning_named(const std::string &name) {
    for (pinning p : {pinning::same, pinning::split, pinning::none}) {
        if (name == name_of(p)) {
            return p;
        }
    }
    fail("--pin takes same, split or none, not \"%s\"", name.c_str());
}

void usage(FILE *to) {
    fputs(
        "usage: memq-bench [options] [workload...]\n"
        "workloads: hello read lifecycle fill large drain soak (default: all of them)\n"
        "  --memq PATH     backend under test (default: the built memq)\n"
        "  --floor PATH    transport floor (default: the built memq-floor)\n"
        "  --only memq|floor  run one side only (no ratio)\n"
        "  --wrap 'CMD ARGS'  start memq under CMD, e.g. valgrind or strace\n"
        "  --pin P         same: driver and backends on one CPU (the cost of a request);\n"
        "                  split: on two (the latency a peer sees); none: unpinned.\n"
        "                  Repeat it or give a list (same,split) for several regimes\n"
        "                  (default: same and split; none with --smoke)\n"
        "  --rounds R      floor/memq pairs per workload (default 3)\n"
        "  -n N            operations (requests, lives or reads; soak's mixed requests)\n"
        "  -w W            requests in flight (hello, read, fill's reads)\n"
        "  -s S            envelope bytes (soak's largest)\n"
        "  -c C            content bytes (lifecycle, fill, large, drain; soak's largest)\n"
        "  -m M            messages kept by fill, filled by drain, live in soak\n"
        "  --smoke         tiny sizes, one round: checks replies, measures nothing\n"
        "  -v              show the backends' standard error\n",
        to);
}

// Splits a command on spaces; the first word is looked up in PATH.
std::vector<std::string> split_command(const char *cmd) {
    std::vector<std::string> words;
    std::string word;
    for (const char *c = cmd;; c++) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
            if (*c == '\0') {
                break;
            }
        } else {
            word += *c;
        }
    }
    if (!words.empty() && words[0].find('/') == std::string::npos) {
        const char *path = getenv("PATH");
        std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
        size_t start = 0;
        while (start <= dirs.size()) {
            size_t end = dirs.find(':', start);
            if (end == std::string::npos) {
                end = dirs.size();
            }
            std::string candidate = dirs.substr(start, end - start) + "/" + words[0];
            if (access(candidate.c_str(), X_OK) == 0) {
                words[0] = candidate;
                break;
            }
            start = end + 1;
        }
    }
    return words;
}

long number(const char *text) {
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0) {
        fail("bad number \"%s\"", text);
    }
    return v;
}

options parse(int argc, char **argv) {
    options opt;
    std::vector<std::string> names;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                usage(stderr);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--memq") {
            opt.memq = value();
        } else if (a == "--floor") {
            opt.floor = value();
        } else if (a == "--only") {
            std::string side = value();
            opt.run_floor = side == "floor";
            opt.run_memq = side == "memq";
            if (!opt.run_floor && !opt.run_memq) {
                fail("--only takes memq or floor");
            }
        } else if (a == "--wrap") {
            opt.wrap = split_command(value());
        } else if (a == "--pin") {
            std::string list = value();
            for (size_t at = 0; at <= list.size();) {
                size_t end = std::min(list.find(',', at), list.size());
                opt.pins.push_back(pinning_named(list.substr(at, end - at)));
                at = end + 1;
            }
        } else if (a == "--rounds") {
            opt.rounds = static_cast<int>(number(value()));
        } else if (a == "-n") {
            opt.n = number(value());
        } else if (a == "-w") {
            opt.window = number(value());
        } else if (a == "-s") {
            opt.size = number(value());
        } else if (a == "-c") {
            opt.content = number(value());
        } else if (a == "-m") {
            opt.messages = number(value());
        } else if (a == "--smoke") {
            opt.smoke = true;
        } else if (a == "-v") {
            opt.verbose = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            exit(0);
        } else if (!a.empty() && a[0] == '-') {
            usage(stderr);
            exit(2);
        } else {
            names.push_back(a);
        }
    }
    if (opt.smoke) {
        opt.rounds = 1;
    }
    if (opt.pins.empty()) {
        opt.pins = opt.smoke ? std::vector<pinning>{pinning::none}
                             : std::vector<pinning>{pinning::same, pinning::split};
    }
    opt.cpus = allowed_cpus();
    for (pinning p : opt.pins) {
        size_t needed = p == pinning::split ? 2 : 1;
        if (opt.cpus.size() < needed) {
            fail("--pin %s needs %zu CPUs; this process may use %zu", name_of(p), needed,
                 opt.cpus.size());
        }
    }
    if (opt.rounds < 1) {
        fail("--rounds must be at least 1");
    }
    if (opt.size > static_cast<long>(QUEUE_ENVELOPE_BUF)) {
        fail("-s: an envelope is read back whole only up to %zu bytes", QUEUE_ENVELOPE_BUF);
    }
    for (const std::string &n : names) {
        bool known = false;
        for (const workload &w : WORKLOADS) {
            known = known || n == w.name;
        }
        if (!known) {
            fail("unknown workload \"%s\"", n.c_str());
        }
    }
    opt.workloads = names;
    return opt;
}

// "40 s", "3.5 min".
std::string duration(double seconds) {
    if (seconds < 10) {
        return format("%.1f s", seconds);
    }
    if (seconds < 90) {
        return format("%.0f s", seconds);
    }
    return format("%.1f min", seconds / 60);
}

// The seconds a workload is expected to take with these options.
double expected_seconds(const workload &w, const options &opt) {
    for (const estimate &e : ESTIMATES) {
        if (std::string(e.name) != w.name) {
            continue;
        }
        const params normal = w.normal;
        const params pr = params_for(w, opt);
        double scale = normal.*e.grows_with > 0 ? static_cast<double>(pr.*e.grows_with) /
                                                      static_cast<double>(normal.*e.grows_with)
                                                : 1;
        double sides = opt.run_floor && opt.run_memq ? 1 : 0.5;
        // Each run also starts and ends a backend.
        return (e.pair_seconds * scale + 0.02) * sides * opt.rounds;
    }
    return 0;
}

// Before the first run, on standard error so that the standard output
// stays results alone: what will run, and about how long it will take.
void announce(const std::vector<const workload *> &chosen, const options &opt) {
    std::string names;
    std::string each;
    double total = 0;
    for (const workload *w : chosen) {
        double t = expected_seconds(*w, opt);
        total += t;
        names += format("%s%s", names.empty() ? "" : " ", w->name);
        each += format("%s%s %s", each.empty() ? "" : ", ", w->name, duration(t).c_str());
    }
    const bool plural = opt.rounds != 1;
    const char *sides = opt.run_floor && opt.run_memq
                            ? (plural ? "floor/memq pairs" : "floor/memq pair")
                        : opt.run_floor ? (plural ? "runs of the floor" : "run of the floor")
                                        : (plural ? "runs of memq" : "run of memq");
    std::string regimes;
    for (pinning p : opt.pins) {
        regimes += format("%s%s", regimes.empty() ? "" : ", ", name_of(p));
    }
    total *= static_cast<double>(opt.pins.size());
    fprintf(stderr, "memq-bench: %zu workload%s (%s), %d %s each%s, pinned: %s\n", chosen.size(),
            chosen.size() == 1 ? "" : "s", names.c_str(), opt.rounds, sides,
            opt.smoke ? ", at smoke sizes" : "", regimes.c_str());
    fprintf(stderr, "memq-bench: about %s on 2 shared cores (%s%s)%s\n", duration(total).c_str(),
            opt.pins.size() > 1 ? "each regime: " : "", each.c_str(),
            opt.wrap.empty() ? "" : "; memq under --wrap takes longer");
}

// The ratios of one workload, kept for the table at the end.
struct ratios_of {
    const char *name;
    const char *pin;
    std::vector<double> throughput;
    std::vector<double> cpu;
};

// The median of values; 0 when there are none.
double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One table for a person at the end; the ratio lines above stay as they
// are, for scripts.
void print_table(const std::vector<ratios_of> &all, double seconds) {
    if (all.empty()) {
        return;
    }
    printf("\nsummary, in %s: memq over the floor, median of each workload's pairs\n",
           duration(seconds).c_str());
    printf("  %-10s %-5s %10s %17s %12s\n", "workload", "pin", "throughput", "pairs",
           "backend CPU");
    for (const ratios_of &r : all) {
        auto [low, high] = std::minmax_element(r.throughput.begin(), r.throughput.end());
        std::string cpu = r.cpu.empty() ? "n/a" : format("%.2f", median(r.cpu));
        printf("  %-10s %-5s %10.2f %17s %12s\n", r.name, r.pin, median(r.throughput),
               format("%.2f to %.2f", *low, *high).c_str(), cpu.c_str());
    }
    printf(
        "throughput: 1 is as fast as the floor, higher is better; backend CPU: per\n"
        "operation, 1 is as much as the floor, lower is better\n");
    fflush(stdout);
}

// The median, then every pair's value.
std::string summary(std::vector<double> values) {
    if (values.empty()) {
        return "n/a";
    }
    std::string each;
    for (double v : values) {
        each += format("%s%.3f", each.empty() ? "" : ",", v);
    }
    std::sort(values.begin(), values.end());
    return format("%.3f(pairs:%s)", values[values.size() / 2], each.c_str());
}

// Every workload chosen, under the regime opt.pin; each one's ratios join
// the table.
void run_regime(const options &opt, const std::vector<const workload *> &chosen,
                std::vector<ratios_of> &table) {
    pin_driver(opt);
    for (const workload *chosen_one : chosen) {
        const workload &w = *chosen_one;
        // Throughput ratios (memq/floor, higher is better) and backend CPU
        // ratios (memq/floor per operation, lower is better), pair by pair.
        std::vector<double> ratios;
        std::vector<double> cpu_ratios;
        for (int round = 1; round <= opt.rounds; round++) {
            result f;
            result m;
            if (opt.run_floor) {
                f = run_once(w, opt, backend_kind::floor, round);
            }
            if (opt.run_memq) {
                m = run_once(w, opt, backend_kind::memq, round);
            }
            if (opt.run_floor && opt.run_memq) {
                ratios.push_back(f.seconds / m.seconds);
                if (f.cpu_seconds > 0 && m.cpu_seconds > 0) {
                    cpu_ratios.push_back(m.cpu_seconds / f.cpu_seconds);
                }
            }
        }
        if (!ratios.empty()) {
            printf("ratio workload=%s pin=%s memq/floor=%s cpu_memq/floor=%s\n", w.name,
                   name_of(opt.pin), summary(ratios).c_str(), summary(cpu_ratios).c_str());
            fflush(stdout);
            table.push_back({w.name, name_of(opt.pin), ratios, cpu_ratios});
        }
    }
}

int run(int argc, char **argv) {
    options opt = parse(argc, argv);
    // A backend that goes away must show as a failed send, not kill us.
    signal(SIGPIPE, SIG_IGN);
    // Workloads run in the table's order, whatever the command line's.
    std::vector<const workload *> chosen;
    for (const workload &w : WORKLOADS) {
        if (opt.workloads.empty() ||
            std::find(opt.workloads.begin(), opt.workloads.end(), w.name) != opt.workloads.end()) {
            chosen.push_back(&w);
        }
    }
    announce(chosen, opt);
    const double start = now();
    std::vector<ratios_of> table;
    for (pinning p : opt.pins) {
        opt.pin = p;
        run_regime(opt, chosen, table);
    }
    print_table(table, now() - start);
    return 0;
}

}  // namespace

}  // namespace bench

int main(int argc, char **argv) {
    return bench::run(argc, argv);
}

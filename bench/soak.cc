// The soak: a long life at a steady live size, to see whether memory creeps
// up under a mix of requests like a mail queue's.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frame/queue_proto.h"
#include "harness.h"
#include "peer/judge.h"
#include "peer/reply.h"
#include "workloads.h"

namespace bench {

namespace {

// The soak keeps a steady population of messages of mixed sizes and sends a
// fixed mix of requests against it, the same for every backend: every
// choice comes from one seeded generator and the model, never from the ids
// the backend draws. Its model is the population alone (sizes and pattern
// seeds, no copy of any byte): each reply is judged by the peer toolkit's
// judge against what this model says it must bring. It asks whether memory creeps up over a long
// life at the same live size, so it reports the resident size over the live bytes.
class soak {
  public:
    soak(Peer &p, const params &pr) : p_(p), pr_(pr) {
        content_ = make_content(static_cast<size_t>(pr.content));
    }

    long requests() const { return requests_; }

    // Creates messages until `count` are live.
    void grow_to(long count) {
        while (static_cast<long>(live_.size()) < count) {
            long n = std::min<long>(count - static_cast<long>(live_.size()), BATCH);
            for (long i = 0; i < n; i++) {
                plan_creation();
            }
            run_batch();
        }
    }

    // One batch of the mix: about BATCH requests on the live messages, with
    // as many creations as removals.
    void mix() {
        for (long i = 0; i < BATCH; i++) {
            plan_action();
        }
        run_batch();
    }

    void remove_all() {
        while (!live_.empty()) {
            plan_removal(live_.size() - 1);
        }
        run_batch();
    }

    // Content and envelope bytes the live messages hold.
    long long live_bytes() const {
        long long total = 0;
        for (const auto &m : live_) {
            total += m->content;
            for (const envelope &e : m->envelopes) {
                total += e.size;
            }
        }
        return total;
    }

  private:
    static constexpr long BATCH = 64;
    static constexpr size_t MAX_ENVELOPES = 4;

    struct envelope {
        uint64_t evpid = 0;  // 0 until the reply that creates it
        long size = 0;
        uint64_t seed = 0;
    };
    struct message {
        uint32_t msgid = 0;
        long content = 0;  // the last `content` bytes of the content file
        std::vector<envelope> envelopes;
    };
    // A planned request and what its reply must be. The expectation is
    // made when the reply comes, so that the bytes an envelope read or an
    // open must bring exist one reply at a time; `learn` takes the new id an
    // exact reply brought.
    struct request {
        uint32_t type;
        wire::Bytes payload;
        long content_tail = -1;  // a store passes this many bytes
        std::function<peer::StoreExpect()> want;
        std::function<void(long, uint64_t)> learn;
    };

    static peer::StoreExpect result(int32_t r,
                                    peer::StoreExpect::NewId id = peer::StoreExpect::NewId::none) {
        peer::StoreExpect e;
        e.result = r;
        e.new_id = id;
        return e;
    }

    uint64_t draw() { return next_random(state_); }
    size_t pick(size_t n) { return static_cast<size_t>(draw() % n); }

    // Log-uniform from 256 bytes to the content size: mostly small messages,
    // a few large ones, as a mail queue holds.
    long content_size() {
        double lo = std::log(256.0);
        double hi = std::log(static_cast<double>(std::max(pr_.content, 257L)));
        double u = static_cast<double>(draw() >> 11) / 9007199254740992.0;
        return static_cast<long>(std::exp(lo + u * (hi - lo)));
    }
    long envelope_size() {
        return 64 + static_cast<long>(pick(static_cast<size_t>(std::max(pr_.size - 63, 1L))));
    }

    void add(request r) {
        requests_++;
        batch_.push_back(std::move(r));
    }

    void plan_store(message *m) {
        long size = content_size();
        m->content = size;
        add({QUEUE_MESSAGE_STORE, wire::u32(m->msgid), size, [] { return result(1); }, {}});
    }

    void plan_envelope_new(message *m) {
        envelope e{0, envelope_size(), next_seed_++};
        m->envelopes.push_back(e);
        size_t at = m->envelopes.size() - 1;
        uint32_t msgid = m->msgid;
        add({QUEUE_ENVELOPE_NEW,
             wire::cat({wire::u32(msgid), wire::pattern(static_cast<size_t>(e.size), e.seed)}), -1,
             [] { return result(1, peer::StoreExpect::NewId::envelope); },
             [m, at, msgid](long i, uint64_t evpid) {
                 expect((evpid >> 32) == msgid, "QUEUE_ENVELOPE_NEW", i);
                 m->envelopes[at].evpid = evpid;
             }});
    }

    // A new message: its id comes with the first reply, so its content and
    // envelope follow in a second round.
    void plan_creation() {
        add({QUEUE_MESSAGE_NEW,
             {},
             -1,
             [] { return result(1, peer::StoreExpect::NewId::message); },
             [this](long i, uint64_t msgid) {
                 expect(msgid != 0, "QUEUE_MESSAGE_NEW", i);
                 auto m = std::make_unique<message>();
                 m->msgid = static_cast<uint32_t>(msgid);
                 fresh_.push_back(m.get());
                 live_.push_back(std::move(m));
             }});
    }

    void plan_removal(size_t at) {
        message *m = live_[at].get();
        if (m->envelopes.size() == 1 && (draw() & 1) != 0) {
            // The last envelope takes its message with it.
            add({QUEUE_ENVELOPE_REMOVE,
                 wire::u64(m->envelopes[0].evpid),
                 -1,
                 [] { return result(1); },
                 {}});
        } else {
            add({QUEUE_MESSAGE_REMOVE, wire::u32(m->msgid), -1, [] { return result(0); }, {}});
        }
        // Replies still to come may name it; it goes at the batch's end.
        removed_.push_back(std::move(live_[at]));
        live_[at] = std::move(live_.back());
        live_.pop_back();
    }

    void plan_read(message *m) {
        const envelope &e = m->envelopes[pick(m->envelopes.size())];
        long size = e.size;
        uint64_t seed = e.seed;
        add({QUEUE_ENVELOPE_READ,
             wire::u64(e.evpid),
             -1,
             [size, seed] {
                 peer::StoreExpect want;
                 want.envelope = wire::pattern(static_cast<size_t>(size), seed);
                 return want;
             },
             {}});
    }

    void plan_replace(message *m) {
        envelope &e = m->envelopes[pick(m->envelopes.size())];
        e.size = envelope_size();
        e.seed = next_seed_++;
        add({QUEUE_ENVELOPE_REPLACE,
             wire::cat({wire::u64(e.evpid), wire::pattern(static_cast<size_t>(e.size), e.seed)}),
             -1,
             [] { return result(1); },
             {}});
    }

    void plan_open(message *m) {
        long size = m->content;
        uint64_t from = static_cast<uint64_t>(pr_.content - size);
        add({QUEUE_MESSAGE_OPEN,
             wire::u32(m->msgid),
             -1,
             [size, from] {
                 peer::StoreExpect want;
                 want.content = wire::pattern(static_cast<size_t>(size), CONTENT_SEED, from);
                 return want;
             },
             {}});
    }

    void plan_envelope_remove(message *m) {
        size_t at = pick(m->envelopes.size());
        add({QUEUE_ENVELOPE_REMOVE,
             wire::u64(m->envelopes[at].evpid),
             -1,
             [] { return result(1); },
             {}});
        m->envelopes.erase(m->envelopes.begin() + static_cast<long>(at));
    }

    // One action of the mix. A message with an envelope whose id is still
    // to come (created earlier in this batch) is left alone until the next
    // batch, so that every request names ids already known.
    void plan_action() {
        if (live_.empty()) {
            plan_creation();
            return;
        }
        size_t at = pick(live_.size());
        message *m = live_[at].get();
        unsigned roll = static_cast<unsigned>(draw() % 100);
        if (m->envelopes.empty() || m->envelopes.back().evpid == 0) {
            return;
        }
        if (roll < 15) {
            plan_removal(at);
            plan_creation();
        } else if (roll < 45) {
            plan_read(m);
        } else if (roll < 60) {
            plan_replace(m);
        } else if (roll < 70) {
            plan_store(m);
        } else if (roll < 75) {
            plan_open(m);
        } else if (roll < 87 && m->envelopes.size() < MAX_ENVELOPES) {
            plan_envelope_new(m);
        } else if (m->envelopes.size() >= 2) {
            plan_envelope_remove(m);
        } else {
            plan_read(m);
        }
    }

    void send(std::vector<request> &round) {
        windowed(
            p_, static_cast<long>(round.size()), FILL_WINDOW,
            [&](long i) {
                request &r = round[static_cast<size_t>(i)];
                if (r.content_tail >= 0) {
                    int fd = reopen_content(content_);
                    if (lseek(fd, pr_.content - r.content_tail, SEEK_SET) == -1) {
                        fail("positioning the content: %s", strerror(errno));
                    }
                    must_queue(p_.queue_owned(r.type, r.payload, fd));
                } else {
                    must_queue(p_.queue(r.type, r.payload));
                }
            },
            [&](long i, const Reply &r) {
                const request &q = round[static_cast<size_t>(i)];
                peer::Judgement j = peer::judge_reply(q.type, q.want(), r);
                if (j.verdict != peer::Verdict::exact) {
                    fail("wrong reply to %s (request %ld): %s", peer::request_name(q.type), i,
                         j.why.c_str());
                }
                if (q.learn) {
                    q.learn(i, j.id);
                }
            });
    }

    // The planned requests, then the content and envelope of each message
    // they created.
    void run_batch() {
        std::vector<request> round = std::move(batch_);
        batch_.clear();
        send(round);
        for (message *m : fresh_) {
            plan_store(m);
            plan_envelope_new(m);
        }
        fresh_.clear();
        round = std::move(batch_);
        batch_.clear();
        send(round);
        removed_.clear();
    }

    Peer &p_;
    const params &pr_;
    unique_fd content_;
    uint64_t state_ = 0x2545f4914f6cdd1dULL;
    uint64_t next_seed_ = 1;
    long requests_ = 0;
    std::vector<std::unique_ptr<message>> live_;
    std::vector<std::unique_ptr<message>> removed_;
    std::vector<message *> fresh_;
    std::vector<request> batch_;
};

}  // namespace

result run_soak(Backend &b, const params &pr) {
    if (pr.content < 256) {
        fail("soak: -c must be at least 256, its smallest content");
    }
    Peer &p = b.peer();
    hello(p);
    long start_kb = rss_kb(b.pid());
    soak s(p, pr);
    s.grow_to(pr.messages);
    long filled_kb = rss_kb(b.pid());
    long long filled_live = s.live_bytes();
    long before = s.requests();
    result res;
    stopwatch watch(b.pid());
    while (s.requests() - before < pr.n) {
        s.mix();
    }
    watch.stop(res);
    res.ops = s.requests() - before;
    long end_kb = rss_kb(b.pid());
    long long live = s.live_bytes();
    s.remove_all();
    take_memory(res, b.pid());
    auto over = [](long kb, long long bytes) {
        return static_cast<double>(kb) * 1024.0 / static_cast<double>(bytes);
    };
    res.extra = format(
        "messages=%ld content=%ld size=%ld start_kb=%ld filled_kb=%ld filled_live_kb=%lld "
        "end_kb=%ld live_kb=%lld drained_kb=%ld filled_over_live=%.3f resident_over_live=%.3f "
        "growth_over_live=%.3f",
        pr.messages, pr.content, pr.size, start_kb, filled_kb, filled_live / 1024, end_kb,
        live / 1024, res.rss_kb, over(filled_kb, filled_live), over(end_kb, live),
        over(end_kb - start_kb, live));
    return res;
}

}  // namespace bench

// The workloads memq-bench runs. Each drives one backend through a session,
// checks every reply and returns what its measured phase cost; it leaves
// the session open for the caller to finish.
//
// The request-rate workloads (rate.cc) time small requests one after the
// other or a window at a time; the memory workloads (memory.cc, soak.cc)
// ask what the backend holds for what it stores, and whether it gives it
// back.
#pragma once

#include "harness.h"

namespace bench {

// QUEUE_HELLO, `n` of them, `window` in flight.
result run_hello(Backend &b, const params &pr);
// QUEUE_ENVELOPE_READ of one envelope of `size` bytes, `n` times.
result run_read(Backend &b, const params &pr);
// `n` whole lives of a message of `content` bytes with one envelope.
result run_lifecycle(Backend &b, const params &pr);

// `messages` messages stored, then `n` reads of random envelopes timed.
result run_fill(Backend &b, const params &pr);
// `messages` messages stored and removed, then half of them again.
result run_drain(Backend &b, const params &pr);
// One message of `content` bytes stored and opened.
result run_large(Backend &b, const params &pr);
// `n` requests of a fixed mix on a steady `messages` live messages.
result run_soak(Backend &b, const params &pr);

}  // namespace bench

// Identifiers and anonymous temporary files for the storage handlers.
//
// Nothing here checks that an id is free: callers draw again while their
// store already holds the drawn value.
#pragma once

#include <cstdint>

// A uniformly drawn msgid in [1, 0xfffffffe]. Cannot fail.
uint32_t new_msgid();

// Where the draws come from: a function giving a uniform value below its
// bound, called with 0xffffffff and again for every 0 it gives. Null puts
// back arc4random_uniform, the backend's; a test gives its own to script
// the values drawn.
using ids_uniform_fn = uint32_t (*)(uint32_t bound);
void ids_set_uniform(ids_uniform_fn fn);

// An envelope id for msgid: msgid in the upper 32 bits, a drawn value in
// [1, 0xfffffffe] in the lower 32. Cannot fail.
uint64_t new_envelope_id(uint32_t msgid);

// A descriptor open for reading and writing on a new, empty file in
// "/temporary" (under the changed root) whose name is already removed; the
// caller owns it. -1 after a logged warning when the file cannot be made,
// with errno as mkstemp left it, or when its name cannot be removed, with
// unlink's errno (the nameless file is the promise, and content written
// into a named one would stay on disk). The file-creation mask is the same
// after.
int mktmpfile();

// The most bytes a file this process writes may hold (RLIMIT_FSIZE), or
// UINT64_MAX when there is no limit. Writing past it raises SIGXFSZ, which
// would end the backend, so writers check against it and fail with EFBIG.
// One getrlimit() per call: read it once per request that writes.
uint64_t file_size_limit();

// mktmpfile() in another directory. -1 after a warning, touching nothing,
// when dir and the name pattern do not fit in 1024 bytes.
int mktmpfile_in(const char *dir);

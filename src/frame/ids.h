// Identifiers and anonymous temporary files for the storage handlers.
//
// Nothing here checks that an id is free: callers draw again while their
// store already holds the drawn value.
#pragma once

#include <cstdint>

// A uniformly drawn msgid in [1, 0xfffffffe]. Cannot fail.
uint32_t new_msgid();

// An envelope id for msgid: msgid in the upper 32 bits, a drawn value in
// [1, 0xfffffffe] in the lower 32. Cannot fail.
uint64_t new_envelope_id(uint32_t msgid);

// A descriptor open for reading and writing on a new, empty file in
// "/temporary" (under the changed root) whose name is already removed; the
// caller owns it. -1 after a logged warning when the file cannot be made,
// with errno as mkstemp left it. The file-creation mask is the same after.
int mktmpfile();

// mktmpfile() in another directory. -1 after a warning, touching nothing,
// when dir and the name pattern do not fit in 1024 bytes.
int mktmpfile_in(const char *dir);

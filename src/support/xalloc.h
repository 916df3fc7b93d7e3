// Allocation that ends the process instead of returning null.
//
// Each function returns a block the caller owns and frees with free(3). On
// failure it logs "WHERE: ..." naming the call and its arguments through
// log_warning(), then dies with "exiting" (status 1); it never returns null.
// `where` names the call site and is used only in that message.
#pragma once

#include <cstddef>

// Uninitialised size bytes; the message is "WHERE: malloc(SIZE)".
void *malloc_or_die(size_t size, const char *where);
// count * size zero bytes (an overflowing product fails); "WHERE: calloc(COUNT, SIZE)".
void *calloc_or_die(size_t count, size_t size, const char *where);
// A copy of the string with its NUL; "WHERE: strdup(ADDRESS OF s)".
char *strdup_or_die(const char *s, const char *where);
// A copy of size bytes at src; "WHERE: malloc(SIZE)".
void *memdup_or_die(const void *src, size_t size, const char *where);

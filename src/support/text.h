// In-place and bounded string routines. Both classify bytes with the
// current locale's isspace(3)/tolower(3), each byte taken as unsigned. They
// never allocate, log or fail towards the caller beyond their result.
#pragma once

#include <cstddef>

// Cuts trailing white space in place by writing NULs over it; returns a
// pointer into s at its first byte that is not white space.
char *trim_space(char *s);

// Copies src into dst (size bytes of room) and lower-cases the copy: 1 when
// it all fit. 0 when size is 0 (nothing written) or src was cut; a cut copy
// is NUL-terminated but keeps its case.
int copy_lower(char *dst, const char *src, size_t size);

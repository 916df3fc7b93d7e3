// Base64 with the RFC 4648 alphabet and "=" padding, on caller buffers.
// Neither function allocates, logs or inserts line breaks.
#pragma once

#include <cstddef>

// Writes the encoding of srclen bytes and a NUL into dst (size bytes of
// room; it needs 4 per started 3-byte group plus 1). Returns the characters
// written without the NUL, or -1 when dst is too small (it may then hold the
// groups that fit, unterminated) or the count would not fit in an int.
int encode_base64(const unsigned char *src, size_t srclen, char *dst, size_t size);

// Decodes the NUL-terminated text src, skipping white space, into dst
// (size bytes of room). Returns the bytes decoded, or -1 on a character
// outside the alphabet, misplaced or missing padding, text after the
// padding, non-zero leftover bits, or too little room; dst may then hold
// partial output. Padded text needs one byte of room beyond the result.
// With a null dst nothing is written and only the text's validity (not its
// leftover bits) and decoded length are found. The output is not
// NUL-terminated.
int decode_base64(const char *src, unsigned char *dst, size_t size);

// An ordered map from NUL-terminated strings to caller-owned pointers, with
// a count: the string-keyed twin of store/tree.h, on the same splay code.
//
// A zero-filled dict is empty and valid; there is no destructor (drain with
// dict_take_root()). Keys order by strcmp, so bytes compare as unsigned. The
// dict copies each key into its node (one allocation per entry) and never
// keeps the caller's string; key pointers it hands out live as long as their
// entry. Values are the caller's and are never freed here. Every operation
// but dict_peek_root() splays, lookups included. Single-threaded.
//
// Fatal conditions end the process through err(3)/errx(3) with status 1:
// allocation failure in dict_set()/dict_xset(), a present key in
// dict_xset(), an absent key in dict_xget()/dict_xpop(), and a key held by
// both dicts in dict_merge().
#pragma once

#include <bsd/sys/tree.h>

#include <cstdint>

struct dict_node {
    SPLAY_ENTRY(dict_node) entry;  // left, right
    const char *key;               // points at key_chars
    void *value;
    char key_chars[];  // the key's copy with its NUL, in the same allocation
};

SPLAY_HEAD(dict_root, dict_node);

struct dict {
    dict_root root;
    uint64_t count;
};

int dict_contains(dict *d, const char *key);
// The previous value (replaced; the first key copy stays), or null after
// inserting a new entry.
void *dict_set(dict *d, const char *key, void *value);
void dict_xset(dict *d, const char *key, void *value);
// Null for an absent key, and also for a present key whose value is null.
void *dict_lookup(dict *d, const char *key);
void *dict_xget(dict *d, const char *key);
// The removed entry's value, or null when absent; the key copy is freed.
void *dict_remove(dict *d, const char *key);
void *dict_xpop(dict *d, const char *key);
// Removes whatever entry is at the root, its key copy with it: 0 when
// empty, else 1. The place may be null.
int dict_take_root(dict *d, void **value);
// Reports the root entry without changing anything: 0 when empty.
int dict_peek_root(const dict *d, const char **key, void **value);
// In-order walk: set *iter to null first and pass it back unchanged; 1 and
// the next entry, 0 at the end. The entry *iter names must stay in the dict.
int dict_next(dict *d, void **iter, const char **key, void **value);
// As dict_next(), but a walk from a null handle starts at the smallest key
// not below start; a null start means the smallest key of all.
int dict_next_from(dict *d, void **iter, const char *start, const char **key, void **value);
// Moves every entry of src into dst without allocating; src ends empty.
// dst and src must be two different dictionaries.
void dict_merge(dict *dst, dict *src);

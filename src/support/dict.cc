#include "support/dict.h"

#include <err.h>

#include <cstdlib>
#include <cstring>

#include "support/splay_map.h"

namespace {

int dict_compare(const dict_node *a, const dict_node *b) {
    return strcmp(a->key, b->key);
}

}  // namespace

SPLAY_PROTOTYPE(dict_root, dict_node, entry, dict_compare)
SPLAY_GENERATE(dict_root, dict_node, entry, dict_compare)

namespace {

dict_node *dict_new_node(const char *key, const char *failure) {
    size_t size = strlen(key) + 1;
    auto *n = static_cast<dict_node *>(malloc(sizeof(dict_node) + size));
    if (n == nullptr) {
        err(1, "%s", failure);
    }
    memcpy(n->key_chars, key, size);
    n->key = n->key_chars;
    return n;
}

using dict_map =
    splay_map<dict, dict_node, dict_root_SPLAY_INSERT, dict_root_SPLAY_REMOVE, dict_root_SPLAY_FIND,
              dict_root_SPLAY_NEXT, dict_root_SPLAY_MIN_MAX, dict_new_node>;

}  // namespace

int dict_contains(dict *d, const char *key) {
    return dict_map::find(d, key) != nullptr;
}

void *dict_set(dict *d, const char *key, void *value) {
    return dict_map::set(d, key, value, "dict_set: malloc");
}

void dict_xset(dict *d, const char *key, void *value) {
    if (!dict_map::insert_new(d, key, value, "dict_xset: malloc")) {
        errx(1, "dict_xset(%p, %s)", static_cast<void *>(d), key);
    }
}

void *dict_lookup(dict *d, const char *key) {
    dict_node *n = dict_map::find(d, key);
    return n != nullptr ? n->value : nullptr;
}

void *dict_xget(dict *d, const char *key) {
    dict_node *n = dict_map::find(d, key);
    if (n == nullptr) {
        errx(1, "dict_xget(%p, %s)", static_cast<void *>(d), key);
    }
    return n->value;
}

void *dict_remove(dict *d, const char *key) {
    void *value = nullptr;
    dict_map::remove(d, key, &value);
    return value;
}

void *dict_xpop(dict *d, const char *key) {
    void *value;
    if (!dict_map::remove(d, key, &value)) {
        errx(1, "dict_xpop(%p, %s)", static_cast<void *>(d), key);
    }
    return value;
}

int dict_take_root(dict *d, void **value) {
    return dict_map::take_root(d, nullptr, value);
}

int dict_peek_root(const dict *d, const char **key, void **value) {
    return dict_map::peek_root(d, key, value);
}

int dict_next(dict *d, void **iter, const char **key, void **value) {
    return dict_map::next_from(d, iter, nullptr, key, value);
}

int dict_next_from(dict *d, void **iter, const char *start, const char **key, void **value) {
    return dict_map::next_from(d, iter, start, key, value);
}

void dict_merge(dict *dst, dict *src) {
    dict_map::merge(dst, src, "dict_merge: duplicate");
}

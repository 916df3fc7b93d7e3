#include "store/tree.h"

#include <err.h>

#include <cstdlib>

#include "support/splay_map.h"

namespace {

int tree_compare(const tree_node *a, const tree_node *b) {
    return a->key < b->key ? -1 : a->key > b->key ? 1 : 0;
}

}  // namespace

SPLAY_PROTOTYPE(tree_root, tree_node, entry, tree_compare)
SPLAY_GENERATE(tree_root, tree_node, entry, tree_compare)

namespace {

tree_node *tree_new_node(uint64_t key, const char *failure) {
    auto *n = static_cast<tree_node *>(malloc(sizeof(tree_node)));
    if (n == nullptr) {
        err(1, "%s", failure);
    }
    n->key = key;
    return n;
}

using tree_map =
    splay_map<tree, tree_node, tree_root_SPLAY_INSERT, tree_root_SPLAY_REMOVE, tree_root_SPLAY_FIND,
              tree_root_SPLAY_NEXT, tree_root_SPLAY_MIN_MAX, tree_new_node>;

}  // namespace

int tree_contains(tree *t, uint64_t key) {
    return tree_map::find(t, key) != nullptr;
}

void *tree_lookup(tree *t, uint64_t key) {
    tree_node *n = tree_map::find(t, key);
    return n != nullptr ? n->value : nullptr;
}

void *tree_xget(tree *t, uint64_t key) {
    tree_node *n = tree_map::find(t, key);
    if (n == nullptr) {
        errx(1, "tree_get(%p, 0x%016lx)", static_cast<void *>(t), key);
    }
    return n->value;
}

void *tree_set(tree *t, uint64_t key, void *value) {
    return tree_map::set(t, key, value, "tree_set: malloc");
}

void tree_xset(tree *t, uint64_t key, void *value) {
    if (!tree_map::insert_new(t, key, value, "tree_xset: malloc")) {
        errx(1, "tree_xset(%p, 0x%016lx)", static_cast<void *>(t), key);
    }
}

tree_node *tree_node_new() {
    return static_cast<tree_node *>(malloc(sizeof(tree_node)));
}

void tree_xset_node(tree *t, tree_node *node, uint64_t key, void *value) {
    if (!tree_map::link_new(t, node, key, value)) {
        errx(1, "tree_xset(%p, 0x%016lx)", static_cast<void *>(t), key);
    }
}

void *tree_remove(tree *t, uint64_t key) {
    void *value = nullptr;
    tree_map::remove(t, key, &value);
    return value;
}

void *tree_xpop(tree *t, uint64_t key) {
    void *value;
    if (!tree_map::remove(t, key, &value)) {
        errx(1, "tree_xpop(%p, 0x%016lx)", static_cast<void *>(t), key);
    }
    return value;
}

int tree_take_root(tree *t, uint64_t *key, void **value) {
    return tree_map::take_root(t, key, value);
}

int tree_peek_root(const tree *t, uint64_t *key, void **value) {
    return tree_map::peek_root(t, key, value);
}

int tree_next(tree *t, void **iter, uint64_t *key, void **value) {
    return tree_map::next_from(t, iter, 0, key, value);
}

int tree_next_from(tree *t, void **iter, uint64_t start, uint64_t *key, void **value) {
    return tree_map::next_from(t, iter, start, key, value);
}

void tree_merge(tree *dst, tree *src) {
    tree_map::merge(dst, src, "tree_merge: duplicate");
}

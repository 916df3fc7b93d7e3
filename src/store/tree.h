// An ordered map from unsigned 64-bit keys to caller-owned pointers, with a
// count: a top-down splay tree on libbsd's <bsd/sys/tree.h> macros.
//
// A zero-filled tree is empty and valid; there is no destructor (drain with
// tree_take_root()). The tree allocates and frees only its own nodes, never
// the values. Every operation but tree_peek_root() splays, lookups included,
// so none is read-only. Single-threaded.
//
// Fatal conditions end the process through err(3)/errx(3) with status 1:
// allocation failure in tree_set()/tree_xset(), a present key in
// tree_xset()/tree_xset_node(), an absent key in tree_xget()/tree_xpop(),
// and a key held by both trees in tree_merge().
#pragma once

#include <bsd/sys/tree.h>

#include <cstdint>

struct tree_node {
    SPLAY_ENTRY(tree_node) entry;  // left, right
    uint64_t key;
    void *value;
};

SPLAY_HEAD(tree_root, tree_node);

struct tree {
    tree_root root;
    uint64_t count;
};

int tree_contains(tree *t, uint64_t key);
// Null for an absent key, and also for a present key whose value is null.
void *tree_lookup(tree *t, uint64_t key);
void *tree_xget(tree *t, uint64_t key);
// The previous value (replaced), or null after inserting a new entry.
void *tree_set(tree *t, uint64_t key, void *value);
void tree_xset(tree *t, uint64_t key, void *value);
// A node for tree_xset_node(), from the allocator the tree frees its nodes
// with; null with errno set when there is no memory. Free it with free()
// when it is not linked after all.
tree_node *tree_node_new();
// As tree_xset(), but links the caller's node from tree_node_new() and so
// allocates nothing: a caller that has its node before it commits to
// anything else cannot fail halfway. The tree owns the node from then on;
// a present key is fatal as in tree_xset().
void tree_xset_node(tree *t, tree_node *node, uint64_t key, void *value);
// The removed entry's value, or null when absent.
void *tree_remove(tree *t, uint64_t key);
void *tree_xpop(tree *t, uint64_t key);
// Removes whatever entry is at the root: 0 when empty, else 1. Places may
// be null.
int tree_take_root(tree *t, uint64_t *key, void **value);
// Reports the root entry without changing anything: 0 when empty.
int tree_peek_root(const tree *t, uint64_t *key, void **value);
// In-order walk: set *iter to null first and pass it back unchanged; 1 and
// the next entry, 0 at the end. The entry *iter names must stay in the tree.
int tree_next(tree *t, void **iter, uint64_t *key, void **value);
// As tree_next(), but a walk from a null handle starts at the smallest key
// not below start.
int tree_next_from(tree *t, void **iter, uint64_t start, uint64_t *key, void **value);
// Moves every entry of src into dst without allocating; src ends empty.
// dst and src must be two different trees.
void tree_merge(tree *dst, tree *src);

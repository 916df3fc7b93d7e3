// The algorithms the id-keyed tree (store/tree.h) and the string-keyed
// dictionary (support/dict.h) have in common, written once: counting,
// lookup, insertion, removal, draining, in-order walks from a start key, and
// merging. The splaying itself stays with libbsd's <bsd/sys/tree.h> macros;
// each front end generates them for its node type and instantiates this
// template with the generated functions.
//
// Each front end keeps its own names, key handling and fatal messages. The
// template only requires of Map the fields `root` (the splay head) and
// `count`, and of Node the fields `key` and `value`; a value-initialised key
// (0, or a null string) is the smallest one a walk can start from.
//
// Single-threaded; every operation but peek_root() restructures the tree.
#pragma once

#include <bsd/sys/tree.h>
#include <err.h>

#include <cstdint>
#include <cstdlib>

// Insert, Remove, Find, Next and MinMax are the functions that
// SPLAY_PROTOTYPE/SPLAY_GENERATE made for the head type of Map::root.
// NewNode(key, failure) returns a node that holds its own copy of the key,
// or ends the process with err(3) and the failure text.
template <class Map, class Node, auto Insert, auto Remove, auto Find, auto Next, auto MinMax,
          auto NewNode>
struct splay_map {
    using key_type = decltype(Node::key);

    // Splays by key; the key's node, or null when absent.
    static Node *find(Map *m, key_type key) {
        Node probe{};
        probe.key = key;
        return Find(&m->root, &probe);
    }

    // The previous value (replaced), or null after inserting a new node.
    // A node is allocated only when the key is absent.
    static void *set(Map *m, key_type key, void *value, const char *failure) {
        if (Node *n = find(m, key)) {
            void *old = n->value;
            n->value = value;
            return old;
        }
        Node *n = NewNode(key, failure);
        n->value = value;
        Insert(&m->root, n);
        m->count++;
        return nullptr;
    }

    // Allocates the node before looking at the tree; false, with nothing
    // changed, when the key is already present.
    static bool insert_new(Map *m, key_type key, void *value, const char *failure) {
        Node *n = NewNode(key, failure);
        n->value = value;
        if (Insert(&m->root, n) != nullptr) {
            free(n);
            return false;
        }
        m->count++;
        return true;
    }

    // Links a node the caller obtained, so that an insertion can be made
    // certain before anything else is committed; false, with the node not
    // linked and still the caller's, when the key is already present.
    static bool link_new(Map *m, Node *n, key_type key, void *value) {
        n->key = key;
        n->value = value;
        if (Insert(&m->root, n) != nullptr) {
            return false;
        }
        m->count++;
        return true;
    }

    // Frees the key's node and stores its value in *value; false when absent.
    static bool remove(Map *m, key_type key, void **value) {
        Node *n = find(m, key);
        if (n == nullptr) {
            return false;
        }
        Remove(&m->root, n);
        m->count--;
        *value = n->value;
        free(n);
        return true;
    }

    // Unlinks and frees whatever node is at the root: 0 when empty. The key
    // place must be null where the key lives in the freed node.
    static int take_root(Map *m, key_type *key, void **value) {
        Node *n = SPLAY_ROOT(&m->root);
        if (n == nullptr) {
            return 0;
        }
        Remove(&m->root, n);
        m->count--;
        store(n, key, value);
        free(n);
        return 1;
    }

    static int peek_root(const Map *m, key_type *key, void **value) {
        const Node *n = SPLAY_ROOT(&m->root);
        if (n == nullptr) {
            return 0;
        }
        store(n, key, value);
        return 1;
    }

    // One in-order step. From a null handle the walk starts at the smallest
    // key not below start; a value-initialised start means the minimum.
    static int next_from(Map *m, void **iter, key_type start, key_type *key, void **value) {
        Node *n;
        if (*iter != nullptr) {
            n = Next(&m->root, static_cast<Node *>(*iter));
        } else if (SPLAY_EMPTY(&m->root)) {
            n = nullptr;
        } else if (start == key_type{}) {
            n = MinMax(&m->root, SPLAY_NEGINF);
        } else if ((n = find(m, start)) == nullptr) {
            // The macros find successors of linked nodes only, so an absent
            // start key is linked for the moment as an uncounted probe.
            Node probe{};
            probe.key = start;
            Insert(&m->root, &probe);
            n = Next(&m->root, &probe);
            Remove(&m->root, &probe);
        }
        if (n == nullptr) {
            return 0;
        }
        *iter = n;
        store(n, key, value);
        return 1;
    }

    // Moves the nodes themselves, so nothing is allocated; a key held by
    // both maps ends the process with errx(3) and the duplicate text.
    static void merge(Map *dst, Map *src, const char *duplicate) {
        while (Node *n = SPLAY_ROOT(&src->root)) {
            Remove(&src->root, n);
            if (Insert(&dst->root, n) != nullptr) {
                errx(1, "%s", duplicate);
            }
        }
        dst->count += src->count;
        src->count = 0;
    }

  private:
    static void store(const Node *n, key_type *key, void **value) {
        if (key != nullptr) {
            *key = n->key;
        }
        if (value != nullptr) {
            *value = n->value;
        }
    }
};

// Where the store meets the frame: the one place besides start-up that
// knows both, so that every program serving the queue from memory (the
// backend, and the fuzzing harness that runs its loop) wires it the same way.
#pragma once

// Empties the store and registers its twelve handlers in the frame's table
// in slot order; `finish` stays empty. Cannot fail.
void install_store_handlers();

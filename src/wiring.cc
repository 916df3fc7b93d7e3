#include "wiring.h"

#include "frame/queue_api.h"
#include "frame/queue_proto.h"
#include "store/memq.h"

// The store refuses envelopes that the loop could not hand back whole.
static_assert(MEMQ_ENVELOPE_MAX == QUEUE_ENVELOPE_BUF,
              "the store's envelope limit must match the loop's read buffer");

void install_store_handlers() {
    stored_messages = tree{};

    queue_api_set_message_new(memq_message_new);
    queue_api_set_message_store(memq_message_store);
    queue_api_set_message_remove(memq_message_remove);
    queue_api_set_message_open(memq_message_open);
    queue_api_set_message_mark(memq_message_mark);
    queue_api_set_message_unmark(memq_message_unmark);
    queue_api_set_envelope_new(memq_envelope_new);
    queue_api_set_envelope_remove(memq_envelope_remove);
    queue_api_set_envelope_replace(memq_envelope_replace);
    queue_api_set_envelope_read(memq_envelope_read);
    queue_api_set_envelope_iterate(memq_envelope_iterate);
    queue_api_set_message_iterate(memq_message_iterate);
}

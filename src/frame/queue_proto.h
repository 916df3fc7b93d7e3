// The queue protocol's message types and fixed sizes, shared by the backend
// and by any program that speaks to it as the peer.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t QUEUE_REPLY = 0;
inline constexpr uint32_t QUEUE_HELLO = 2;
inline constexpr uint32_t QUEUE_FINISH = 3;
inline constexpr uint32_t QUEUE_MESSAGE_NEW = 4;
inline constexpr uint32_t QUEUE_MESSAGE_REMOVE = 5;
inline constexpr uint32_t QUEUE_MESSAGE_STORE = 6;
inline constexpr uint32_t QUEUE_MESSAGE_OPEN = 7;
inline constexpr uint32_t QUEUE_MESSAGE_MARK = 8;
inline constexpr uint32_t QUEUE_MESSAGE_UNMARK = 9;
inline constexpr uint32_t QUEUE_ENVELOPE_NEW = 10;
inline constexpr uint32_t QUEUE_ENVELOPE_REMOVE = 11;
inline constexpr uint32_t QUEUE_ENVELOPE_READ = 12;
inline constexpr uint32_t QUEUE_ENVELOPE_REPLACE = 13;
inline constexpr uint32_t QUEUE_ENVELOPE_ITERATE = 14;
inline constexpr uint32_t QUEUE_MESSAGE_ITERATE = 15;

inline constexpr uint32_t QUEUE_API_VERSION = 2;

// The loop offers this much room for an envelope on the way back, so no
// reply carries a longer one.
inline constexpr size_t QUEUE_ENVELOPE_BUF = 8192;

#pragma once

#include <cstdint>

#include "record/RecordLayout.h"

namespace vantor {

// Which way a record's bytes went, as the record format numbers it; a record's field holds
// whatever its writer put there, so a value may be none of these.
enum class Direction : std::uint32_t {
    None = VANTOR_DIRECTION_NONE,  // as the previous direction: the socket's first record
    Sent = VANTOR_DIRECTION_SENT,  // by the captured program (the client's side)
    Received = VANTOR_DIRECTION_RECEIVED,
    Lost = VANTOR_DIRECTION_LOST,  // stands for records that could not be written
};
static_assert(sizeof(Direction) == 4 && static_cast<std::uint32_t>(Direction::Sent) == 1u &&
                  static_cast<std::uint32_t>(Direction::Received) == 2u &&
                  static_cast<std::uint32_t>(Direction::None) == 0u,
              "the record format's direction numbers");

// The other way, for Sent and Received.
constexpr Direction Opposite(Direction direction) {
    return direction == Direction::Sent ? Direction::Received : Direction::Sent;
}

}  // namespace vantor

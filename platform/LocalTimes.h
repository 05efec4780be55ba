#pragma once

#include <cstdint>

#include "platform/SystemTime.h"

namespace vantor {

// Times as capture records carry them: local time, to the millisecond. The broken-down time is
// worked out once per second.
class LocalTimes {
public:
    // The local time of microseconds since the epoch.
    SystemTime At(std::int64_t microseconds);

private:
    std::int64_t m_second = 0;
    bool m_valid = false;
    SystemTime m_time;
};

}  // namespace vantor

#include "platform/LocalTimes.h"

#include <ctime>

namespace vantor {

SystemTime LocalTimes::At(std::int64_t microseconds) {
    std::int64_t seconds = microseconds / 1'000'000;
    std::int64_t fraction = microseconds % 1'000'000;
    if (fraction < 0) {
        fraction += 1'000'000;
        seconds -= 1;
    }
    if (seconds != m_second || !m_valid) {
        const auto time = static_cast<std::time_t>(seconds);
        std::tm local{};
        if (::localtime_r(&time, &local) != nullptr) {
            m_time.year = static_cast<std::uint16_t>(local.tm_year + 1900);
            m_time.month = static_cast<std::uint16_t>(local.tm_mon + 1);
            m_time.dayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
            m_time.day = static_cast<std::uint16_t>(local.tm_mday);
            m_time.hour = static_cast<std::uint16_t>(local.tm_hour);
            m_time.minute = static_cast<std::uint16_t>(local.tm_min);
            m_time.second = static_cast<std::uint16_t>(local.tm_sec);
        } else {
            m_time = SystemTime{};
        }
        m_second = seconds;
        m_valid = true;
    }
    SystemTime result = m_time;
    result.milliseconds = static_cast<std::uint16_t>(fraction / 1000);
    return result;
}

}  // namespace vantor

#pragma once

#include <chrono>
#include <cstdint>

// Seconds since the Unix epoch on the wall clock, as tokens count them (iat, exp).
inline int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

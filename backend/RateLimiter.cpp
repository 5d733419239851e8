#include "RateLimiter.h"

#include <algorithm>
#include <charconv>
#include <chrono>

namespace {

constexpr double maxBurst = 30;
// Beyond this many remembered clients, buckets that have refilled are forgotten: they
// hold nothing a new bucket would not.
constexpr size_t pruneAbove = 100000;

bool parseNumber(const std::string &text, double &out) {
    int64_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || value < 0 || value > 100000000)
        return false;
    out = double(value);
    return true;
}

} // namespace

bool RateLimits::set(const std::string &assignment) {
    const size_t eq = assignment.find('=');
    const size_t slash = assignment.find('/', eq == std::string::npos ? 0 : eq);
    if (eq == std::string::npos || slash == std::string::npos)
        return false;
    const std::string kind = assignment.substr(0, eq);
    RateLimit limit;
    if (!parseNumber(assignment.substr(eq + 1, slash - eq - 1), limit.count) ||
        !parseNumber(assignment.substr(slash + 1), limit.seconds) || limit.seconds < 1)
        return false;
    RateLimit *target = kind == "sign-in"             ? &signIn
                        : kind == "sign-in-per-email" ? &signInPerEmail
                        : kind == "mail"              ? &mail
                        : kind == "mail-per-email"    ? &mailPerEmail
                        : kind == "refresh"           ? &refresh
                                                      : nullptr;
    if (!target)
        return false;
    *target = limit;
    return true;
}

void RateLimits::liftAll() {
    for (RateLimit *limit : {&signIn, &signInPerEmail, &mail, &mailPerEmail, &refresh})
        limit->count = 0;
}

RateLimiter::RateLimiter(RateLimit limit)
    : m_capacity(std::min(limit.count, maxBurst)),
      m_rate(limit.count / std::max(limit.seconds, 1.0)) {}

double RateLimiter::take(const std::string &key) {
    using namespace std::chrono;
    return take(key, duration<double>(steady_clock::now().time_since_epoch()).count());
}

double RateLimiter::take(const std::string &key, double now) {
    if (m_capacity <= 0)
        return 0;
    std::lock_guard lock(m_mutex);
    if (m_buckets.size() > pruneAbove)
        std::erase_if(m_buckets, [&](const auto &item) {
            return item.second.tokens + (now - item.second.updated) * m_rate >= m_capacity;
        });
    auto it = m_buckets.try_emplace(key, Bucket{m_capacity, now}).first;
    Bucket &bucket = it->second;
    bucket.tokens = std::min(m_capacity, bucket.tokens + (now - bucket.updated) * m_rate);
    bucket.updated = now;
    if (bucket.tokens < 1)
        return (1 - bucket.tokens) / m_rate;
    bucket.tokens -= 1;
    return 0;
}

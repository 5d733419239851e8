#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

// `count` requests per `seconds`, counted as a token bucket that refills at that rate and
// holds at most min(count, 30) requests: an idle client may make a short burst, a steady
// stream above the rate is refused. This is how the hosted auth service counts.
struct RateLimit {
    double count = 0; // 0: no limit
    double seconds = 1;
};

// The auth API's limits; each can be changed with --rate-limit KIND=COUNT/SECONDS.
struct RateLimits {
    RateLimit signIn{30, 300};         // "sign-in": password sign-in and sign-up, per address
    RateLimit signInPerEmail{10, 300}; // "sign-in-per-email": the same, per e-mail address
    RateLimit mail{30, 3600};          // "mail": confirmation and reset mails, per address
    RateLimit mailPerEmail{1, 60};     // "mail-per-email": the same, per e-mail address
    RateLimit refresh{1800, 3600};     // "refresh": token refreshes, per address

    // Applies "KIND=COUNT/SECONDS" (COUNT 0 lifts that limit); false when malformed.
    bool set(const std::string &assignment);
    void liftAll();
};

class RateLimiter {
public:
    explicit RateLimiter(RateLimit limit);

    // Takes one request from the key's bucket. Returns 0 when it is allowed, otherwise
    // the seconds until it would be (the request is then not counted). `now` is in
    // seconds on a monotonic clock.
    double take(const std::string &key, double now);
    double take(const std::string &key);

private:
    struct Bucket {
        double tokens;
        double updated;
    };
    double m_capacity;
    double m_rate; // tokens per second
    std::mutex m_mutex;
    std::unordered_map<std::string, Bucket> m_buckets;
};

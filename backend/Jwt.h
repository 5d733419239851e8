#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

// HS256 access tokens: signed when the auth API issues a session, checked on every
// authorised request.
class Jwt {
public:
    explicit Jwt(std::string secret);

    // A key for another purpose, derived from the signing secret (HMAC-SHA256 of the
    // purpose), so that one secret to keep serves the server's other keyed hashes.
    std::string derivedKey(const std::string &purpose) const;

    // Signs the claims (a JSON object) with HS256.
    std::string sign(const nlohmann::ordered_json &claims) const;

    enum class Failure {
        None,
        Malformed,    // not three parts, undecodable header or payload
        BadAlgorithm, // anything but HS256, "none" included
        BadSignature,
        Expired,
        BadClaims, // missing or ill-typed exp/sub/role/aud, issued in the future
    };

    struct Verified {
        Failure failure = Failure::None;
        std::string message;    // why it failed, in the wording of the hosted REST service
        std::string claimsJson; // the payload as sent, for request.jwt.claims
        std::string sub;
        std::string email;
        std::string sessionId;
        int64_t exp = 0;
        bool ok() const { return failure == Failure::None; }
    };

    // Checks structure, algorithm, signature and the claims an access token must carry
    // (exp in the future, role and aud "authenticated", sub a UUID).
    Verified verify(const std::string &token, int64_t now) const;

    // verify() with a memory of recently verified tokens: a desk sends the same token
    // with every request for an hour, and checking it again each time costs more than
    // the rest of a small request. Expiry is still checked on every call.
    Verified verifyCached(const std::string &token, int64_t now) const;

private:
    std::string m_secret;
    mutable std::mutex m_cacheMutex;
    mutable std::unordered_map<std::string, Verified> m_cache;
};

#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// HS256 access tokens: signed when the auth API issues a session, checked on every
// authorised request.
class Jwt {
public:
    explicit Jwt(std::string secret);

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

private:
    std::string m_secret;
};

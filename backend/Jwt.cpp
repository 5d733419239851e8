#include "Jwt.h"

#include "Crypto.h"

#include <jwt.h>

#include <memory>
#include <stdexcept>

namespace {

struct JwtFree {
    void operator()(jwt_t *jwt) const { jwt_free(jwt); }
};
using JwtPtr = std::unique_ptr<jwt_t, JwtFree>;

struct FreeString {
    void operator()(char *s) const { free(s); }
};

// "aud" may be a string or an array of strings.
bool audienceMatches(const nlohmann::json &aud) {
    if (aud.is_string())
        return aud.get<std::string>() == "authenticated";
    if (aud.is_array())
        for (const auto &item : aud)
            if (item.is_string() && item.get<std::string>() == "authenticated")
                return true;
    return false;
}

} // namespace

Jwt::Jwt(std::string secret) : m_secret(std::move(secret)) {}

std::string Jwt::derivedKey(const std::string &purpose) const {
    return crypto::hmacSha256(m_secret, purpose);
}

std::string Jwt::sign(const nlohmann::ordered_json &claims) const {
    jwt_t *raw = nullptr;
    if (jwt_new(&raw) != 0)
        throw std::runtime_error("jwt_new failed");
    JwtPtr jwt(raw);
    if (jwt_add_grants_json(jwt.get(), claims.dump().c_str()) != 0)
        throw std::runtime_error("could not add the token's claims");
    if (jwt_set_alg(jwt.get(), JWT_ALG_HS256,
                    reinterpret_cast<const unsigned char *>(m_secret.data()),
                    int(m_secret.size())) != 0)
        throw std::runtime_error("could not set the token's algorithm");
    std::unique_ptr<char, FreeString> encoded(jwt_encode_str(jwt.get()));
    if (!encoded)
        throw std::runtime_error("could not encode the token");
    return encoded.get();
}

Jwt::Verified Jwt::verify(const std::string &token, int64_t now) const {
    Verified v;
    auto fail = [&v](Failure failure, std::string message) {
        v.failure = failure;
        v.message = std::move(message);
        return v;
    };

    if (token.empty())
        return fail(Failure::Malformed, "Empty JWT is sent in Authorization header");
    const size_t dot1 = token.find('.');
    const size_t dot2 = dot1 == std::string::npos ? dot1 : token.find('.', dot1 + 1);
    if (dot1 == std::string::npos || dot2 == std::string::npos ||
        token.find('.', dot2 + 1) != std::string::npos) {
        size_t parts = 1;
        for (char c : token)
            parts += c == '.';
        return fail(Failure::Malformed, "Expected 3 parts in JWT; got " + std::to_string(parts));
    }

    // Look at the header ourselves first: the algorithm must be exactly HS256, whatever
    // the library would accept.
    std::string headerText;
    nlohmann::json header;
    if (!crypto::base64UrlDecode(std::string_view(token).substr(0, dot1), headerText))
        return fail(Failure::Malformed, "JWT couldn't be decoded");
    header = nlohmann::json::parse(headerText, nullptr, false);
    if (!header.is_object())
        return fail(Failure::Malformed, "JWT couldn't be decoded");
    if (!header.contains("alg") || !header["alg"].is_string() || header["alg"] != "HS256")
        return fail(Failure::BadAlgorithm, "Wrong or unsupported encoding algorithm");

    // The signature, compared in constant time, before the payload is trusted at all.
    const std::string signingInput = token.substr(0, dot2);
    const std::string expected =
        crypto::base64UrlEncode(crypto::hmacSha256(m_secret, signingInput));
    if (!crypto::constantTimeEquals(expected, std::string_view(token).substr(dot2 + 1)))
        return fail(Failure::BadSignature, "JWT cryptographic operation failed");

    // libjwt checks it once more and gives us the claims.
    jwt_t *raw = nullptr;
    if (jwt_decode(&raw, token.c_str(), reinterpret_cast<const unsigned char *>(m_secret.data()),
                   int(m_secret.size())) != 0 ||
        raw == nullptr)
        return fail(Failure::BadSignature, "JWT cryptographic operation failed");
    JwtPtr jwt(raw);
    if (jwt_get_alg(jwt.get()) != JWT_ALG_HS256)
        return fail(Failure::BadAlgorithm, "Wrong or unsupported encoding algorithm");

    std::unique_ptr<char, FreeString> grants(jwt_get_grants_json(jwt.get(), nullptr));
    if (!grants)
        return fail(Failure::BadClaims, "Parsing claims failed");
    v.claimsJson = grants.get();
    const auto claims = nlohmann::json::parse(v.claimsJson, nullptr, false);
    if (!claims.is_object())
        return fail(Failure::BadClaims, "Parsing claims failed");

    const auto exp = claims.find("exp");
    if (exp == claims.end() || !exp->is_number())
        return fail(Failure::BadClaims, "The JWT 'exp' claim must be a number");
    v.exp = exp->get<int64_t>();
    if (now >= v.exp)
        return fail(Failure::Expired, "JWT expired");
    if (const auto iat = claims.find("iat"); iat != claims.end()) {
        if (!iat->is_number())
            return fail(Failure::BadClaims, "The JWT 'iat' claim must be a number");
        if (iat->get<int64_t>() > now + 30)
            return fail(Failure::BadClaims, "JWT issued at future");
    }
    const auto aud = claims.find("aud");
    if (aud == claims.end() || !audienceMatches(*aud))
        return fail(Failure::BadClaims, "JWT not in audience");
    const auto role = claims.find("role");
    if (role == claims.end() || !role->is_string() || *role != "authenticated")
        return fail(Failure::BadClaims, "JWT role is not allowed");
    const auto sub = claims.find("sub");
    if (sub == claims.end() || !sub->is_string() || !crypto::isUuid(sub->get<std::string>()))
        return fail(Failure::BadClaims, "Parsing claims failed");
    v.sub = sub->get<std::string>();
    if (const auto email = claims.find("email"); email != claims.end() && email->is_string())
        v.email = email->get<std::string>();
    if (const auto sid = claims.find("session_id"); sid != claims.end() && sid->is_string())
        v.sessionId = sid->get<std::string>();
    return v;
}

Jwt::Verified Jwt::verifyCached(const std::string &token, int64_t now) const {
    constexpr size_t maxCached = 4096;
    {
        std::lock_guard lock(m_cacheMutex);
        if (const auto it = m_cache.find(token); it != m_cache.end()) {
            if (now < it->second.exp)
                return it->second;
            m_cache.erase(it);
        }
    }
    Verified verified = verify(token, now);
    if (verified.ok()) {
        std::lock_guard lock(m_cacheMutex);
        if (m_cache.size() >= maxCached)
            m_cache.clear();
        m_cache.emplace(token, verified);
    }
    return verified;
}

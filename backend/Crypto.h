#pragma once

#include <string>
#include <string_view>

// Small wrappers over OpenSSL for tokens, hashes and signatures.
namespace crypto {

// `count` bytes from the system's secure random generator.
std::string randomBytes(size_t count);

// URL-safe base64 without padding (RFC 4648 section 5), as JWTs use it.
std::string base64UrlEncode(std::string_view data);
// Decodes URL-safe base64 with or without padding; false on any invalid character.
bool base64UrlDecode(std::string_view text, std::string &out);

// A fresh unguessable token: `bytes` random bytes, URL-safe base64.
std::string randomToken(size_t bytes = 32);

std::string sha256Hex(std::string_view data);
std::string hmacSha256(std::string_view key, std::string_view data);

// Compares without an early exit, so the time taken does not reveal the matching prefix.
bool constantTimeEquals(std::string_view a, std::string_view b);

// True when `text` is a UUID in its canonical 8-4-4-4-12 hexadecimal form.
bool isUuid(std::string_view text);

} // namespace crypto

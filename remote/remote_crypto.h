#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace kestravon::ruvi {

using PasswordSalt = std::array<unsigned char, 16>;
using PasswordHash = std::array<unsigned char, 32>;

// Fills the buffer from the system random generator; throws "Random generator unavailable".
void fillRandom(unsigned char* buffer, std::size_t length);

// PBKDF2-HMAC-SHA256, 200000 iterations; throws "Password hash failed".
PasswordHash hashPassword(std::string_view password, const PasswordSalt& salt);

std::array<unsigned char, 20> sha1Digest(std::string_view data);
std::array<unsigned char, 32> sha256Digest(std::string_view data);

// Compares every byte pair without an early exit.
[[nodiscard]] bool equalConstantTime(const unsigned char* a, const unsigned char* b,
                                     std::size_t length) noexcept;

// Overwrites the string's current bytes with zeros; the length stays.
void wipeString(std::string& text) noexcept;
void wipeBytes(void* data, std::size_t length) noexcept;

// Appends to a string that holds secrets: when it must grow, the old buffer is wiped before it
// is released, so no copy of the bytes is left behind in freed memory.
void appendSecret(std::string& target, const char* data, std::size_t length);

// 64 lower-case hex digits from 32 random bytes.
std::string makeToken();

std::string hexLower(const unsigned char* data, std::size_t length);
std::string base64Encode(std::string_view bytes);

// Wipes a string at every exit of its scope.
class StringWipeGuard {
public:
    explicit StringWipeGuard(std::string& text) noexcept : text_(text) {}
    ~StringWipeGuard() { wipeString(text_); }
    StringWipeGuard(const StringWipeGuard&) = delete;
    StringWipeGuard& operator=(const StringWipeGuard&) = delete;

private:
    std::string& text_;
};

using PasswordWipeGuard = StringWipeGuard;
using RequestWipeGuard = StringWipeGuard;

} // namespace kestravon::ruvi

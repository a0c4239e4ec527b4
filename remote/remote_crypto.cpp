#include "remote/remote_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace kestravon::ruvi {

void fillRandom(unsigned char* buffer, std::size_t length) {
    if (length > static_cast<std::size_t>(INT_MAX) ||
        RAND_bytes(buffer, static_cast<int>(length)) != 1) {
        throw std::runtime_error("Random generator unavailable");
    }
}

PasswordHash hashPassword(std::string_view password, const PasswordSalt& salt) {
    PasswordHash out{};
    if (password.size() > static_cast<std::size_t>(INT_MAX) ||
        PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                          static_cast<int>(salt.size()), 200000, EVP_sha256(),
                          static_cast<int>(out.size()), out.data()) != 1) {
        throw std::runtime_error("Password hash failed");
    }
    return out;
}

std::array<unsigned char, 20> sha1Digest(std::string_view data) {
    std::array<unsigned char, 20> out{};
    SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
    return out;
}

std::array<unsigned char, 32> sha256Digest(std::string_view data) {
    std::array<unsigned char, 32> out{};
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
    return out;
}

bool equalConstantTime(const unsigned char* a, const unsigned char* b,
                       std::size_t length) noexcept {
    return CRYPTO_memcmp(a, b, length) == 0;
}

void wipeString(std::string& text) noexcept {
    if (!text.empty()) {
        OPENSSL_cleanse(text.data(), text.size());
    }
}

void wipeBytes(void* data, std::size_t length) noexcept {
    if (length != 0) {
        OPENSSL_cleanse(data, length);
    }
}

void appendSecret(std::string& target, const char* data, std::size_t length) {
    const std::size_t needed = target.size() + length;
    if (needed > target.capacity()) {
        std::string grown;
        grown.reserve(std::max(needed, target.capacity() * 2));
        grown.append(target);
        wipeString(target);
        target.swap(grown);
    }
    target.append(data, length);
}

std::string hexLower(const unsigned char* data, std::size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

std::string makeToken() {
    unsigned char bytes[32];
    fillRandom(bytes, sizeof bytes);
    std::string token = hexLower(bytes, sizeof bytes);
    wipeBytes(bytes, sizeof bytes);
    return token;
}

std::string base64Encode(std::string_view bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out.push_back(alphabet[(v >> 18) & 63]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(alphabet[(v >> 6) & 63]);
        out.push_back(alphabet[v & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest != 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) {
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out.push_back(alphabet[(v >> 18) & 63]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(rest == 2 ? alphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

} // namespace kestravon::ruvi

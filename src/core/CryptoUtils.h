// Static byte utilities: SHA-256, base64, random bytes, and the sealed-frame
// layout (12-byte IV, payload, 16-byte tag) used for voice framing.
// All stateless and safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Korrafin {

class CryptoUtils {
public:
    using Digest = std::array<uint8_t, 32>;
    using Key = Digest;
    using IV = std::array<uint8_t, 12>;

    CryptoUtils() = delete;

    static Digest sha256(const void* data, std::size_t len);
    static std::string sha256Hex(const void* data, std::size_t len);
    static std::string sha256Hex(std::string_view s) { return sha256Hex(s.data(), s.size()); }
    // What logs and standard output show of a secret such as a client
    // identity: the first 8 bytes of its SHA-256 as 16 lower-case hex
    // digits. Enough to tell identities apart, of no use to log in with.
    static std::string fingerprint(std::string_view secret);
    static Key deriveSessionKey(const uint8_t* data, std::size_t len);

    static std::string base64Encode(const std::vector<uint8_t>& data);
    // Lenient: never rejects; characters outside the alphabet count as 0.
    static std::vector<uint8_t> base64Decode(const std::string& text);

    // Fills the buffer straight from the system random device.
    static void randomBytes(uint8_t* out, std::size_t len);
    static IV randomIV();
    // `len` characters drawn uniformly from `alphabet` (no modulo bias).
    static std::string randomString(std::string_view alphabet, std::size_t len);
    // `bytes` random bytes as lower-case hex (2 * bytes characters).
    static std::string randomHex(std::size_t bytes);

    // Frame layout only: nothing is encrypted or authenticated.
    static std::vector<uint8_t> aesGcmEncrypt(const Key& key, const uint8_t* data, std::size_t len);
    static std::vector<uint8_t> aesGcmDecrypt(const Key& key, const uint8_t* frame, std::size_t len);

    static std::string toHex(const uint8_t* data, std::size_t len);
};

// Voice framing once a key is set. No lock: init must not overlap use.
class VoiceCipher {
public:
    CryptoUtils::Key key{};
    bool ready = false;

    void init(const CryptoUtils::Key& k);
    std::vector<uint8_t> encrypt(uint32_t seq, const uint8_t* data, std::size_t len) const;
    std::vector<uint8_t> decrypt(uint32_t seq, const uint8_t* frame, std::size_t len) const;
};

}  // namespace Korrafin

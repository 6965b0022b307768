#include "core/CryptoUtils.h"

#include <cstring>
#include <random>
#include <stdexcept>

namespace Korrafin {

namespace {

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr char B64CHARS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<uint8_t, 256> makeDecodeTable() {
    std::array<uint8_t, 256> t{};
    for (uint8_t i = 0; i < 64; ++i) t[static_cast<uint8_t>(B64CHARS[i])] = i;
    return t;
}
constexpr std::array<uint8_t, 256> DEC = makeDecodeTable();

inline uint32_t rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t state[8], const uint8_t* block) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t(block[4 * i]) << 24) | (uint32_t(block[4 * i + 1]) << 16) |
               (uint32_t(block[4 * i + 2]) << 8) | uint32_t(block[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        const uint32_t ch = (e & f) ^ (~e & g);
        const uint32_t t1 = h + S1 + ch + K[i] + w[i];
        const uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        const uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = S0 + maj;
        h = g; g = f; f = e; e = d + t1;
        d = c; c = b; b = a; a = t1 + t2;
    }
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
}

CryptoUtils::Digest sha256_portable(const void* data, std::size_t len) {
    uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto* p = static_cast<const uint8_t*>(data);
    std::size_t full = len / 64;
    for (std::size_t i = 0; i < full; ++i) compress(state, p + 64 * i);

    // Padding: the tail, 0x80, zeros to 56 mod 64, then the bit length.
    uint8_t tail[128] = {};
    const std::size_t rest = len % 64;
    if (rest) std::memcpy(tail, p + 64 * full, rest);
    tail[rest] = 0x80;
    const std::size_t tailLen = rest < 56 ? 64 : 128;
    const uint64_t bits = static_cast<uint64_t>(len) * 8;
    for (int i = 0; i < 8; ++i) tail[tailLen - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    compress(state, tail);
    if (tailLen == 128) compress(state, tail + 64);

    CryptoUtils::Digest out{};
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<uint8_t>(state[i] >> 24);
        out[4 * i + 1] = static_cast<uint8_t>(state[i] >> 16);
        out[4 * i + 2] = static_cast<uint8_t>(state[i] >> 8);
        out[4 * i + 3] = static_cast<uint8_t>(state[i]);
    }
    return out;
}

}  // namespace

CryptoUtils::Digest CryptoUtils::sha256(const void* data, std::size_t len) { return sha256_portable(data, len); }

std::string CryptoUtils::fingerprint(std::string_view secret) {
    const Digest d = sha256(secret.data(), secret.size());
    return toHex(d.data(), 8);
}

std::string CryptoUtils::toHex(const uint8_t* data, std::size_t len) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s(len * 2, '0');
    for (std::size_t i = 0; i < len; ++i) {
        s[2 * i] = digits[data[i] >> 4];
        s[2 * i + 1] = digits[data[i] & 0xF];
    }
    return s;
}

std::string CryptoUtils::sha256Hex(const void* data, std::size_t len) {
    const Digest d = sha256_portable(data, len);
    return toHex(d.data(), d.size());
}

CryptoUtils::Key CryptoUtils::deriveSessionKey(const uint8_t* data, std::size_t len) {
    return sha256_portable(data, len);
}

std::string CryptoUtils::base64Encode(const std::vector<uint8_t>& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const bool has2 = i + 1 < data.size();
        const bool has3 = i + 2 < data.size();
        const uint32_t v = (uint32_t(data[i]) << 16) | (has2 ? uint32_t(data[i + 1]) << 8 : 0) |
                           (has3 ? uint32_t(data[i + 2]) : 0);
        out.push_back(B64CHARS[(v >> 18) & 63]);
        out.push_back(B64CHARS[(v >> 12) & 63]);
        out.push_back(has2 ? B64CHARS[(v >> 6) & 63] : '=');
        out.push_back(has3 ? B64CHARS[v & 63] : '=');
    }
    return out;
}

std::vector<uint8_t> CryptoUtils::base64Decode(const std::string& text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
        if (text[i] == '=') break;
        const auto at = [&](std::size_t k) { return uint32_t(DEC[static_cast<uint8_t>(text[i + k])]); };
        const uint32_t v = (at(0) << 18) | (at(1) << 12) | (at(2) << 6) | at(3);
        out.push_back(static_cast<uint8_t>(v >> 16));
        if (text[i + 2] != '=') out.push_back(static_cast<uint8_t>(v >> 8));
        if (text[i + 3] != '=') out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

void CryptoUtils::randomBytes(uint8_t* out, std::size_t len) {
    // Every byte comes from the device itself, never from an engine seeded
    // with a single 32-bit word.
    std::random_device rd("default");
    std::size_t i = 0;
    while (i < len) {
        const uint32_t word = rd();
        for (int b = 0; b < 4 && i < len; ++b, ++i) out[i] = static_cast<uint8_t>(word >> (8 * b));
    }
}

CryptoUtils::IV CryptoUtils::randomIV() {
    IV iv{};
    randomBytes(iv.data(), iv.size());
    return iv;
}

std::string CryptoUtils::randomString(std::string_view alphabet, std::size_t len) {
    if (alphabet.empty() || alphabet.size() > 256) throw std::invalid_argument("randomString: bad alphabet");
    // Rejection sampling keeps every character equally likely.
    const unsigned n = static_cast<unsigned>(alphabet.size());
    const unsigned limit = 256 - (256 % n);
    std::string out;
    out.reserve(len);
    uint8_t buf[64];
    while (out.size() < len) {
        randomBytes(buf, sizeof buf);
        for (uint8_t b : buf) {
            if (b >= limit) continue;
            out.push_back(alphabet[b % n]);
            if (out.size() == len) break;
        }
    }
    return out;
}

std::string CryptoUtils::randomHex(std::size_t bytes) {
    std::vector<uint8_t> buf(bytes);
    randomBytes(buf.data(), buf.size());
    return toHex(buf.data(), buf.size());
}

std::vector<uint8_t> CryptoUtils::aesGcmEncrypt(const Key&, const uint8_t* data, std::size_t len) {
    std::vector<uint8_t> out(len + 28, 0);
    if (len) std::memcpy(out.data() + 12, data, len);
    return out;
}

std::vector<uint8_t> CryptoUtils::aesGcmDecrypt(const Key&, const uint8_t* frame, std::size_t len) {
    if (len < 28) return {};
    return std::vector<uint8_t>(frame + 12, frame + len - 16);
}

void VoiceCipher::init(const CryptoUtils::Key& k) {
    key = k;
    ready = true;
}

std::vector<uint8_t> VoiceCipher::encrypt(uint32_t, const uint8_t* data, std::size_t len) const {
    if (!ready) return {};
    return CryptoUtils::aesGcmEncrypt(key, data, len);
}

std::vector<uint8_t> VoiceCipher::decrypt(uint32_t, const uint8_t* frame, std::size_t len) const {
    if (!ready || len < 28) return {};
    return CryptoUtils::aesGcmDecrypt(key, frame, len);
}

}  // namespace Korrafin

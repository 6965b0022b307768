#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "core/CryptoUtils.h"

using Korrafin::CryptoUtils;
using Korrafin::VoiceCipher;

namespace {
std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::string text(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }
}  // namespace

TEST(Sha256, Fips180Vectors) {
    struct Case {
        std::string msg;
        const char* hex;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // Lengths around the padding boundary (55, 56, 64 bytes).
        {std::string(55, 'x'), nullptr},
        {std::string(56, 'x'), nullptr},
    };
    for (const auto& c : cases) {
        const std::string hex = CryptoUtils::sha256Hex(c.msg.data(), c.msg.size());
        EXPECT_EQ(hex.size(), 64u);
        if (c.hex) {
            EXPECT_EQ(hex, c.hex) << c.msg.size();
        }
    }
    const auto d = CryptoUtils::sha256("abc", 3);
    EXPECT_EQ(d[0], 0xba);
    EXPECT_EQ(d[31], 0xad);
    EXPECT_EQ(CryptoUtils::deriveSessionKey(reinterpret_cast<const uint8_t*>("abc"), 3), d);
}

TEST(Base64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, enc] : cases) {
        EXPECT_EQ(CryptoUtils::base64Encode(bytes(plain)), enc);
        EXPECT_EQ(text(CryptoUtils::base64Decode(enc)), plain);
    }
    std::vector<uint8_t> all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
    for (std::size_t n = 0; n <= all.size(); n += 37) {
        std::vector<uint8_t> v(all.begin(), all.begin() + n);
        EXPECT_EQ(CryptoUtils::base64Decode(CryptoUtils::base64Encode(v)), v);
    }
}

TEST(Base64, LenientDecoding) {
    EXPECT_TRUE(CryptoUtils::base64Decode("Z").empty());
    EXPECT_TRUE(CryptoUtils::base64Decode("Zm9").empty());
    EXPECT_EQ(text(CryptoUtils::base64Decode("Zm9vYg")), "foo");    // partial group ignored
    EXPECT_EQ(text(CryptoUtils::base64Decode("Zm9v====Zm9v")), "foo");  // '=' group ends it
    EXPECT_EQ(text(CryptoUtils::base64Decode("Zg==Zm9v")), "ffoo");  // padded group, then on
    // '=' in third place only: high and low bytes.
    const auto v = CryptoUtils::base64Decode("Zm=v");
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], 'f');
    // A line break is not skipped: it counts as a character of value 0.
    EXPECT_EQ(CryptoUtils::base64Decode("Zm9v\nYmFy").size(), 6u);
    EXPECT_NE(text(CryptoUtils::base64Decode("Zm9v\nYmFy")), "foobar");
}

TEST(SealedFrame, LayoutAndVoiceCipher) {
    const CryptoUtils::Key k1{}, k2{1};
    const auto frame = CryptoUtils::aesGcmEncrypt(k1, reinterpret_cast<const uint8_t*>("hello"), 5);
    ASSERT_EQ(frame.size(), 33u);
    EXPECT_EQ(std::string(frame.begin() + 12, frame.begin() + 17), "hello");
    for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(frame[i], 0);
    for (std::size_t i = 17; i < 33; ++i) EXPECT_EQ(frame[i], 0);
    EXPECT_EQ(text(CryptoUtils::aesGcmDecrypt(k2, frame.data(), frame.size())), "hello");

    std::vector<uint8_t> f29(29, 0);
    f29[12] = 0x7f;
    EXPECT_TRUE(CryptoUtils::aesGcmDecrypt(k1, f29.data(), 27).empty());
    EXPECT_TRUE(CryptoUtils::aesGcmDecrypt(k1, f29.data(), 28).empty());
    EXPECT_EQ(CryptoUtils::aesGcmDecrypt(k1, f29.data(), 29), std::vector<uint8_t>{0x7f});

    VoiceCipher vc;
    EXPECT_TRUE(vc.encrypt(1, reinterpret_cast<const uint8_t*>("x"), 1).empty());
    EXPECT_TRUE(vc.decrypt(1, frame.data(), frame.size()).empty());
    vc.init(k2);
    EXPECT_EQ(vc.encrypt(9, reinterpret_cast<const uint8_t*>("hello"), 5), frame);
    EXPECT_EQ(text(vc.decrypt(9, frame.data(), frame.size())), "hello");
}

TEST(Random, BytesAndStrings) {
    uint8_t sentinel = 0xAB;
    CryptoUtils::randomBytes(&sentinel, 0);
    EXPECT_EQ(sentinel, 0xAB);

    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const auto iv = CryptoUtils::randomIV();
        seen.insert(CryptoUtils::toHex(iv.data(), iv.size()));
    }
    EXPECT_EQ(seen.size(), 50u);

    const std::string alphabet = "ABC";
    const std::string s = CryptoUtils::randomString(alphabet, 3000);
    ASSERT_EQ(s.size(), 3000u);
    for (char ch : alphabet) EXPECT_GT(std::count(s.begin(), s.end(), ch), 800) << ch;
    EXPECT_EQ(s.find_first_not_of(alphabet), std::string::npos);

    const std::string hex = CryptoUtils::randomHex(32);
    EXPECT_EQ(hex.size(), 64u);
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
}

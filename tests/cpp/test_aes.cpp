#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "aes.h"
#include "protocol.h"

namespace testing_support {
// The test-side FIPS-197 Cipher of the frame builders.
std::vector<std::uint8_t> aes_encrypt_ecb(const std::vector<std::uint8_t>& plain, const std::vector<std::uint8_t>& key);
}  // namespace testing_support

namespace {

using Bytes = std::vector<std::uint8_t>;
using nervlane_comm::AesCipher;
using testing_support::aes_encrypt_ecb;

Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes counting_key(std::size_t n) {
    Bytes key(n);
    for (std::size_t i = 0; i < n; ++i) key[i] = static_cast<std::uint8_t>(i);
    return key;
}

struct Vector {
    int nk;
    int nr;
    const char* cipher_text;
};

// FIPS-197 appendix C: plaintext 00112233...ff under the keys 000102...
const Vector kAppendixC[] = {
    {4, 10, "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {6, 12, "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {8, 14, "8ea2b7ca516745bfeafc49904b496089"},
};
const char* const kAppendixCPlain = "00112233445566778899aabbccddeeff";

TEST(AesVectors, AppendixCDecryptsForEveryKeySize) {
    for (const auto& v : kAppendixC) {
        SCOPED_TRACE("Nk=" + std::to_string(v.nk));
        const AesCipher cipher(v.nk, v.nr);
        EXPECT_EQ(cipher.decrypt_ecb(hex(v.cipher_text), counting_key(4u * v.nk)), hex(kAppendixCPlain));
    }
}

TEST(AesVectors, TestSideCipherEncryptsAppendixCForEveryKeySize) {
    for (const auto& v : kAppendixC) {
        SCOPED_TRACE("Nk=" + std::to_string(v.nk));
        EXPECT_EQ(aes_encrypt_ecb(hex(kAppendixCPlain), counting_key(4u * v.nk)), hex(v.cipher_text));
    }
}

TEST(AesVectors, AppendixBExampleDecrypts) {
    const AesCipher cipher(4, 10);
    const Bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    EXPECT_EQ(cipher.decrypt_ecb(hex("3925841d02dc09fbdc118597196a0b32"), key),
              hex("3243f6a8885a308d313198a2e0370734"));
    EXPECT_EQ(aes_encrypt_ecb(hex("3243f6a8885a308d313198a2e0370734"), key), hex("3925841d02dc09fbdc118597196a0b32"));
}

TEST(AesVectors, KeyExpansionEndsWithAppendixA1LastRoundKey) {
    const AesCipher cipher(4, 10);
    Bytes round_keys;
    cipher.expand_key(hex("2b7e151628aed2a6abf7158809cf4f3c"), round_keys);
    ASSERT_EQ(round_keys.size(), 176u);
    EXPECT_EQ(Bytes(round_keys.begin(), round_keys.begin() + 16), hex("2b7e151628aed2a6abf7158809cf4f3c"));
    EXPECT_EQ(Bytes(round_keys.end() - 16, round_keys.end()), hex("d014f9a8c9ee2589e13f0cc8b6630ca6"));
}

TEST(AesVectors, RandomBlocksRoundTripThroughBothCiphers) {
    std::mt19937 rng(7);
    for (const auto& v : kAppendixC) {
        Bytes key(4u * v.nk), plain(16 * 9);
        for (auto& b : key) b = static_cast<std::uint8_t>(rng());
        for (auto& b : plain) b = static_cast<std::uint8_t>(rng());
        EXPECT_EQ(AesCipher(v.nk, v.nr).decrypt_ecb(aes_encrypt_ecb(plain, key), key), plain);
    }
}

TEST(AesEcb, EqualCipherBlocksGiveEqualPlaintexts) {
    const AesCipher cipher(4, 10);
    const Bytes block = hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    Bytes data = block;
    data.insert(data.end(), block.begin(), block.end());
    const Bytes plain = cipher.decrypt_ecb(data, counting_key(16));
    ASSERT_EQ(plain.size(), 32u);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 16), hex(kAppendixCPlain));
    EXPECT_EQ(Bytes(plain.begin() + 16, plain.end()), hex(kAppendixCPlain));
}

TEST(AesEcb, EmptyDataGivesEmptyResult) { EXPECT_TRUE(AesCipher(4, 10).decrypt_ecb({}, counting_key(16)).empty()); }

TEST(AesEcb, DecryptsInPlace) {
    const AesCipher cipher(4, 10);
    Bytes round_keys;
    cipher.expand_key(counting_key(16), round_keys);
    Bytes block = hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    cipher.decrypt_block(block.data(), block.data(), round_keys);
    EXPECT_EQ(block, hex(kAppendixCPlain));
}

TEST(AesErrors, KeyOfFifteenBytesIsOutOfRange) {
    const AesCipher cipher(4, 10);
    EXPECT_THROW(cipher.decrypt_ecb(hex("69c4e0d86a7b0430d8cdb78070b4c55a"), counting_key(15)), std::out_of_range);
    EXPECT_THROW(cipher.decrypt_ecb({}, counting_key(15)), std::out_of_range);
    Bytes round_keys{1, 2, 3};
    EXPECT_THROW(cipher.expand_key(counting_key(15), round_keys), std::out_of_range);
    EXPECT_EQ(round_keys, (Bytes{1, 2, 3})) << "a refused key must leave the round keys alone";
}

TEST(AesErrors, KeyOfTwentyBytesUsesItsFirstSixteen) {
    Bytes key = counting_key(20);
    key[16] = 0xAA;
    EXPECT_EQ(AesCipher(4, 10).decrypt_ecb(hex("69c4e0d86a7b0430d8cdb78070b4c55a"), key), hex(kAppendixCPlain));
}

TEST(AesErrors, PartialBlockIsRefused) {
    EXPECT_THROW(AesCipher(4, 10).decrypt_ecb(Bytes(17), counting_key(16)), std::invalid_argument);
}

TEST(AesErrors, RoundKeysTooShortForTheRoundsAreRefused) {
    const AesCipher cipher(8, 14);
    Bytes round_keys;
    AesCipher(4, 10).expand_key(counting_key(16), round_keys);
    std::uint8_t block[16] = {};
    EXPECT_THROW(cipher.decrypt_block(block, block, round_keys), std::invalid_argument);
}

TEST(AesErrors, KeySizeOutsideTheStandardIsRefused) {
    EXPECT_THROW(AesCipher(4, 12), std::invalid_argument);
    EXPECT_THROW(AesCipher(5, 11), std::invalid_argument);
    EXPECT_THROW(AesCipher(0, 0), std::invalid_argument);
}

TEST(DeviceKey, IsTheAsciiTextNervlaneAes128) {
    const std::string text = "Nervlane-aes-128";
    EXPECT_EQ(nervlane_comm::ProtocolBinaryEncrypt::default_key(), Bytes(text.begin(), text.end()));
}

}  // namespace

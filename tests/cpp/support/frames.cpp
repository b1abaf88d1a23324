// Frame builders for the three wire formats, as the device firmware sends them.
//
// The encrypted format needs AES encryption, which the library does not have
// (it only decrypts), so a small FIPS-197 Cipher lives here. It is written
// independently of the library's cipher (S-box computed from the field
// inverse, products bit by bit) so that a fault in one is not mirrored in the
// other.
#include <array>
#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "test_device.h"

namespace testing_support {

namespace {

std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if (b & 1) product = static_cast<std::uint8_t>(product ^ a);
        const bool carry = (a & 0x80) != 0;
        a = static_cast<std::uint8_t>(a << 1);
        if (carry) a = static_cast<std::uint8_t>(a ^ 0x1B);
        b = static_cast<std::uint8_t>(b >> 1);
    }
    return product;
}

const std::array<std::uint8_t, 256>& sbox() {
    static const std::array<std::uint8_t, 256> table = [] {
        std::array<std::uint8_t, 256> t{};
        for (int x = 0; x < 256; ++x) {
            std::uint8_t inverse = 0;
            for (int y = 1; y < 256 && x != 0; ++y) {
                if (gf_mul(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)) == 1) {
                    inverse = static_cast<std::uint8_t>(y);
                    break;
                }
            }
            // Affine transform of FIPS-197 section 5.1.1.
            std::uint8_t s = inverse;
            for (int i = 1; i <= 4; ++i) {
                s = static_cast<std::uint8_t>(s ^ static_cast<std::uint8_t>((inverse << i) | (inverse >> (8 - i))));
            }
            t[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(s ^ 0x63);
        }
        return t;
    }();
    return table;
}

// FIPS-197 Cipher with KeyExpansion, straight from the standard's pseudo-code.
class TestCipher {
public:
    explicit TestCipher(const std::vector<std::uint8_t>& key) {
        const std::size_t nk = key.size() / 4;
        if (key.size() != 16 && key.size() != 24 && key.size() != 32) {
            throw std::invalid_argument("test AES key must be 16, 24 or 32 bytes");
        }
        rounds_ = nk + 6;
        const auto& s = sbox();
        w_.assign(4 * (rounds_ + 1), {});
        for (std::size_t i = 0; i < nk; ++i) {
            w_[i] = {key[4 * i], key[4 * i + 1], key[4 * i + 2], key[4 * i + 3]};
        }
        std::uint8_t rcon = 1;
        for (std::size_t i = nk; i < w_.size(); ++i) {
            std::array<std::uint8_t, 4> temp = w_[i - 1];
            if (i % nk == 0) {
                temp = {static_cast<std::uint8_t>(s[temp[1]] ^ rcon), s[temp[2]], s[temp[3]], s[temp[0]]};
                rcon = gf_mul(rcon, 2);
            } else if (nk > 6 && i % nk == 4) {
                for (auto& b : temp) b = s[b];
            }
            for (std::size_t j = 0; j < 4; ++j) w_[i][j] = static_cast<std::uint8_t>(w_[i - nk][j] ^ temp[j]);
        }
    }

    void encrypt(const std::uint8_t* in, std::uint8_t* out) const {
        const auto& s = sbox();
        std::uint8_t state[4][4];
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) state[r][c] = in[r + 4 * c];
        add_round_key(state, 0);
        for (std::size_t round = 1; round <= rounds_; ++round) {
            for (auto& row : state)
                for (auto& b : row) b = s[b];
            for (int r = 1; r < 4; ++r) {  // ShiftRows: row r left by r
                std::uint8_t row[4];
                for (int c = 0; c < 4; ++c) row[c] = state[r][(c + r) % 4];
                for (int c = 0; c < 4; ++c) state[r][c] = row[c];
            }
            if (round != rounds_) {
                for (int c = 0; c < 4; ++c) {
                    const std::uint8_t a0 = state[0][c], a1 = state[1][c], a2 = state[2][c], a3 = state[3][c];
                    state[0][c] = static_cast<std::uint8_t>(gf_mul(a0, 2) ^ gf_mul(a1, 3) ^ a2 ^ a3);
                    state[1][c] = static_cast<std::uint8_t>(a0 ^ gf_mul(a1, 2) ^ gf_mul(a2, 3) ^ a3);
                    state[2][c] = static_cast<std::uint8_t>(a0 ^ a1 ^ gf_mul(a2, 2) ^ gf_mul(a3, 3));
                    state[3][c] = static_cast<std::uint8_t>(gf_mul(a0, 3) ^ a1 ^ a2 ^ gf_mul(a3, 2));
                }
            }
            add_round_key(state, round);
        }
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) out[r + 4 * c] = state[r][c];
    }

private:
    void add_round_key(std::uint8_t (&state)[4][4], std::size_t round) const {
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) state[r][c] = static_cast<std::uint8_t>(state[r][c] ^ w_[4 * round + c][r]);
    }

    std::size_t rounds_ = 0;
    std::vector<std::array<std::uint8_t, 4>> w_;
};

void put_le16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

// Also used by the tests directly (declared there): ECB encryption with a
// 16-, 24- or 32-byte key; `plain` must be whole blocks.
std::vector<std::uint8_t> aes_encrypt_ecb(const std::vector<std::uint8_t>& plain,
                                          const std::vector<std::uint8_t>& key) {
    if (plain.size() % 16 != 0) throw std::invalid_argument("test AES data must be whole blocks");
    const TestCipher cipher(key);
    std::vector<std::uint8_t> out(plain.size());
    for (std::size_t i = 0; i < plain.size(); i += 16) cipher.encrypt(plain.data() + i, out.data() + i);
    return out;
}

// An encrypted frame whose length word is `length` and whose plaintext is
// `plain`, zero-padded (or cut) to length / 16 + 1 blocks.
std::vector<std::uint8_t> encrypted_frame_bytes(std::uint16_t length, std::vector<std::uint8_t> plain) {
    static const std::string device_key = "Nervlane-aes-128";
    plain.resize(16u * (length / 16u + 1u), 0);
    std::vector<std::uint8_t> frame{0xFF, 0xFF};
    put_le16(frame, length);
    const auto cipher = aes_encrypt_ecb(plain, std::vector<std::uint8_t>(device_key.begin(), device_key.end()));
    frame.insert(frame.end(), cipher.begin(), cipher.end());
    return frame;
}

std::vector<std::uint8_t> binary_frame(const std::vector<std::uint16_t>& readings) {
    std::vector<std::uint8_t> frame{0xFF, 0xFF};
    put_le16(frame, static_cast<std::uint16_t>(readings.size()));
    for (std::uint16_t r : readings) put_le16(frame, r);
    return frame;
}

std::string text_frame(const std::vector<double>& values) {
    // to_chars gives the shortest text that reads back to the same double,
    // and it ignores the locale, as a device would.
    std::string line;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) line.push_back(',');
        char text[64];
        const auto result = std::to_chars(text, text + sizeof text, values[i]);
        if (result.ec != std::errc()) throw std::runtime_error("text_frame: value cannot be written");
        line.append(text, result.ptr);
    }
    line.push_back('\n');
    return line;
}

std::vector<std::uint8_t> encrypted_frame(const std::vector<std::uint16_t>& readings) {
    std::vector<std::uint8_t> plain;
    for (std::uint16_t r : readings) put_le16(plain, r);
    return encrypted_frame_bytes(static_cast<std::uint16_t>(2 * readings.size()), plain);
}

}  // namespace testing_support

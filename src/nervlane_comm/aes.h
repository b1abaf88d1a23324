// AES (FIPS-197) decryption in ECB mode, for every key size of the standard.
#pragma once

#include <cstdint>
#include <vector>

namespace nervlane_comm {

// Thread safety: the object holds only Nk and Nr and its operations are const
// with their working data in locals, so any number of threads may use one.
class AesCipher {
public:
    // nk: 32-bit words in the key (4, 6 or 8); nr: rounds (10, 12 or 14).
    // Throws std::invalid_argument for any other pair: the standard defines
    // only 4/10, 6/12 and 8/14.
    AesCipher(int nk, int nr);

    // Decrypts each 16-byte block of `data` on its own (no chaining) and
    // returns the plaintext, as long as `data`. Throws std::out_of_range when
    // `key` is shorter than 4 * Nk bytes (bytes beyond that are ignored) and
    // std::invalid_argument when `data.size()` is not a multiple of 16.
    std::vector<std::uint8_t> decrypt_ecb(const std::vector<std::uint8_t>& data,
                                          const std::vector<std::uint8_t>& key) const;

    // FIPS-197 KeyExpansion: sets `round_keys` to (Nr + 1) * 16 bytes of round
    // keys (it allocates only when its capacity is smaller). Throws
    // std::out_of_range when `key` is shorter than 4 * Nk bytes.
    void expand_key(const std::vector<std::uint8_t>& key, std::vector<std::uint8_t>& round_keys) const;

    // FIPS-197 InvCipher of one 16-byte block; `in` and `out` may be the same
    // block. Throws std::invalid_argument when `round_keys` holds fewer than
    // (Nr + 1) * 16 bytes.
    void decrypt_block(const std::uint8_t* in, std::uint8_t* out, const std::vector<std::uint8_t>& round_keys) const;

    int Nk;
    int Nr;
};

}  // namespace nervlane_comm

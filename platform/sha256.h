// SHA-256 (FIPS 180-4), fed in pieces of any size, so that the digest of an
// image file is taken while the file is read once, in chunks. Written here
// rather than taken from a library: the Windows program is linked statically
// with mingw and has no OpenSSL, and one code path serves both platforms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256State {
    std::uint32_t hash[8];
    std::uint64_t length;    // bytes fed so far
    std::uint8_t block[64];  // the block being filled
    std::size_t blockFill;   // bytes of it filled
};

using Sha256Digest = std::array<std::uint8_t, 32>;

void Sha256Begin(Sha256State& state);
// Adds size bytes; any split of the same bytes gives the same digest.
void Sha256Update(Sha256State& state, const void* data, std::size_t size);
// The digest of all bytes fed since Sha256Begin; the state is then used up.
Sha256Digest Sha256Finish(Sha256State& state);

// The 64 lower-case hexadecimal digits sha256sum shows.
std::string Sha256Hex(const Sha256Digest& digest);
// Sha256Hex of size bytes at data.
std::string Sha256HexOf(const void* data, std::size_t size);

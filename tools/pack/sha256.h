// SHA-256 (FIPS 180-4), for the digest that names an executable's cache entry: two different
// attached data blobs must never share an entry, so the digest is a cryptographic one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace onefile::pack {

using Sha256Digest = std::array<unsigned char, 32>;

class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t size);
    // The digest of everything given so far; the object is not to be updated afterwards.
    Sha256Digest finish();

private:
    void compress(const unsigned char* block);

    std::uint32_t state_[8];
    unsigned char block_[64];
    std::size_t block_used_ = 0;
    std::uint64_t total_ = 0;
};

// The digest of a whole file. Throws PackError when it cannot be read.
Sha256Digest sha256_of_file(const std::filesystem::path& path);

// Lower-case hexadecimal of the first `bytes` bytes of the digest.
std::string digest_hex(const Sha256Digest& digest, std::size_t bytes = 32);

}  // namespace onefile::pack

// SHA-256 (FIPS 180-4), small and self-contained, for checking the checksums that on-disk headers
// carry. It hashes bytes already in memory, in one call.
#ifndef TVX_BASE_SHA256_H_
#define TVX_BASE_SHA256_H_

#include <array>
#include <cstdint>
#include <string_view>

/// Returns the SHA-256 digest of `bytes`.
std::array<uint8_t, 32> Sha256(std::string_view bytes);

#endif  // TVX_BASE_SHA256_H_

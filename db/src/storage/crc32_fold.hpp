#pragma once

// Carry-less multiplication (PCLMULQDQ) folding for CRC-32/CKSUM (internal; used by
// crc32_cksum in frame.cpp).
//
// The CRC without its final inversion is M(x)·x^32 mod P(x) for the message polynomial M
// (first byte = highest coefficients, no reflection, initial value 0). Replacing a 128-bit block
// A that stands d bits before the end of the next block by A·x^d mod P, added into that block,
// keeps M mod P unchanged, so the CRC of the folded bytes equals the CRC of the original ones.
// crc_fold folds every whole 16-byte block of a message into one 16-byte block; the table-driven
// code then finishes that block and the tail. The values are identical to the table's.

#include <cstddef>
#include <span>

namespace tessaradb::detail {

// Messages shorter than this are left to the table-driven code.
inline constexpr std::size_t kCrcFoldMinBytes = 64;

// Whether this processor has the instructions crc_fold needs (checked once).
bool crc_fold_supported() noexcept;

// Folds the leading whole 16-byte blocks of `bytes` (at least kCrcFoldMinBytes of them) into
// `out` and returns how many bytes it consumed (a multiple of 16, leaving fewer than 16).
// M(consumed bytes) ≡ M(out) · x^0 at the same position: the CRC of out followed by the rest of
// `bytes` equals the CRC of `bytes`. Requires crc_fold_supported().
std::size_t crc_fold(std::span<const std::byte> bytes, std::byte (&out)[16]) noexcept;

}  // namespace tessaradb::detail

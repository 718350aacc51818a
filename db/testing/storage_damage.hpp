#pragma once

// Byte-level damage and inspection of files, for storage tests that write, damage, reopen and
// check: truncate_to(n), flip_byte(offset), overwrite_u32(offset, value).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace tessaradb::testing {

std::vector<std::byte> read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::span<const std::byte> bytes);
void truncate_to(const std::filesystem::path& path, std::uint64_t length);
void flip_byte(const std::filesystem::path& path, std::uint64_t offset);
void overwrite_u32(const std::filesystem::path& path, std::uint64_t offset, std::uint32_t value);
void append_bytes(const std::filesystem::path& path, std::span<const std::byte> bytes);

// Bytes from a list of small integers: bytes({0xFF, 0, 0, 0, 0}).
std::vector<std::byte> bytes(std::initializer_list<int> values);

}  // namespace tessaradb::testing

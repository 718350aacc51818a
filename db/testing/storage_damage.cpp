#include "testing/storage_damage.hpp"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tessaradb::testing {

std::vector<std::byte> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> out(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) out[i] = static_cast<std::byte>(chars[i]);
  return out;
}

void write_file(const std::filesystem::path& path, std::span<const std::byte> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void truncate_to(const std::filesystem::path& path, std::uint64_t length) {
  std::filesystem::resize_file(path, length);
}

void flip_byte(const std::filesystem::path& path, std::uint64_t offset) {
  auto content = read_file(path);
  content.at(offset) ^= std::byte{0xFF};
  write_file(path, content);
}

void overwrite_u32(const std::filesystem::path& path, std::uint64_t offset, std::uint32_t value) {
  auto content = read_file(path);
  for (int i = 0; i < 4; ++i) {
    content.at(offset + static_cast<std::uint64_t>(i)) =
        static_cast<std::byte>((value >> (8 * i)) & 0xFF);
  }
  write_file(path, content);
}

void append_bytes(const std::filesystem::path& path, std::span<const std::byte> extra) {
  auto content = read_file(path);
  content.insert(content.end(), extra.begin(), extra.end());
  write_file(path, content);
}

std::vector<std::byte> bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  out.reserve(values.size());
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

}  // namespace tessaradb::testing

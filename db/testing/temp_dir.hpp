#pragma once

// A fresh directory under the system's temporary folder, removed with everything in it when the
// object goes. Tests open every database and file below one of these.

#include <filesystem>
#include <string>

namespace tessaradb::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace tessaradb::testing

#pragma once
// Helpers for tests that touch the file system.

#include <filesystem>
#include <random>
#include <string>

namespace zunel {

// A fresh directory under the system's temporary folder, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
      path_ = base / ("zunel-test-" + std::to_string(rd()) + std::to_string(rd()));
      if (std::filesystem::create_directory(path_)) break;
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace zunel

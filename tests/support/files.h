// Real files for tests: a temporary folder of the test's own, and whole-file reads and writes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace test_support {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // Empty when the folder could not be made.
  const std::filesystem::path& Path() const noexcept { return FPath; }

 private:
  std::filesystem::path FPath;
};

// Writes a file of n pseudo-random bytes (another seed, other bytes); returns its content.
std::string WriteFile(const std::filesystem::path& path, size_t n, unsigned seed = 0);
// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

}  // namespace test_support

#include "files.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <random>

namespace test_support {

TempFolder::TempFolder() {
  std::string templ = (std::filesystem::temp_directory_path() / "udtbench-test-XXXXXX").string();
  if (char* made = ::mkdtemp(templ.data())) FPath = made;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  if (!FPath.empty()) std::filesystem::remove_all(FPath, ec);
}

std::string WriteFile(const std::filesystem::path& path, size_t n, unsigned seed) {
  std::string data(n, '\0');
  std::mt19937 gen(seed + static_cast<unsigned>(n));
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>(gen() & 0xFF);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return data;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace test_support

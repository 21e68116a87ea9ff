#include "tests/support/TempDirectory.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace nimbra::test {

TempDirectory::TempDirectory() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/nimbra-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDirectory::file(const std::string& relative) const { return path_ + "/" + relative; }

std::string TempDirectory::write(const std::string& relative, const std::string& content) const {
  std::string full = file(relative);
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + full);
  return full;
}

std::string TempDirectory::makeDirectory(const std::string& relative) const {
  std::string full = file(relative);
  std::filesystem::create_directories(full);
  return full;
}

}  // namespace nimbra::test

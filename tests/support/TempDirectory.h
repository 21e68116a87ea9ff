#pragma once

#include <string>

namespace nimbra::test {

// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes out of scope.
class TempDirectory {
 public:
  TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  ~TempDirectory();

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string file(const std::string& relative) const;
  // Writes `content` to `relative`, creating parent directories; returns the full path.
  std::string write(const std::string& relative, const std::string& content) const;
  // Creates `relative` and its parents; returns the full path.
  std::string makeDirectory(const std::string& relative) const;

 private:
  std::string path_;
};

}  // namespace nimbra::test

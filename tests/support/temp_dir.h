// A private temporary folder for one test, removed with everything in it
// when the object goes, a file in a folder of its own, and whole-file reads
// and writes. A TempDir or TempFile belongs to one thread at a time; the file
// functions may be called from any thread.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kmtest {

// Replaces the file at path with data; true when all of it was written.
inline bool WriteFile(const std::string &path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}
inline bool WriteFile(const std::string &path, const std::vector<uint8_t> &data) {
  return WriteFile(path,
                   std::string_view(reinterpret_cast<const char *>(data.data()), data.size()));
}

// The whole file (empty when it cannot be read).
inline std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline std::vector<uint8_t> ReadFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// /tmp/kmtest-<prefix>-XXXXXX, made private (0700) by mkdtemp.
class TempDir {
 public:
  explicit TempDir(const char *prefix = "files") : path(Make(prefix)) {}
  ~TempDir() {
    std::error_code ignored;
    if (path != kNoFolder) std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  std::string file(const std::string &name) const { return path + "/" + name; }
  // Writes a file named name with data; its path.
  std::string write(const std::string &name, std::string_view data) const {
    const std::string p = file(name);
    EXPECT_TRUE(WriteFile(p, data)) << p;
    return p;
  }
  // The names of the entries, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(path, ec))
      out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  const std::string path;

 private:
  // The path when mkdtemp failed: below a file, so nothing can be made
  // there, not even by root.
  static constexpr const char *kNoFolder = "/dev/null/kmtest-no-folder";

  static std::string Make(const char *prefix) {
    std::string templ = std::string("/tmp/kmtest-") + prefix + "-XXXXXX";
    if (mkdtemp(templ.data()) != nullptr) return templ;
    ADD_FAILURE() << "cannot make a temporary folder like " << templ;
    return kNoFolder;
  }
};

// One file holding data, in a folder of its own that goes with the object.
class TempFile {
 public:
  explicit TempFile(std::string_view data, const std::string &name = "file")
      : path_(dir_.write(name, data)) {}
  const std::string &path() const { return path_; }

 private:
  TempDir dir_{"file"};
  std::string path_;
};

}  // namespace kmtest

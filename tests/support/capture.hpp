#pragma once

// Test helpers: standard-output capture and temporary folders.

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace kovra_test {

/// Captures std::cout for its lifetime.
class CoutCapture {
 public:
  CoutCapture() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(previous_); }
  CoutCapture(const CoutCapture&) = delete;
  CoutCapture& operator=(const CoutCapture&) = delete;

  std::string text() const { return buffer_.str(); }
  /// The captured text split at line breaks (a final empty piece is dropped).
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(buffer_.str());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  std::ostringstream buffer_;
  std::streambuf* previous_;
};

/// A fresh folder under the system temporary folder, removed with its content at the end.
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

/// Writes `content` to `path`, creating parent folders.
void write_text(const std::filesystem::path& path, const std::string& content);
/// Reads a whole file.
std::string read_text(const std::filesystem::path& path);

}  // namespace kovra_test

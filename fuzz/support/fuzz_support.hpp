#pragma once

// Shared pieces of the fuzz targets: a private working folder holding a small frame image, and
// file writing. The same target sources are built as libFuzzer programs (clang) and as replay
// programs for the test suite (any compiler), so they use nothing libFuzzer-specific.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

namespace kovra_fuzz {

/// A folder of this process, created on first use and made the working directory. It holds
/// "frame.png", a 32 x 24 RGB frame that inputs may name as their image.
const std::filesystem::path& workspace();

/// The input as text.
std::string as_text(const std::uint8_t* data, std::size_t size);

/// Writes `content` to `path`, replacing it.
void write_file(const std::filesystem::path& path, const std::string& content);

/// The number of entries of `folder` (0 when it does not exist).
std::size_t entry_count(const std::filesystem::path& folder);


/// Swallows standard output while alive: the library's progress messages are not checked.
class QuietCout {
 public:
  QuietCout() : saved_(std::cout.rdbuf(sink_.rdbuf())) {}
  ~QuietCout() { std::cout.rdbuf(saved_); }
  QuietCout(const QuietCout&) = delete;
  QuietCout& operator=(const QuietCout&) = delete;

 private:
  std::ostringstream sink_;
  std::streambuf* saved_;
};

}  // namespace kovra_fuzz

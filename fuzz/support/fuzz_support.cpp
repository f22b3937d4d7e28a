#include "fuzz_support.hpp"

#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace kovra_fuzz {

namespace fs = std::filesystem;

const fs::path& workspace() {
  // Never destroyed: the exit handler below runs after static destructors would have.
  static const fs::path* const folder = [] {
    std::string pattern = (fs::temp_directory_path() / "kovra_fuzz_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    const fs::path created(pattern);
    cv::imwrite((created / "frame.png").string(),
                cv::Mat(24, 32, CV_8UC3, cv::Scalar(40, 120, 200)));
    fs::current_path(created);
    std::atexit([] {
      std::error_code ignored;
      fs::current_path(fs::temp_directory_path(), ignored);
      fs::remove_all(workspace(), ignored);
    });
    return new fs::path(created);
  }();
  return *folder;
}

std::string as_text(const std::uint8_t* data, std::size_t size) {
  return size == 0 ? std::string() : std::string(reinterpret_cast<const char*>(data), size);
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::size_t entry_count(const fs::path& folder) {
  std::error_code error;
  std::size_t count = 0;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

}  // namespace kovra_fuzz

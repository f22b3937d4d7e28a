#include "planted.hpp"

#include <sys/stat.h>

#include <stdexcept>

namespace kovra_test {

namespace fs = std::filesystem;

const std::vector<Planted>& planted_kinds() {
  static const std::vector<Planted> kinds = {
      {"link_to_outside_file",
       [](const fs::path& at, const fs::path& victim) { fs::create_symlink(victim, at); }},
      {"dangling_link",
       [](const fs::path& at, const fs::path& victim) {
         fs::create_symlink(victim.parent_path() / "created_outside", at);
       }},
      {"folder", [](const fs::path& at, const fs::path&) { fs::create_directory(at); }},
      {"fifo",
       [](const fs::path& at, const fs::path&) {
         if (::mkfifo(at.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
       }},
  };
  return kinds;
}

}  // namespace kovra_test

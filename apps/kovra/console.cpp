#include "command.hpp"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace kovra_cli {

namespace fs = std::filesystem;

Console::Console() :
    original_(std::cout.rdbuf()),
    out_(std::make_unique<std::ostream>(original_)),
    terminal_(::isatty(STDERR_FILENO) == 1) {}

Console::~Console() {
  end_progress();
  std::cout.rdbuf(original_);
}

void Console::set_quiet(bool quiet) {
  quiet_ = quiet;
  std::cout.rdbuf(quiet ? &null_ : original_);
}

void Console::progress(const std::string& text) {
  if (!terminal_) return;
  std::cout.flush();
  std::cerr << "\r\033[K" << text << std::flush;
  progress_shown_ = true;
}

void Console::end_progress() {
  if (!progress_shown_) return;
  std::cerr << "\r\033[K" << std::flush;
  progress_shown_ = false;
}

void require_directory(const fs::path& path, const std::string& what) {
  std::error_code error;
  if (!fs::exists(path, error)) throw InputError(what + ": no such folder: " + path.string());
  if (!fs::is_directory(path, error)) throw InputError(what + ": not a folder: " + path.string());
}

void require_file(const fs::path& path, const std::string& what) {
  std::error_code error;
  if (!fs::exists(path, error)) throw InputError(what + ": no such file: " + path.string());
  if (!fs::is_regular_file(path, error)) throw InputError(what + ": not a file: " + path.string());
}

void require_parent_directory(const fs::path& path, const std::string& what) {
  const fs::path parent = path.parent_path();
  std::error_code error;
  if (!parent.empty() && !fs::is_directory(parent, error)) {
    throw InputError(what + ": folder does not exist: " + parent.string());
  }
}

}  // namespace kovra_cli

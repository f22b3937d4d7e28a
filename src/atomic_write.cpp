#include "atomic_write.hpp"

#include <kovra_utils/types.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace kovra_utils {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const fs::path& path, const std::string& what, int error) {
  throw FileError("cannot write " + path.string() + ": " + what + ": " + std::strerror(error));
}

fs::path folder_of(const fs::path& path) {
  return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

void lock_exclusively(int fd, const fs::path& temporary, const fs::path& target) {
  int locked = 0;
  do {
    locked = ::flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) fail(target, "cannot lock " + temporary.string(), errno);
}

// Whether `fd` is still the file named `path` (the name itself, not a link's target).
bool still_named(int fd, const fs::path& path) {
  struct stat open_file {};
  struct stat named {};
  if (::fstat(fd, &open_file) != 0 || ::lstat(path.c_str(), &named) != 0) return false;
  return open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

std::string kind_of(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "a special file";
}

// Something is already at the temporary's name. A regular file of this user that no writer
// holds locked is a leftover and is removed; a writer holding it renames it away, after which
// the caller tries again. Anything else is refused.
void remove_leftover(const fs::path& temporary, const fs::path& target) {
  struct stat found {};
  if (::lstat(temporary.c_str(), &found) != 0) {
    if (errno == ENOENT) return;
    fail(target, "cannot inspect " + temporary.string(), errno);
  }
  if (!S_ISREG(found.st_mode)) {
    throw FileError("cannot write " + target.string() + ": its temporary " + temporary.string() +
                    " is " + kind_of(found.st_mode) + ", not a file this program left; remove it");
  }
  if (found.st_uid != ::geteuid()) {
    throw FileError("cannot write " + target.string() + ": its temporary " + temporary.string() +
                    " belongs to another user; remove it");
  }
  const int fd = ::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return;
    fail(target, "cannot open " + temporary.string(), errno);
  }
  lock_exclusively(fd, temporary, target);
  if (still_named(fd, temporary)) ::unlink(temporary.c_str());
  ::close(fd);
}

// Creates the temporary afresh and locks it. A contender may lock a just-created file before its
// creator and remove it as a leftover: the creator then finds its file gone and starts again.
int create_locked_temporary(const fs::path& temporary, const fs::path& target) {
  constexpr int kAttempts = 1000;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno != EEXIST) fail(target, "cannot create " + temporary.string(), errno);
      remove_leftover(temporary, target);
      continue;
    }
    lock_exclusively(fd, temporary, target);
    if (still_named(fd, temporary)) return fd;
    ::close(fd);
  }
  throw FileError("cannot write " + target.string() + ": its temporary " + temporary.string() +
                  " keeps being taken by other writers");
}

}  // namespace

namespace atomic_write {

fs::path temporary_path_of(const fs::path& target, std::string_view extension) {
  // FNV-1a of the file name: a short name whatever the target's name length.
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : target.filename().string()) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  char name[32];
  std::snprintf(name, sizeof name, ".%016llx.tmp", static_cast<unsigned long long>(hash));
  return folder_of(target) / (std::string(name) + std::string(extension));
}

Temporary::Temporary(const fs::path& target, std::string_view extension)
    : target_(target), temporary_(temporary_path_of(target, extension)) {
  std::error_code ec;
  if (!fs::is_directory(folder_of(target), ec)) {
    throw FileError("cannot write " + target.string() + ": folder " + folder_of(target).string() +
                    " does not exist");
  }
  fd_ = create_locked_temporary(temporary_, target_);
}

Temporary::~Temporary() {
  if (!committed_ && still_named(fd_, temporary_)) ::unlink(temporary_.c_str());
  ::close(fd_);  // also releases the lock
}

void Temporary::write(std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd_, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(target_, "write failed", errno);
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
}

void Temporary::commit() {
  // On disk before the rename, so that a crash never leaves a renamed but empty file.
  if (::fsync(fd_) != 0) fail(target_, "cannot flush to disk", errno);
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) fail(target_, "rename failed", errno);
  committed_ = true;
}

void sync_folder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw FileError("cannot flush the folder " + folder.string() + " to disk: " +
                    std::strerror(error));
  }
  ::close(fd);
}

void require_not_an_input(const fs::path& output, const std::vector<std::string>& inputs,
                          std::string_view what) {
  struct stat out {};
  if (::stat(output.c_str(), &out) != 0) return;  // a new file is no input
  for (const std::string& input : inputs) {
    struct stat in {};
    if (::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
      throw ArgumentError(std::string(what) + ": the output " + output.string() +
                          " is one of the inputs (" + input + "); choose another file");
    }
  }
}

}  // namespace atomic_write

void write_file_atomically(const fs::path& path, std::string_view content) {
  atomic_write::Temporary temporary(path);
  temporary.write(content);
  temporary.commit();
}

}  // namespace kovra_utils

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

namespace atomic_write {

fs::path temporary_path_of(const fs::path& target) {
  // FNV-1a of the file name: 21 characters whatever the target's name length.
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : target.filename().string()) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  char name[32];
  std::snprintf(name, sizeof name, ".%016llx.tmp", static_cast<unsigned long long>(hash));
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  return folder / name;
}

}  // namespace atomic_write

namespace {

// Owns a file descriptor; closing it also releases its lock.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

[[noreturn]] void fail(const fs::path& path, const std::string& what, int error) {
  throw FileError("cannot write " + path.string() + ": " + what + ": " + std::strerror(error));
}

bool same_file(int fd, const fs::path& path) {
  struct stat open_file {};
  struct stat named {};
  if (::fstat(fd, &open_file) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

// The target's temporary, opened and locked. A writer of the same target that got there first
// holds the lock until its rename; the file it renamed is then no longer the temporary, so the
// open is repeated.
int open_locked_temporary(const fs::path& temporary, const fs::path& path) {
  for (;;) {
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) fail(path, "cannot create " + temporary.string(), errno);
    Descriptor owned(fd);
    int locked = 0;
    do {
      locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) fail(path, "cannot lock " + temporary.string(), errno);
    if (same_file(fd, temporary)) return owned.release();
  }
}

void write_all(int fd, std::string_view content, const fs::path& path) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(path, "write failed", errno);
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

void write_file_atomically(const fs::path& path, std::string_view content) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    throw FileError("cannot write " + path.string() + ": folder " + folder.string() +
                    " does not exist");
  }
  const fs::path temporary = atomic_write::temporary_path_of(path);
  Descriptor fd(open_locked_temporary(temporary, path));
  // A stale temporary from an interrupted write is taken over and emptied first.
  if (::ftruncate(fd.get(), 0) != 0) fail(path, "cannot empty " + temporary.string(), errno);
  try {
    write_all(fd.get(), content, path);
    // On disk before the rename, so that a crash never leaves a renamed but empty file.
    if (::fsync(fd.get()) != 0) fail(path, "cannot flush to disk", errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail(path, "rename failed", errno);
  } catch (const FileError&) {
    ::unlink(temporary.c_str());
    throw;
  }
  if (::close(fd.release()) != 0) fail(path, "close failed", errno);
}

}  // namespace kovra_utils

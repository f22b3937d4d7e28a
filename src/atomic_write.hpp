#pragma once

// Whole-file writes through a temporary beside the target (write_file_atomically is declared in
// types.hpp), and the checks writers share.
//
// The temporary of a target has a fixed hidden name in the target's folder. It is always created
// fresh (O_CREAT | O_EXCL | O_NOFOLLOW) and locked by its writer until the rename, so a link or
// file planted at that name is never written through: a regular file of this user that no writer
// holds is a leftover of an interrupted write and is removed first; anything else there (a link,
// a folder, a FIFO, another user's file) makes the write fail with FileError.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kovra_utils::atomic_write {

/// The temporary that a write of `target` goes through: ".<16 hex digits>.tmp" followed by
/// `extension`, in the target's folder, the same for every write of that target.
std::filesystem::path temporary_path_of(const std::filesystem::path& target,
                                        std::string_view extension = "");

/// A target's temporary, created fresh and held locked while alive. Removed on destruction
/// unless committed.
class Temporary {
 public:
  /// FileError naming the target when the folder is missing or the temporary cannot be made.
  explicit Temporary(const std::filesystem::path& target, std::string_view extension = "");
  ~Temporary();
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  const std::filesystem::path& path() const { return temporary_; }
  int descriptor() const { return fd_; }

  /// Appends `content`.
  void write(std::string_view content);
  /// Flushes the content to disk and renames the temporary over the target.
  void commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

/// Flushes a folder's entries (new names, renames, removals) to disk. FileError on failure.
void sync_folder(const std::filesystem::path& folder);

/// ArgumentError when `output` exists and is the same file (device and inode) as one of
/// `inputs`; `what` names the output in the message ("--json", "export").
void require_not_an_input(const std::filesystem::path& output,
                          const std::vector<std::string>& inputs, std::string_view what);

}  // namespace kovra_utils::atomic_write

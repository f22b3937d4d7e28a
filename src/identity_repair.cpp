// Identity repair on a tracker output folder: detections' "object_id" values rewritten across
// many annotation files, switched over all at once through a journal.
//
// The switch: (1) journal "prepared" listing the files, (2) every new file written beside its
// target as "<name>.kovra-new", (3) journal "committed", (4) each new file renamed over its
// target, (5) journal removed. Every step is a whole-file write or a rename, flushed to disk
// with the folder before the next, so a run killed at any point leaves either no journal
// (nothing changed), a prepared journal (roll back: delete the new files) or a committed one
// (complete: rename the new files that remain).
//
// A repair, recovery included, holds an exclusive flock on "kovra-identity-repair.lock" in the
// folder for its whole run; readers of the folder hold a shared one while they read.

#include <kovra_utils/evaluation.hpp>

#include "annotation_file.hpp"
#include "atomic_write.hpp"
#include "tracker_output.hpp"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

namespace kovra_utils {

namespace {

namespace fs = std::filesystem;
namespace af = annotation_file;
using OrderedJson = nlohmann::ordered_json;

constexpr const char* journal_name = "kovra-identity-repair.journal";
constexpr const char* lock_name = "kovra-identity-repair.lock";
constexpr const char* new_suffix = ".kovra-new";

fs::path journal_path(const std::string& save_dir_base) {
  return fs::path(save_dir_base) / journal_name;
}

bool journal_exists(const std::string& save_dir_base) {
  struct stat found {};
  return ::lstat(journal_path(save_dir_base).c_str(), &found) == 0;
}

// ---- the folder lock ------------------------------------------------------------------------

// An flock on the folder's lock file, released on destruction. The file is kept: removing a
// lock file lets two runs lock two different files.
class FolderLock {
 public:
  FolderLock(const std::string& save_dir_base, bool exclusive, bool wait) {
    const fs::path path = fs::path(save_dir_base) / lock_name;
    const int flags = exclusive ? O_RDWR | O_CREAT : O_RDONLY;
    fd_ = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      if (!exclusive && (errno == ENOENT || errno == ENOTDIR)) return;  // nothing to wait for
      throw FileError("cannot lock " + path.string() + ": " + std::strerror(errno));
    }
    const int operation = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    int locked = 0;
    do {
      locked = ::flock(fd_, operation);
    } while (locked != 0 && errno == EINTR);
    if (locked == 0) return;
    const int error = errno;
    ::close(fd_);
    if (error == EWOULDBLOCK) {
      throw FileError("the folder " + save_dir_base +
                      " is busy: another identity repair or a reader holds " + path.string() +
                      " (asked not to wait)");
    }
    throw FileError("cannot lock " + path.string() + ": " + std::strerror(error));
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

std::string new_file(const std::string& path) { return path + new_suffix; }

// ---- journal --------------------------------------------------------------------------------

void write_journal(const std::string& save_dir_base, const std::string& state,
                   const std::vector<std::string>& relative_files) {
  OrderedJson journal = {{"state", state}, {"files", relative_files}};
  write_file_atomically(journal_path(save_dir_base), af::to_indented_ascii_json(journal));
  atomic_write::sync_folder(save_dir_base);
}

struct Journal {
  bool committed = false;
  std::vector<std::string> files;  // relative to the clip folder
};

// A listed file must stay inside the clip folder.
bool is_safe_relative(const fs::path& path) {
  if (path.empty() || path.is_absolute()) return false;
  for (const fs::path& part : path) {
    if (part == "..") return false;
  }
  return true;
}

Journal read_journal(const fs::path& path) {
  const std::string file = path.string();
  const nlohmann::json document = af::read_json(file);
  if (!document.is_object()) throw af::content_error("", file, "expected an object");
  const auto& state =
      af::require_member(document, "state", af::is_string<nlohmann::json>, "string", "", file);
  const auto& files =
      af::require_member(document, "files", af::is_array<nlohmann::json>, "array", "", file);
  Journal journal;
  const std::string& state_text = state.get_ref<const std::string&>();
  if (state_text != "prepared" && state_text != "committed") {
    throw af::content_error("\"state\"", file,
                            "expected \"prepared\" or \"committed\", got \"" + state_text + "\"");
  }
  journal.committed = state_text == "committed";
  for (std::size_t k = 0; k < files.size(); ++k) {
    const std::string where = af::element_location("\"files\"", k);
    if (!files[k].is_string() || !is_safe_relative(files[k].get<std::string>())) {
      throw af::content_error(where, file, "expected a path inside the clip folder");
    }
    journal.files.push_back(files[k].get<std::string>());
  }
  return journal;
}

// Leftovers of whole-file writes cut short: the temporaries behind the journal and the new
// files it lists.
void remove_stray_temporaries(const std::vector<fs::path>& targets) {
  for (const fs::path& target : targets) {
    std::error_code ignored;
    fs::remove(atomic_write::temporary_path_of(target), ignored);
  }
}

std::string type_of(const fs::path& path) {
  struct stat found {};
  if (::lstat(path.c_str(), &found) != 0) return "";
  if (S_ISLNK(found.st_mode)) return "a symbolic link";
  if (S_ISREG(found.st_mode)) return "file";
  if (S_ISDIR(found.st_mode)) return "folder";
  return "a special file";
}

// A listed file as a path under the folder, refused when a folder on the way is a link (it
// could lead outside) or its new file is anything but a regular file.
fs::path listed_target(const std::string& save_dir_base, const std::string& relative,
                       std::size_t index, const std::string& journal_file) {
  const std::string where = af::element_location("\"files\"", index);
  const fs::path relative_path(relative);
  fs::path target(save_dir_base);
  std::size_t left = static_cast<std::size_t>(std::distance(relative_path.begin(), relative_path.end()));
  for (const fs::path& part : relative_path) {
    target /= part;
    if (--left == 0) break;
    const std::string type = type_of(target);
    if (type != "" && type != "folder") {
      throw af::content_error(where, journal_file,
                              target.string() + " is " + type +
                                  ", not a folder of the clip; refusing to follow it");
    }
  }
  const std::string pending_type = type_of(new_file(target.string()));
  if (pending_type != "" && pending_type != "file") {
    throw af::content_error(where, journal_file,
                            new_file(target.string()) + " is " + pending_type + ", not a file");
  }
  return target;
}

void rename_or_throw(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::rename(from, to, error);
  if (error) {
    throw FileError("cannot replace " + to.string() + " with " + from.string() + ": " +
                    error.message());
  }
}

void remove_or_throw(const fs::path& path) {
  std::error_code error;
  fs::remove(path, error);
  if (error) throw FileError("cannot remove " + path.string() + ": " + error.message());
}

// Completes or rolls back the journal's repair; the caller holds the folder lock.
RepairRecovery settle(const std::string& save_dir_base) {
  const fs::path journal_file = journal_path(save_dir_base);
  if (!journal_exists(save_dir_base)) {
    remove_stray_temporaries({journal_file});
    return RepairRecovery::nothing;
  }
  const Journal journal = read_journal(journal_file);
  std::vector<fs::path> targets;
  for (std::size_t k = 0; k < journal.files.size(); ++k) {
    targets.push_back(listed_target(save_dir_base, journal.files[k], k, journal_file.string()));
  }
  std::vector<fs::path> written = {journal_file};
  std::error_code error;
  for (const fs::path& target : targets) {
    const fs::path pending = new_file(target.string());
    written.push_back(pending);
    if (!fs::exists(pending, error)) continue;  // already switched, or never written
    if (journal.committed) {
      rename_or_throw(pending, target);
    } else {
      remove_or_throw(pending);
    }
  }
  atomic_write::sync_folder(save_dir_base);
  remove_or_throw(journal_file);
  remove_stray_temporaries(written);
  atomic_write::sync_folder(save_dir_base);
  return journal.committed ? RepairRecovery::completed : RepairRecovery::rolled_back;
}

// ---- planning -------------------------------------------------------------------------------

// A rewrite of one file: its new text and how many detections changed.
struct PlannedFile {
  std::string path;
  std::string content;
  std::int64_t changed = 0;
};

// The "object_id" values of a file's detections, absent where the member is missing.
std::vector<std::optional<std::int64_t>> object_ids(const OrderedJson& document,
                                                    const std::string& file) {
  const auto& detections =
      af::require_member(document, "detections", af::is_array<OrderedJson>, "array", "", file);
  std::vector<std::optional<std::int64_t>> ids;
  for (std::size_t k = 0; k < detections.size(); ++k) {
    const std::string location = af::element_location("\"detections\"", k);
    if (!detections[k].is_object()) {
      throw af::content_error(location, file,
                              "expected object, got " + af::type_name(detections[k]));
    }
    const auto found = detections[k].find("object_id");
    if (found == detections[k].end()) {
      ids.emplace_back();
      continue;
    }
    if (!found->is_number_integer()) {
      throw af::content_error(af::member_location(location, "object_id"), file,
                              "expected integer, got " + af::type_name(*found));
    }
    ids.emplace_back(found->get<std::int64_t>());
  }
  return ids;
}

// One annotation file in the frame range, read.
struct RangeFile {
  std::string path;
  std::int64_t frame = 0;
  OrderedJson document;
  std::vector<std::optional<std::int64_t>> ids;

  bool holds(std::int64_t id) const {
    return std::find(ids.begin(), ids.end(), std::optional<std::int64_t>(id)) != ids.end();
  }
};

std::vector<RangeFile> files_in_range(const std::string& save_dir_base, std::int64_t from_frame,
                                      std::optional<std::int64_t> to_frame) {
  std::vector<RangeFile> out;
  for (std::string& path : tracker_output::ordered_annotation_files(save_dir_base)) {
    const std::int64_t frame = tracker_output::frame_number_of(path);
    if (frame < from_frame || (to_frame && frame > *to_frame)) continue;
    RangeFile file;
    file.document = af::read_ordered_json(path);
    if (!file.document.is_object()) throw af::content_error("", path, "expected an object");
    file.ids = object_ids(file.document, path);
    file.frame = frame;
    file.path = std::move(path);
    out.push_back(std::move(file));
  }
  return out;
}

// Applies `mapping` (old id -> new id) to the file's detections; absent when nothing changes.
std::optional<PlannedFile> plan_file(RangeFile& file,
                                     const std::map<std::int64_t, std::int64_t>& mapping) {
  PlannedFile planned;
  auto& detections = file.document["detections"];
  for (std::size_t k = 0; k < file.ids.size(); ++k) {
    if (!file.ids[k]) continue;
    const auto found = mapping.find(*file.ids[k]);
    if (found == mapping.end()) continue;
    detections[k]["object_id"] = found->second;
    ++planned.changed;
  }
  if (planned.changed == 0) return std::nullopt;
  planned.path = file.path;
  planned.content = af::to_indented_ascii_json(file.document);
  return planned;
}

void check_arguments(std::int64_t id_a, std::int64_t id_b, std::int64_t from_frame,
                     std::optional<std::int64_t> to_frame, const char* operation) {
  if (id_a == id_b) {
    throw ArgumentError(std::string(operation) + " needs two different identities, got " +
                        std::to_string(id_a) + " twice");
  }
  if (to_frame && *to_frame < from_frame) {
    throw ArgumentError(std::string(operation) + " needs a frame range, got the empty range " +
                        std::to_string(from_frame) + " to " + std::to_string(*to_frame));
  }
}

std::string range_text(const std::string& save_dir_base, std::int64_t from_frame,
                       std::optional<std::int64_t> to_frame) {
  std::string text = "in " + save_dir_base + " from frame " + std::to_string(from_frame);
  if (to_frame) text += " to frame " + std::to_string(*to_frame);
  return text;
}

// Ascending frame numbers as runs: "3, 7-9, 12".
std::string frame_runs(const std::vector<std::int64_t>& frames) {
  std::string text;
  for (std::size_t k = 0; k < frames.size();) {
    std::size_t end = k;
    while (end + 1 < frames.size() && frames[end + 1] == frames[end] + 1) ++end;
    if (!text.empty()) text += ", ";
    text += std::to_string(frames[k]);
    if (end > k) text += "-" + std::to_string(frames[end]);
    k = end + 1;
  }
  return text;
}

// ---- switching ------------------------------------------------------------------------------

std::string relative_to(const std::string& path, const std::string& save_dir_base) {
  return fs::path(path).lexically_relative(save_dir_base).generic_string();
}

void switch_files(const std::string& save_dir_base, const std::vector<PlannedFile>& planned) {
  std::vector<std::string> relative;
  for (const PlannedFile& file : planned) relative.push_back(relative_to(file.path, save_dir_base));
  write_journal(save_dir_base, "prepared", relative);
  std::vector<fs::path> folders;
  for (const PlannedFile& file : planned) {
    write_file_atomically(new_file(file.path), file.content);
    folders.push_back(fs::path(file.path).parent_path());
  }
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  for (const fs::path& folder : folders) atomic_write::sync_folder(folder);
  write_journal(save_dir_base, "committed", relative);
  for (const PlannedFile& file : planned) rename_or_throw(new_file(file.path), file.path);
  for (const fs::path& folder : folders) atomic_write::sync_folder(folder);
  remove_or_throw(journal_path(save_dir_base));
  atomic_write::sync_folder(save_dir_base);
}

IdentityRepair apply(const std::string& save_dir_base, std::vector<RangeFile>& files,
                     const std::map<std::int64_t, std::int64_t>& mapping) {
  std::vector<PlannedFile> planned;
  for (RangeFile& file : files) {
    if (auto rewrite = plan_file(file, mapping)) planned.push_back(std::move(*rewrite));
  }
  IdentityRepair repair;
  if (planned.empty()) return repair;
  switch_files(save_dir_base, planned);
  for (const PlannedFile& file : planned) {
    repair.files.push_back(file.path);
    repair.detections.push_back(file.changed);
  }
  return repair;
}

// The files of the range, read, after settling an earlier repair.
std::vector<RangeFile> prepare(const std::string& save_dir_base, std::int64_t from_frame,
                               std::optional<std::int64_t> to_frame) {
  settle(save_dir_base);
  return files_in_range(save_dir_base, from_frame, to_frame);
}

}  // namespace

std::int64_t IdentityRepair::total_detections() const {
  std::int64_t total = 0;
  for (const std::int64_t count : detections) total += count;
  return total;
}

RepairRecovery finish_identity_repair(const std::string& save_dir_base, bool wait) {
  FolderLock lock(save_dir_base, true, wait);
  return settle(save_dir_base);
}

namespace tracker_output {

ReadLock lock_for_reading(const std::string& save_dir_base) {
  for (;;) {
    auto lock = std::make_shared<FolderLock>(save_dir_base, false, true);
    if (!journal_exists(save_dir_base)) return lock;
    lock.reset();
    try {
      finish_identity_repair(save_dir_base);
    } catch (const FileError& error) {
      throw FileError("the folder " + save_dir_base + " holds an unfinished identity repair (" +
                      journal_path(save_dir_base).string() +
                      ") that cannot be settled: " + error.what());
    }
  }
}

}  // namespace tracker_output

IdentityRepair swap_identities(const std::string& save_dir_base, std::int64_t id_a,
                               std::int64_t id_b, std::int64_t from_frame,
                               std::optional<std::int64_t> to_frame, bool wait) {
  check_arguments(id_a, id_b, from_frame, to_frame, "a swap");
  tracker_output::require_folder(save_dir_base);
  FolderLock lock(save_dir_base, true, wait);
  std::vector<RangeFile> files = prepare(save_dir_base, from_frame, to_frame);
  const bool found = std::any_of(files.begin(), files.end(), [&](const RangeFile& file) {
    return file.holds(id_a) || file.holds(id_b);
  });
  if (!found) {
    throw ArgumentError("neither identity " + std::to_string(id_a) + " nor " +
                        std::to_string(id_b) + " occurs " +
                        range_text(save_dir_base, from_frame, to_frame));
  }
  return apply(save_dir_base, files, {{id_a, id_b}, {id_b, id_a}});
}

IdentityRepair reassign_identity(const std::string& save_dir_base, std::int64_t from_id,
                                 std::int64_t to_id, std::int64_t from_frame,
                                 std::optional<std::int64_t> to_frame, bool wait) {
  check_arguments(from_id, to_id, from_frame, to_frame, "a reassignment");
  tracker_output::require_folder(save_dir_base);
  FolderLock lock(save_dir_base, true, wait);
  std::vector<RangeFile> files =
      prepare(save_dir_base, from_frame, to_frame);
  std::vector<std::int64_t> clashes;
  bool found = false;
  for (const RangeFile& file : files) {
    if (!file.holds(from_id)) continue;
    found = true;
    if (file.holds(to_id)) clashes.push_back(file.frame);
  }
  if (!found) {
    throw ArgumentError("identity " + std::to_string(from_id) + " occurs nowhere " +
                        range_text(save_dir_base, from_frame, to_frame));
  }
  if (!clashes.empty()) {
    throw ArgumentError("identities " + std::to_string(from_id) + " and " + std::to_string(to_id) +
                        " are both present in frame" + (clashes.size() == 1 ? " " : "s ") +
                        frame_runs(clashes) + "; nothing changed");
  }
  return apply(save_dir_base, files, {{from_id, to_id}});
}

}  // namespace kovra_utils

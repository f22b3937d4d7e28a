// Identity repair on a tracker output folder: detections' "object_id" values rewritten across
// many annotation files, switched over all at once through a journal.
//
// The switch: (1) journal "prepared" listing the files, (2) every new file written beside its
// target as "<name>.kovra-new", (3) journal "committed", (4) each new file renamed over its
// target, (5) journal removed. Every step is a whole-file write or a rename, so a run killed at
// any point leaves either no journal (nothing changed), a prepared journal (roll back: delete
// the new files) or a committed one (complete: rename the new files that remain).

#include <kovra_utils/evaluation.hpp>

#include "annotation_file.hpp"
#include "atomic_write.hpp"
#include "tracker_output.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <map>

namespace kovra_utils {

namespace {

namespace fs = std::filesystem;
namespace af = annotation_file;
using OrderedJson = nlohmann::ordered_json;

constexpr const char* journal_name = "kovra-identity-repair.journal";
constexpr const char* new_suffix = ".kovra-new";

fs::path journal_path(const std::string& save_dir_base) {
  return fs::path(save_dir_base) / journal_name;
}

std::string new_file(const std::string& path) { return path + new_suffix; }

// ---- journal --------------------------------------------------------------------------------

void write_journal(const std::string& save_dir_base, const std::string& state,
                   const std::vector<std::string>& relative_files) {
  OrderedJson journal = {{"state", state}, {"files", relative_files}};
  write_file_atomically(journal_path(save_dir_base), af::to_indented_ascii_json(journal));
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
  for (const PlannedFile& file : planned) write_file_atomically(new_file(file.path), file.content);
  write_journal(save_dir_base, "committed", relative);
  for (const PlannedFile& file : planned) rename_or_throw(new_file(file.path), file.path);
  remove_or_throw(journal_path(save_dir_base));
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

// The files of the range, read, after checking the arguments and settling an earlier repair.
std::vector<RangeFile> prepare(const std::string& save_dir_base, std::int64_t id_a,
                               std::int64_t id_b, std::int64_t from_frame,
                               std::optional<std::int64_t> to_frame, const char* operation) {
  check_arguments(id_a, id_b, from_frame, to_frame, operation);
  tracker_output::require_folder(save_dir_base);
  finish_identity_repair(save_dir_base);
  return files_in_range(save_dir_base, from_frame, to_frame);
}

}  // namespace

std::int64_t IdentityRepair::total_detections() const {
  std::int64_t total = 0;
  for (const std::int64_t count : detections) total += count;
  return total;
}

RepairRecovery finish_identity_repair(const std::string& save_dir_base) {
  const fs::path journal_file = journal_path(save_dir_base);
  std::error_code error;
  if (!fs::exists(journal_file, error)) {
    remove_stray_temporaries({journal_file});
    return RepairRecovery::nothing;
  }
  const Journal journal = read_journal(journal_file);
  std::vector<fs::path> written = {journal_file};
  for (const std::string& relative : journal.files) {
    const fs::path target = fs::path(save_dir_base) / relative;
    const fs::path pending = new_file(target.string());
    written.push_back(pending);
    if (!fs::exists(pending, error)) continue;  // already switched, or never written
    if (journal.committed) {
      rename_or_throw(pending, target);
    } else {
      remove_or_throw(pending);
    }
  }
  remove_or_throw(journal_file);
  remove_stray_temporaries(written);
  return journal.committed ? RepairRecovery::completed : RepairRecovery::rolled_back;
}

IdentityRepair swap_identities(const std::string& save_dir_base, std::int64_t id_a,
                               std::int64_t id_b, std::int64_t from_frame,
                               std::optional<std::int64_t> to_frame) {
  std::vector<RangeFile> files = prepare(save_dir_base, id_a, id_b, from_frame, to_frame, "a swap");
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
                                 std::optional<std::int64_t> to_frame) {
  std::vector<RangeFile> files =
      prepare(save_dir_base, from_id, to_id, from_frame, to_frame, "a reassignment");
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

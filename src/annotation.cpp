#include <kovra_utils/annotation.hpp>

#include <kovra_utils/cancellation.hpp>
#include "annotation_file.hpp"
#include "annotation_reader.hpp"
#include "image_header.hpp"
#include "text.hpp"
#include "tracker_output.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <limits>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

namespace kovra_utils {

AnnotationMasks process_json_and_generate_masks(const std::string& json_path, int height,
                                                int width) {
  if (height < 0 || width < 0) {
    throw ArgumentError("mask plane size must not be negative, got " + std::to_string(height) +
                        " x " + std::to_string(width));
  }
  return annotation_reader::Reader().read(json_path, cv::Size(width, height));
}

// ---------------------------------------------------------------------------------------------
// Overlap measures
// ---------------------------------------------------------------------------------------------

namespace {

// (intersection / area) * 100 in this order, 0 for a non-positive area.
double percentage(std::int64_t intersection, std::int64_t area) {
  if (area <= 0) return 0.0;
  return (static_cast<double>(intersection) / static_cast<double>(area)) * 100.0;
}

}  // namespace

double calculate_masks_intersection(const Mask& mask1, const Mask& mask2) {
  return percentage(overlap_count(mask1, mask2), mask1.area());
}

PairIntersection calculate_masks_intersection_new(const Mask& mask1, const Mask& mask2,
                                                  std::int64_t mask_area_1,
                                                  std::int64_t mask_area_2) {
  const std::int64_t intersection = overlap_count(mask1, mask2);
  return {percentage(intersection, mask_area_1), percentage(intersection, mask_area_2)};
}

MaskAreas count_mask_areas(const MasksDict& masks_dict) {
  MaskAreas areas;
  for (const auto& [key, mask] : masks_dict) areas[key] = mask.area();
  return areas;
}

namespace {

std::int64_t area_of(const MaskAreas& areas, const std::string& key) {
  const auto found = areas.find(key);
  if (found == areas.end()) {
    throw std::out_of_range("mask area map has no entry for '" + key + "'");
  }
  return found->second;
}

}  // namespace

IntersectionTable intersection_between_masks(const MasksDict& masks_dict,
                                             const std::optional<MaskAreas>& processed_mask_areas) {
  std::vector<std::string> keys;
  std::vector<const Mask*> masks;
  keys.reserve(masks_dict.size());
  for (const auto& [key, mask] : masks_dict) {
    keys.push_back(key);
    masks.push_back(&mask);
  }
  // Without a usable area map the true pixel counts stand in for it.
  const MaskAreas areas = (processed_mask_areas && !processed_mask_areas->empty())
                              ? *processed_mask_areas
                              : count_mask_areas(masks_dict);
  std::vector<std::int64_t> key_areas;
  key_areas.reserve(keys.size());
  for (const auto& key : keys) key_areas.push_back(area_of(areas, key));

  IntersectionTable table(keys);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (key_areas[i] <= 1) continue;  // the later mask of every pair (i, j < i) is too small
    for (std::size_t j = 0; j < i; ++j) {
      const PairIntersection pair =
          calculate_masks_intersection_new(*masks[i], *masks[j], key_areas[i], key_areas[j]);
      table.set(i, j, pair.result_1);
      table.set(j, i, pair.result_2);
    }
  }
  return table;
}

}  // namespace kovra_utils

// ---------------------------------------------------------------------------------------------
// Tracker output loading
// ---------------------------------------------------------------------------------------------

namespace kovra_utils {

namespace {

namespace af = annotation_file;
namespace fs = std::filesystem;

struct AnnotationFile {
  std::string path;
  std::string name;
  std::string trailing_number;  // decimal digits, compared as a number
};

// Folder paths joined the way the caller's text is kept: one separator, none doubled.
std::string join_path(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// The digits of a name ending "_<digits>.json"; absent for any other name.
std::optional<std::string> trailing_number(const std::string& name) {
  static const std::string extension = ".json";
  if (name.size() <= extension.size() ||
      name.compare(name.size() - extension.size(), extension.size(), extension) != 0) {
    return std::nullopt;
  }
  const std::string_view stem(name.data(), name.size() - extension.size());
  std::size_t digits = 0;
  while (digits < stem.size() &&
         std::isdigit(static_cast<unsigned char>(stem[stem.size() - 1 - digits]))) {
    ++digits;
  }
  if (digits == 0 || digits == stem.size() || stem[stem.size() - 1 - digits] != '_') {
    return std::nullopt;
  }
  return std::string(stem.substr(stem.size() - digits));
}

// Numeric order of two digit strings of any length.
bool number_less(const std::string& a, const std::string& b) {
  const auto significant = [](const std::string& digits) {
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? std::string_view() : std::string_view(digits).substr(first);
  };
  const std::string_view x = significant(a);
  const std::string_view y = significant(b);
  if (x.size() != y.size()) return x.size() < y.size();
  return x < y;
}

// Appends the qualifying files of `folder`, then those of its subfolders, depth-first in name
// order. Only regular files (or links to them) qualify. Folders that cannot be listed are
// skipped; links to folders are not followed.
void collect_annotation_files(const std::string& folder, std::vector<AnnotationFile>& files) {
  std::error_code error;
  fs::directory_iterator listing(folder, error);
  if (error) return;
  std::vector<AnnotationFile> own_files;
  std::vector<std::string> subfolders;
  for (const fs::directory_entry& entry : listing) {
    const std::string name = entry.path().filename().string();
    std::error_code kind_error;
    if (entry.is_directory(kind_error)) {
      if (!entry.is_symlink(kind_error)) subfolders.push_back(name);
      continue;
    }
    // A FIFO or device with a qualifying name would block or never end when read.
    if (!entry.is_regular_file(kind_error)) continue;
    if (auto number = trailing_number(name)) {
      own_files.push_back({join_path(folder, name), name, std::move(*number)});
    }
  }
  std::sort(own_files.begin(), own_files.end(),
            [](const AnnotationFile& a, const AnnotationFile& b) {
              if (number_less(a.trailing_number, b.trailing_number)) return true;
              if (number_less(b.trailing_number, a.trailing_number)) return false;
              return a.name < b.name;
            });
  files.insert(files.end(), std::make_move_iterator(own_files.begin()),
               std::make_move_iterator(own_files.end()));
  std::sort(subfolders.begin(), subfolders.end());
  for (const std::string& subfolder : subfolders) {
    collect_annotation_files(join_path(folder, subfolder), files);
  }
}

// The frame number after the last "output_pp_" of the path, up to the next ".".
std::int64_t frame_index_of(const std::string& json_path) {
  static const std::string marker = "output_pp_";
  const std::size_t at = json_path.rfind(marker);
  const std::size_t start = at == std::string::npos ? 0 : at + marker.size();
  const std::size_t end = json_path.find('.', start);
  const std::string number =
      json_path.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::int64_t value = 0;
  const char* first = number.data();
  const char* last = number.data() + number.size();
  if (first != last && *first == '+') ++first;
  const auto [stop, status] = std::from_chars(first, last, value);
  if (at == std::string::npos || first == last || status != std::errc() || stop != last) {
    throw ContentError(json_path + ": cannot read a frame number after \"output_pp_\" (found '" +
                       number + "')");
  }
  return value;
}

cv::Size first_frame_size(const std::string& first_json_path) {
  const nlohmann::json document = af::read_json(first_json_path);
  if (!document.is_object()) {
    throw af::content_error("", first_json_path,
                            "expected an object, got " + std::string(document.type_name()));
  }
  const std::string image_path =
      af::require_member(document, "image_path", af::is_string<nlohmann::json>, "string", "",
                         first_json_path)
          .get<std::string>();
  // The size from the image header: decoding a whole frame only to learn its size is slow,
  // and a crafted header can make it take gigabytes.
  const std::optional<cv::Size> size = image_header::read_size(image_path, image_header::Orientation::applied);
  if (!size) {
    throw FileError("cannot read the frame image " + image_path + " named by \"image_path\" in " +
                    first_json_path);
  }
  return *size;
}

FrameRecord build_frame_record(annotation_reader::Reader& reader, const AnnotationFile& file,
                               cv::Size frame_size) {
  AnnotationMasks annotation = reader.read(file.path, frame_size);
  FrameRecord record;
  for (std::size_t k = 0; k < annotation.masks.size(); ++k) {
    record.masks_dict["Box" + std::to_string(annotation.boxkeys[k])] =
        std::move(annotation.masks[k]);
  }
  record.frame_index = frame_index_of(file.path);
  record.mask_areas = count_mask_areas(record.masks_dict);
  record.json_path = file.path;
  record.image_path = std::move(annotation.image_path);
  return record;
}

// Reads files[begin, end) in order with one reader, each record with its intersection table
// when `with_tables`. Stops at the first failure, or before any position past `*stop_after`.
struct RecordReading {
  const std::vector<AnnotationFile>& files;
  cv::Size frame_size;
  bool with_tables;
  std::vector<FrameRecord>& records;

  void run(std::size_t begin, std::size_t end,
           const std::function<bool(std::size_t)>& keep_going) const {
    annotation_reader::Reader reader(true);
    for (std::size_t position = begin; position < end && keep_going(position); ++position) {
      FrameRecord record = build_frame_record(reader, files[position], frame_size);
      if (with_tables) {
        record.intersections_df = intersection_between_masks(record.masks_dict, record.mask_areas);
      }
      records[position] = std::move(record);
    }
  }
};

// The records of every file, read on up to `threads` threads (OpenCV's pool), one reader per
// thread. A failure fails the whole call with the error of the earliest failing file: the one a
// reading in file order meets first. The cancellation check is the calling thread's, so it is
// made whenever that thread, which takes part in the reading, starts a file; it stops every
// thread.
std::vector<FrameRecord> read_records(const std::vector<AnnotationFile>& files,
                                      cv::Size frame_size, bool with_tables, int threads) {
  std::vector<FrameRecord> records(files.size());
  const RecordReading reading{files, frame_size, with_tables, records};
  if (threads <= 1 || files.size() < 2) {
    reading.run(0, files.size(), [](std::size_t) {
      check_cancellation();
      return true;
    });
    return records;
  }
  std::vector<std::exception_ptr> failures(files.size());
  std::atomic<std::size_t> first_failure{files.size()};
  const std::thread::id caller = std::this_thread::get_id();
  std::exception_ptr cancellation;  // written by the calling thread only
  std::atomic<bool> cancelled{false};
  const auto keep_going = [&](std::size_t position) {
    if (std::this_thread::get_id() == caller && !cancelled.load()) {
      try {
        check_cancellation();
      } catch (...) {
        cancellation = std::current_exception();
        cancelled.store(true);
      }
    }
    return !cancelled.load() && position < first_failure.load();
  };
  const auto stripe = [&](const cv::Range& range) {
    const auto begin = static_cast<std::size_t>(range.start);
    const auto end = static_cast<std::size_t>(range.end);
    std::size_t position = begin;
    try {
      reading.run(begin, end, [&](std::size_t next) {
        position = next;
        return keep_going(next);
      });
    } catch (...) {
      failures[position] = std::current_exception();
      std::size_t earliest = first_failure.load();
      while (position < earliest && !first_failure.compare_exchange_weak(earliest, position)) {
      }
    }
  };
  cv::parallel_for_(cv::Range(0, static_cast<int>(files.size())), stripe, threads);
  if (cancellation) std::rethrow_exception(cancellation);
  if (first_failure.load() < files.size()) std::rethrow_exception(failures[first_failure.load()]);
  return records;
}

void require_threads(int threads) {
  if (threads < 1) {
    throw ArgumentError("threads must be at least 1, got " + std::to_string(threads));
  }
}

// The annotation files under `save_dir_base`, or none after the loader's message.
std::vector<AnnotationFile> clip_files(const std::string& save_dir_base) {
  std::vector<AnnotationFile> files;
  collect_annotation_files(save_dir_base, files);
  if (files.empty()) {
    std::cout << "No JSON files found in " << save_dir_base
              << ". Please check the directory and try again." << std::endl;
  }
  return files;
}

ClipData whole_clip(const std::vector<AnnotationFile>& files, bool with_tables, int threads) {
  const cv::Size frame_size = first_frame_size(files.front().path);
  std::vector<FrameRecord> records = read_records(files, frame_size, with_tables, threads);
  ClipData clip;
  clip.reserve(records.size());
  for (std::size_t position = 0; position < records.size(); ++position) {
    clip[static_cast<std::int64_t>(position)] = std::move(records[position]);
  }
  return clip;
}

}  // namespace

namespace tracker_output {

std::vector<std::string> ordered_annotation_files(const std::string& save_dir_base) {
  std::vector<AnnotationFile> files;
  collect_annotation_files(save_dir_base, files);
  std::vector<std::string> paths;
  paths.reserve(files.size());
  for (AnnotationFile& file : files) paths.push_back(std::move(file.path));
  return paths;
}

cv::Size clip_frame_size(const std::string& first_json_path) {
  return first_frame_size(first_json_path);
}

FrameRecord read_frame_record(const std::string& json_path, cv::Size frame_size) {
  annotation_reader::Reader reader;
  return build_frame_record(reader, AnnotationFile{json_path, {}, {}}, frame_size);
}

std::int64_t frame_number_of(const std::string& json_path) { return frame_index_of(json_path); }

void require_folder(const std::string& save_dir_base) {
  std::error_code error;
  if (fs::is_directory(save_dir_base, error)) return;
  const bool exists = fs::exists(save_dir_base, error);
  throw FileError("tracker output folder " + save_dir_base +
                  (exists ? " is not a folder" : " does not exist"));
}

std::optional<ClipData> load_clip(const std::string& save_dir_base, bool with_tables,
                                  int threads) {
  require_threads(threads);
  const ReadLock read_lock = lock_for_reading(save_dir_base);
  const std::vector<AnnotationFile> files = clip_files(save_dir_base);
  if (files.empty()) return std::nullopt;
  return whole_clip(files, with_tables, threads);
}

}  // namespace tracker_output

namespace {

std::optional<SharedFrameNumber> shared_frame_number(const std::vector<AnnotationFile>& files) {
  // Significant digits -> the first file carrying them.
  std::unordered_map<std::string, const AnnotationFile*> seen;
  for (const AnnotationFile& file : files) {
    const std::size_t first = file.trailing_number.find_first_not_of('0');
    const std::string number = first == std::string::npos ? "0" : file.trailing_number.substr(first);
    const auto [entry, inserted] = seen.emplace(number, &file);
    if (!inserted) return SharedFrameNumber{number, entry->second->path, file.path};
  }
  return std::nullopt;
}

void warn_shared_frame_number(const std::vector<AnnotationFile>& files) {
  if (const auto shared = shared_frame_number(files)) {
    std::cout << "Warning: frame number " << shared->frame_number << " occurs in both "
              << shared->first << " and " << shared->second << std::endl;
  }
}

}  // namespace

LoadedClip get_kovra_annotation_data(const std::string& /*video_dir*/, bool /*last_or_not*/,
                                     std::int64_t ixx, const std::string& save_dir_base,
                                     int threads) {
  require_threads(threads);
  const tracker_output::ReadLock read_lock = tracker_output::lock_for_reading(save_dir_base);
  const std::vector<AnnotationFile> files = clip_files(save_dir_base);
  if (files.empty()) return {};
  warn_shared_frame_number(files);
  LoadedClip loaded;
  if (ixx <= 0) {
    loaded.kovra_annotation_data = whole_clip(files, true, threads);
    loaded.last_frame = loaded.kovra_annotation_data->back().second;
    return loaded;
  }
  const cv::Size frame_size = first_frame_size(files.front().path);
  ClipData& clip = loaded.kovra_annotation_data.emplace();
  if (static_cast<std::uint64_t>(ixx) < files.size()) {
    annotation_reader::Reader reader;
    clip[ixx] = build_frame_record(reader, files[static_cast<std::size_t>(ixx)], frame_size);
    loaded.last_frame = clip[ixx];
  }
  return loaded;
}

std::optional<SharedFrameNumber> find_shared_frame_number(const std::string& save_dir_base) {
  std::vector<AnnotationFile> files;
  collect_annotation_files(save_dir_base, files);
  return shared_frame_number(files);
}

ClipData load_clip(const std::string& save_dir_base) {
  tracker_output::require_folder(save_dir_base);
  const tracker_output::ReadLock read_lock = tracker_output::lock_for_reading(save_dir_base);
  std::vector<AnnotationFile> files;
  collect_annotation_files(save_dir_base, files);
  if (files.empty()) throw FileError("no annotation files (*_<n>.json) under " + save_dir_base);
  if (const auto shared = shared_frame_number(files)) {
    throw ContentError("frame number " + shared->frame_number + " occurs in both " + shared->first +
                       " and " + shared->second + " (does " + save_dir_base +
                       " hold more than one clip?)");
  }
  return whole_clip(files, true, 1);
}

}  // namespace kovra_utils

#include <kovra_utils/annotation.hpp>

#include <kovra_utils/cancellation.hpp>
#include "annotation_file.hpp"
#include "image_header.hpp"
#include "text.hpp"
#include "tracker_output.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// Polygon rasterisation
// ---------------------------------------------------------------------------------------------

namespace {

namespace af = annotation_file;
using Polygon = std::vector<cv::Point>;

// Fills the polygons of one detection into a crop covering just their extent on the plane.
Mask rasterise_polygons(const std::vector<Polygon>& polygons, cv::Size size) {
  cv::Point low(std::numeric_limits<int>::max(), std::numeric_limits<int>::max());
  cv::Point high(std::numeric_limits<int>::min(), std::numeric_limits<int>::min());
  std::vector<const Polygon*> filled;
  for (const Polygon& polygon : polygons) {
    if (polygon.empty()) continue;
    filled.push_back(&polygon);
    for (const cv::Point& vertex : polygon) {
      low = cv::Point(std::min(low.x, vertex.x), std::min(low.y, vertex.y));
      high = cv::Point(std::max(high.x, vertex.x), std::max(high.y, vertex.y));
    }
  }
  if (filled.empty()) return Mask(size);
  // Extent in 64 bits: a vertex may sit at the edge of the 32-bit range.
  const std::int64_t x0 = std::max<std::int64_t>(low.x, 0);
  const std::int64_t y0 = std::max<std::int64_t>(low.y, 0);
  const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{high.x} + 1, size.width);
  const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{high.y} + 1, size.height);
  if (x0 >= x1 || y0 >= y1) return Mask(size);
  const cv::Rect extent(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                        static_cast<int>(y1 - y0));
  cv::Mat crop = cv::Mat::zeros(extent.size(), CV_8U);
  for (const Polygon* polygon : filled) {
    const cv::Point* points = polygon->data();
    const int count = static_cast<int>(polygon->size());
    cv::fillPoly(crop, &points, &count, 1, cv::Scalar(1), cv::LINE_8, 0, -extent.tl());
  }
  return Mask::from_crop(size, extent.tl(), crop);
}

// One scaled coordinate: truncated toward zero, as an int conversion of the product does.
int scale_coordinate(double value, int scale, std::size_t token, const std::string& location,
                     const std::string& file) {
  if (!std::isfinite(value)) {
    throw af::content_error(location, file,
                            "coordinate " + std::to_string(token) + " (" +
                                text::format_float(value) + ") is not a finite number");
  }
  const double scaled = std::trunc(value * scale);
  if (!(scaled >= std::numeric_limits<int>::min() && scaled <= std::numeric_limits<int>::max())) {
    throw af::content_error(location, file,
                            "coordinate " + std::to_string(token) + " (" +
                                text::format_float(value) +
                                ") scales outside the 32-bit vertex range");
  }
  return static_cast<int>(scaled);
}

// Reads an annotation file as a stream of events, keeping only what the masks need, and
// rasterises each detection when its object closes.
class AnnotationReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  AnnotationReader(std::string file, cv::Size size) : file_(std::move(file)), size_(size) {}

  AnnotationMasks finish() {
    if (!image_path_) throw af::content_error("\"image_path\"", file_, "missing member");
    if (!saw_detections_) throw af::content_error("\"detections\"", file_, "missing member");
    return {std::move(*image_path_), std::move(masks_), std::move(boxkeys_)};
  }

  bool null() override { return scalar("null"); }
  bool boolean(bool) override { return scalar("boolean"); }
  bool number_integer(number_integer_t value) override {
    if (in_object_id()) {
      if (value == std::numeric_limits<std::int64_t>::min()) object_id_out_of_range();
      object_id_ = value;
      return end_value();
    }
    return scalar("number");
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (in_object_id()) {
      if (value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
        object_id_out_of_range();
      }
      object_id_ = static_cast<std::int64_t>(value);
      return end_value();
    }
    return scalar("number");
  }
  bool number_float(number_float_t, const string_t&) override { return scalar("number"); }
  bool binary(binary_t&) override { return scalar("binary"); }

  bool string(string_t& value) override {
    if (skip_depth_ > 0) return true;
    switch (where_) {
      case Where::image_path:
        image_path_ = std::move(value);
        return end_value();
      case Where::polygons:
        add_polygon(value);
        return true;
      default:
        return scalar("string");
    }
  }

  bool start_object(std::size_t) override {
    if (skip_depth_ > 0 || skipping_value()) return skip_into();
    switch (where_) {
      case Where::document:
        where_ = Where::root;
        return true;
      case Where::detections:
        begin_detection();
        return true;
      default:
        return unexpected("object");
    }
  }

  bool key(string_t& name) override {
    if (skip_depth_ > 0) return true;
    if (where_ == Where::root) {
      where_ = name == "image_path"   ? Where::image_path
               : name == "detections" ? Where::detections_value
                                      : Where::root_other;
    } else if (where_ == Where::detection) {
      where_ = name == "object_id"           ? Where::object_id
               : name == "formatted_polygon" ? Where::polygons_value
                                             : Where::detection_other;
    }
    return true;
  }

  bool end_object() override {
    if (skip_depth_ > 0) return skip_out();
    if (where_ == Where::detection) {
      end_detection();
      where_ = Where::detections;
    } else {
      where_ = Where::done;
    }
    return true;
  }

  bool start_array(std::size_t) override {
    if (skip_depth_ > 0 || skipping_value()) return skip_into();
    switch (where_) {
      case Where::detections_value:
        saw_detections_ = true;
        masks_.clear();
        boxkeys_.clear();
        detection_count_ = 0;
        where_ = Where::detections;
        return true;
      case Where::polygons_value:
        polygons_.clear();
        polygon_count_ = 0;
        has_polygons_ = true;
        where_ = Where::polygons;
        return true;
      default:
        return unexpected("array");
    }
  }

  bool end_array() override {
    if (skip_depth_ > 0) return skip_out();
    where_ = where_ == Where::polygons ? Where::detection : Where::root;
    return true;
  }

  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& error) override {
    throw ContentError(file_ + ": not valid JSON (" + error.what() + ")");
  }

 private:
  // Where the next value sits.
  enum class Where {
    document,          // before the root value
    root,              // between members of the root object
    image_path,        // value of "image_path"
    detections_value,  // value of "detections"
    root_other,        // value of another root member
    detections,        // between elements of "detections"
    detection,         // between members of a detection
    object_id,         // value of "object_id"
    polygons_value,    // value of "formatted_polygon"
    detection_other,   // value of another detection member
    polygons,          // between elements of "formatted_polygon"
    done,
  };

  bool in_object_id() const { return skip_depth_ == 0 && where_ == Where::object_id; }
  bool skipping_value() const {
    return where_ == Where::root_other || where_ == Where::detection_other;
  }

  bool skip_into() {
    ++skip_depth_;
    return true;
  }
  bool skip_out() {
    if (--skip_depth_ == 0) end_value();
    return true;
  }

  // After a member's value: back to the members of its object.
  bool end_value() {
    if (where_ == Where::image_path || where_ == Where::root_other ||
        where_ == Where::detections_value) {
      where_ = Where::root;
    } else if (where_ == Where::object_id || where_ == Where::detection_other ||
               where_ == Where::polygons_value) {
      where_ = Where::detection;
    }
    return true;
  }

  bool scalar(const char* kind) {
    if (skip_depth_ > 0) return true;
    if (skipping_value()) return end_value();
    return unexpected(kind);
  }

  [[noreturn]] bool unexpected(const std::string& kind) {
    switch (where_) {
      case Where::document:
        throw af::content_error("", file_, "expected an object, got " + kind);
      case Where::image_path:
        throw af::content_error("\"image_path\"", file_, "expected string, got " + kind);
      case Where::detections_value:
        throw af::content_error("\"detections\"", file_, "expected array, got " + kind);
      case Where::detections:
        throw af::content_error(detection_location(), file_, "expected object, got " + kind);
      case Where::object_id:
        throw af::content_error(af::member_location(detection_location(), "object_id"), file_,
                                "expected integer, got " + kind);
      case Where::polygons_value:
        throw af::content_error(polygons_location(), file_, "expected array, got " + kind);
      case Where::polygons:
        throw af::content_error(af::element_location(polygons_location(), polygon_count_), file_,
                                "expected string, got " + kind);
      default:
        throw af::content_error("", file_, "unexpected " + kind);
    }
  }

  [[noreturn]] void object_id_out_of_range() {
    throw af::content_error(af::member_location(detection_location(), "object_id"), file_,
                            "value outside the 64-bit integer range");
  }

  std::string detection_location() const {
    return af::element_location("\"detections\"", detection_count_);
  }
  std::string polygons_location() const {
    return af::member_location(detection_location(), "formatted_polygon");
  }

  void begin_detection() {
    where_ = Where::detection;
    object_id_ = 0;
    has_polygons_ = false;
    polygons_.clear();
  }

  void add_polygon(const std::string& text) {
    const std::string location = af::element_location(polygons_location(), polygon_count_);
    af::parse_polygon(text, coordinates_, location, file_);
    Polygon vertices;
    vertices.reserve(coordinates_.size() / 2);
    for (std::size_t i = 0; i < coordinates_.size(); i += 2) {
      vertices.emplace_back(
          scale_coordinate(coordinates_[i], size_.width, i, location, file_),
          scale_coordinate(coordinates_[i + 1], size_.height, i + 1, location, file_));
    }
    polygons_.push_back(std::move(vertices));
    ++polygon_count_;
  }

  void end_detection() {
    if (!has_polygons_) throw af::content_error(polygons_location(), file_, "missing member");
    masks_.push_back(rasterise_polygons(polygons_, size_));
    boxkeys_.push_back(object_id_ - 1);
    ++detection_count_;
  }

  std::string file_;
  cv::Size size_;
  Where where_ = Where::document;
  int skip_depth_ = 0;

  std::optional<std::string> image_path_;
  bool saw_detections_ = false;
  std::vector<Mask> masks_;
  std::vector<std::int64_t> boxkeys_;

  std::size_t detection_count_ = 0;
  std::int64_t object_id_ = 0;
  bool has_polygons_ = false;
  std::size_t polygon_count_ = 0;
  std::vector<Polygon> polygons_;
  std::vector<double> coordinates_;
};

}  // namespace

AnnotationMasks process_json_and_generate_masks(const std::string& json_path, int height,
                                                int width) {
  if (height < 0 || width < 0) {
    throw ArgumentError("mask plane size must not be negative, got " + std::to_string(height) +
                        " x " + std::to_string(width));
  }
  const std::string text = af::read_text_file(json_path);
  AnnotationReader reader(json_path, cv::Size(width, height));
  nlohmann::json::sax_parse(text, &reader);
  return reader.finish();
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

FrameRecord build_frame_record(const AnnotationFile& file, cv::Size frame_size) {
  AnnotationMasks annotation =
      process_json_and_generate_masks(file.path, frame_size.height, frame_size.width);
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
  return build_frame_record(AnnotationFile{json_path, {}, {}}, frame_size);
}

std::int64_t frame_number_of(const std::string& json_path) { return frame_index_of(json_path); }

void require_folder(const std::string& save_dir_base) {
  std::error_code error;
  if (fs::is_directory(save_dir_base, error)) return;
  const bool exists = fs::exists(save_dir_base, error);
  throw FileError("tracker output folder " + save_dir_base +
                  (exists ? " is not a folder" : " does not exist"));
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

// Every file's record with its intersection table, under keys 0 .. N-1; `files` is not empty.
ClipData whole_clip(const std::vector<AnnotationFile>& files) {
  const cv::Size frame_size = first_frame_size(files.front().path);
  ClipData clip;
  clip.reserve(files.size());
  for (std::size_t position = 0; position < files.size(); ++position) {
    check_cancellation();
    FrameRecord record = build_frame_record(files[position], frame_size);
    record.intersections_df = intersection_between_masks(record.masks_dict, record.mask_areas);
    clip[static_cast<std::int64_t>(position)] = std::move(record);
  }
  return clip;
}

void warn_shared_frame_number(const std::vector<AnnotationFile>& files) {
  if (const auto shared = shared_frame_number(files)) {
    std::cout << "Warning: frame number " << shared->frame_number << " occurs in both "
              << shared->first << " and " << shared->second << std::endl;
  }
}

}  // namespace

LoadedClip get_kovra_annotation_data(const std::string& /*video_dir*/, bool /*last_or_not*/,
                                     std::int64_t ixx, const std::string& save_dir_base) {
  const tracker_output::ReadLock read_lock = tracker_output::lock_for_reading(save_dir_base);
  std::vector<AnnotationFile> files;
  collect_annotation_files(save_dir_base, files);
  if (files.empty()) {
    std::cout << "No JSON files found in " << save_dir_base
              << ". Please check the directory and try again." << std::endl;
    return {};
  }
  warn_shared_frame_number(files);
  LoadedClip loaded;
  if (ixx <= 0) {
    loaded.kovra_annotation_data = whole_clip(files);
    loaded.last_frame = loaded.kovra_annotation_data->back().second;
    return loaded;
  }
  const cv::Size frame_size = first_frame_size(files.front().path);
  ClipData& clip = loaded.kovra_annotation_data.emplace();
  if (static_cast<std::uint64_t>(ixx) < files.size()) {
    clip[ixx] = build_frame_record(files[static_cast<std::size_t>(ixx)], frame_size);
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
  return whole_clip(files);
}

}  // namespace kovra_utils

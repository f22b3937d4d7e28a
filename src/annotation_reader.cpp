#include "annotation_reader.hpp"

#include "annotation_file.hpp"
#include "text.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <simdjson.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace kovra_utils::annotation_reader {

namespace {

namespace af = annotation_file;
using Polygon = std::vector<cv::Point>;

// `value` rounded up to a multiple of `step`.
constexpr std::uintptr_t round_up(std::uintptr_t value, std::uintptr_t step) {
  return (value + step - 1) / step * step;
}

// Blocks of crop memory straight from the kernel: zeroed already, aligned to whole huge pages
// and advised to use them. A fault per 4 KiB page costs more than filling the masks, and on
// some virtual machines far more. The allocator is never destroyed: crops may outlive
// everything else.
class HugeBlockAllocator : public cv::MatAllocator {
 public:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  static HugeBlockAllocator* instance() {
    static auto* allocator = new HugeBlockAllocator;
    return allocator;
  }

  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, std::size_t* step,
                         cv::AccessFlag, cv::UMatUsageFlags) const override {
    if (data != nullptr) throw std::logic_error("crop blocks are never user data");
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
      if (step != nullptr) step[i] = total;
      total *= static_cast<std::size_t>(sizes[i]);
    }
    std::uint8_t* memory = map_aligned(mapped_size(total));
    auto* block = new cv::UMatData(this);
    block->data = block->origdata = memory;
    block->size = total;
    return block;
  }

  bool allocate(cv::UMatData* data, cv::AccessFlag, cv::UMatUsageFlags) const override {
    return data != nullptr;
  }

  void deallocate(cv::UMatData* data) const override {
    if (data == nullptr) return;
    ::munmap(data->origdata, mapped_size(data->size));
    delete data;
  }

 private:
  static std::size_t mapped_size(std::size_t bytes) { return round_up(bytes, kHugePage); }

  // `bytes` (a multiple of the huge page) of fresh zeroed memory starting on a huge page.
  static std::uint8_t* map_aligned(std::size_t bytes) {
    const std::size_t reserved = bytes + kHugePage;
    void* mapped = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = round_up(begin, kHugePage);
    if (aligned > begin) ::munmap(mapped, aligned - begin);
    const std::uintptr_t end = begin + reserved;
    if (end > aligned + bytes) {
      ::munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
    }
    // Advice only: without huge pages the block works the same.
    ::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
    return reinterpret_cast<std::uint8_t*>(aligned);
  }
};

// Zeroed crop memory for the masks of many files, carved in order from fresh blocks: every byte
// is handed out once, so none needs clearing. A crop is a view that keeps its block alive.
class CropArena {
 public:
  cv::Mat zeros(cv::Size size) {
    const auto bytes = static_cast<std::size_t>(size.area());
    if (bytes == 0 || bytes > kBlockBytes / 8) return cv::Mat::zeros(size, CV_8U);
    if (block_.empty() || used_ + bytes > kBlockBytes) {
      block_ = new_block();
      used_ = 0;
    }
    const int start = static_cast<int>(used_);
    cv::Mat crop = block_.colRange(start, start + static_cast<int>(bytes)).reshape(1, size.height);
    used_ += round_up(bytes, kAlignment);
    return crop;
  }

 private:
  static constexpr std::size_t kBlockBytes = 4 * HugeBlockAllocator::kHugePage;
  static constexpr std::size_t kAlignment = 64;

  static cv::Mat new_block() {
    cv::Mat block;
    block.allocator = HugeBlockAllocator::instance();
    block.create(1, static_cast<int>(kBlockBytes), CV_8U);
    return block;
  }

  cv::Mat block_;
  std::size_t used_ = 0;
};

// Fills the polygons of one detection into a crop covering just their extent on the plane,
// taken from `arena` when there is one.
Mask rasterise_polygons(std::span<const Polygon> polygons, cv::Size size, CropArena* arena) {
  cv::Point low(std::numeric_limits<int>::max(), std::numeric_limits<int>::max());
  cv::Point high(std::numeric_limits<int>::min(), std::numeric_limits<int>::min());
  bool any = false;
  for (const Polygon& polygon : polygons) {
    for (const cv::Point& vertex : polygon) {
      low = cv::Point(std::min(low.x, vertex.x), std::min(low.y, vertex.y));
      high = cv::Point(std::max(high.x, vertex.x), std::max(high.y, vertex.y));
      any = true;
    }
  }
  if (!any) return Mask(size);
  // Extent in 64 bits: a vertex may sit at the edge of the 32-bit range.
  const std::int64_t x0 = std::max<std::int64_t>(low.x, 0);
  const std::int64_t y0 = std::max<std::int64_t>(low.y, 0);
  const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{high.x} + 1, size.width);
  const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{high.y} + 1, size.height);
  if (x0 >= x1 || y0 >= y1) return Mask(size);
  const cv::Rect extent(static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                        static_cast<int>(y1 - y0));
  cv::Mat crop = arena ? arena->zeros(extent.size()) : cv::Mat::zeros(extent.size(), CV_8U);
  for (const Polygon& polygon : polygons) {
    if (polygon.empty()) continue;
    const cv::Point* points = polygon.data();
    const int count = static_cast<int>(polygon.size());
    cv::fillPoly(crop, &points, &count, 1, cv::Scalar(1), cv::LINE_8, 0, -extent.tl());
  }
  // The crop is the mask's own: it holds 0 and 1 and is nearly always tight already.
  return Mask::adopt_crop(size, extent.tl(), std::move(crop));
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

// Buffers that outlive one file: vertex lists, coordinates and, for readers of many files, the
// crop arena.
struct PolygonBuffers {
  std::vector<Polygon> polygons;  // the first `used` belong to the current detection
  std::vector<double> coordinates;
  std::optional<CropArena> arena;
};

// Turns the detections of one file, as a reader meets them, into masks and box numbers. Both
// readers below feed it in file order, so they raise the same errors at the same places.
class MaskBuilder {
 public:
  MaskBuilder(const std::string& file, cv::Size size, PolygonBuffers& buffers)
      : file_(file), size_(size), buffers_(buffers) {}

  const std::string& file() const { return file_; }

  // The value of "detections" begins: a later one replaces an earlier one.
  void start_detections() {
    masks_.clear();
    boxkeys_.clear();
    detection_count_ = 0;
  }

  void begin_detection() {
    object_id_ = 0;
    has_polygons_ = false;
    used_ = 0;
  }

  void set_object_id(std::int64_t value) {
    if (value == std::numeric_limits<std::int64_t>::min()) object_id_out_of_range();
    object_id_ = value;
  }

  [[noreturn]] void object_id_out_of_range() const {
    throw af::content_error(af::member_location(detection_location(), "object_id"), file_,
                            "value outside the 64-bit integer range");
  }

  // The value of "formatted_polygon" begins: a later one replaces an earlier one.
  void begin_polygons() {
    used_ = 0;
    polygon_count_ = 0;
    has_polygons_ = true;
  }

  void add_polygon(std::string_view text) {
    const std::string location = af::element_location(polygons_location(), polygon_count_);
    std::vector<double>& coordinates = buffers_.coordinates;
    af::parse_polygon(text, coordinates, location, file_);
    if (used_ == buffers_.polygons.size()) buffers_.polygons.emplace_back();
    Polygon& vertices = buffers_.polygons[used_];
    vertices.clear();
    for (std::size_t i = 0; i < coordinates.size(); i += 2) {
      vertices.emplace_back(scale_coordinate(coordinates[i], size_.width, i, location, file_),
                            scale_coordinate(coordinates[i + 1], size_.height, i + 1, location, file_));
    }
    ++used_;
    ++polygon_count_;
  }

  void end_detection() {
    if (!has_polygons_) throw af::content_error(polygons_location(), file_, "missing member");
    masks_.push_back(rasterise_polygons(std::span(buffers_.polygons.data(), used_), size_,
                                        buffers_.arena ? &*buffers_.arena : nullptr));
    boxkeys_.push_back(object_id_ - 1);
    ++detection_count_;
  }

  std::size_t polygon_count() const { return polygon_count_; }

  std::string detection_location() const {
    return af::element_location("\"detections\"", detection_count_);
  }
  std::string polygons_location() const {
    return af::member_location(detection_location(), "formatted_polygon");
  }

  AnnotationMasks take(std::string image_path) {
    return {std::move(image_path), std::move(masks_), std::move(boxkeys_)};
  }

 private:
  const std::string& file_;
  cv::Size size_;
  PolygonBuffers& buffers_;
  std::vector<Mask> masks_;
  std::vector<std::int64_t> boxkeys_;
  std::size_t detection_count_ = 0;
  std::int64_t object_id_ = 0;
  bool has_polygons_ = false;
  std::size_t polygon_count_ = 0;
  std::size_t used_ = 0;
};

// ---- The event reader: any JSON text, every message --------------------------------------------

// Reads an annotation file as a stream of events, keeping only what the masks need. It accepts
// everything the parser accepts and words every complaint, so it is the reference the faster
// reader falls back on.
class EventReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit EventReader(MaskBuilder& builder) : builder_(builder) {}

  AnnotationMasks finish() {
    if (!image_path_) throw af::content_error("\"image_path\"", file(), "missing member");
    if (!saw_detections_) throw af::content_error("\"detections\"", file(), "missing member");
    return builder_.take(std::move(*image_path_));
  }

  bool null() override { return scalar("null"); }
  bool boolean(bool) override { return scalar("boolean"); }
  bool number_integer(number_integer_t value) override {
    if (in_object_id()) {
      builder_.set_object_id(value);
      return end_value();
    }
    return scalar("number");
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (in_object_id()) {
      if (value > static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max())) {
        builder_.object_id_out_of_range();
      }
      builder_.set_object_id(static_cast<std::int64_t>(value));
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
        builder_.add_polygon(value);
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
        where_ = Where::detection;
        builder_.begin_detection();
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
      builder_.end_detection();
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
        builder_.start_detections();
        where_ = Where::detections;
        return true;
      case Where::polygons_value:
        builder_.begin_polygons();
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
    throw ContentError(file() + ": not valid JSON (" + error.what() + ")");
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

  const std::string& file() const { return builder_.file(); }

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
        throw af::content_error("", file(), "expected an object, got " + kind);
      case Where::image_path:
        throw af::content_error("\"image_path\"", file(), "expected string, got " + kind);
      case Where::detections_value:
        throw af::content_error("\"detections\"", file(), "expected array, got " + kind);
      case Where::detections:
        throw af::content_error(builder_.detection_location(), file(),
                                "expected object, got " + kind);
      case Where::object_id:
        throw af::content_error(af::member_location(builder_.detection_location(), "object_id"),
                                file(), "expected integer, got " + kind);
      case Where::polygons_value:
        throw af::content_error(builder_.polygons_location(), file(),
                                "expected array, got " + kind);
      case Where::polygons:
        throw af::content_error(
            af::element_location(builder_.polygons_location(), builder_.polygon_count()), file(),
            "expected string, got " + kind);
      default:
        throw af::content_error("", file(), "unexpected " + kind);
    }
  }

  MaskBuilder& builder_;
  Where where_ = Where::document;
  int skip_depth_ = 0;
  std::optional<std::string> image_path_;
  bool saw_detections_ = false;
};

// ---- The tape reader: well-formed files of the usual shape, fast ------------------------------

// The document departs from the plain shape (a wrongly typed member, an out-of-range id):
// the event reader reads it again and words the complaint.
struct Departure {};

template <class T>
T get_or_depart(simdjson::simdjson_result<T> result) {
  T value;
  if (std::move(result).get(value) != simdjson::SUCCESS) throw Departure{};
  return value;
}

// Walks a parsed document in file order, feeding the builder exactly as the event reader would.
class TapeWalk {
 public:
  explicit TapeWalk(MaskBuilder& builder) : builder_(builder) {}

  AnnotationMasks walk(simdjson::dom::element root) {
    std::optional<std::string_view> image_path;
    bool saw_detections = false;
    for (const simdjson::dom::key_value_pair field : get_or_depart(root.get_object())) {
      if (field.key == "image_path") {
        image_path = get_or_depart(field.value.get_string());
      } else if (field.key == "detections") {
        saw_detections = true;
        builder_.start_detections();
        for (const simdjson::dom::element detection : get_or_depart(field.value.get_array())) {
          walk_detection(detection);
        }
      }
    }
    if (!image_path || !saw_detections) throw Departure{};
    return builder_.take(std::string(*image_path));
  }

 private:
  void walk_detection(simdjson::dom::element detection) {
    builder_.begin_detection();
    for (const simdjson::dom::key_value_pair field : get_or_depart(detection.get_object())) {
      if (field.key == "object_id") {
        builder_.set_object_id(get_or_depart(field.value.get_int64()));
      } else if (field.key == "formatted_polygon") {
        builder_.begin_polygons();
        for (const simdjson::dom::element polygon : get_or_depart(field.value.get_array())) {
          builder_.add_polygon(get_or_depart(polygon.get_string()));
        }
      }
    }
    builder_.end_detection();
  }

  MaskBuilder& builder_;
};

// Reads the whole regular file `path` into `buffer`, followed by the parser's padding. False
// when it cannot (the caller then reads it the ordinary way, for the ordinary message).
bool read_padded(const std::string& path, std::vector<char>& buffer, std::size_t& length) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const auto size = static_cast<std::size_t>(status.st_size);
  // One byte more than the size: a file that grew since fstat is read the ordinary way.
  if (buffer.size() < size + 1 + simdjson::SIMDJSON_PADDING) {
    buffer.resize(size + 1 + simdjson::SIMDJSON_PADDING);
  }
  length = 0;
  while (length <= size) {
    const ssize_t got = ::read(fd, buffer.data() + length, size + 1 - length);
    if (got < 0) return false;
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  return length <= size;
}

AnnotationMasks read_events(std::string_view text, MaskBuilder& builder) {
  EventReader reader(builder);
  nlohmann::json::sax_parse(text.begin(), text.end(), &reader);
  return reader.finish();
}

}  // namespace

struct Reader::Buffers {
  std::vector<char> text;
  simdjson::dom::parser parser;
  PolygonBuffers polygons;
};

Reader::Reader(bool many_files) : buffers_(std::make_unique<Buffers>()) {
  if (many_files) buffers_->polygons.arena.emplace();
}
Reader::~Reader() = default;

AnnotationMasks Reader::read(const std::string& json_path, cv::Size size) {
  std::size_t length = 0;
  if (!read_padded(json_path, buffers_->text, length)) {
    const std::string text = af::read_text_file(json_path);
    MaskBuilder builder(json_path, size, buffers_->polygons);
    return read_events(text, builder);
  }
  const std::string_view text(buffers_->text.data(), length);
  simdjson::dom::element root;
  if (buffers_->parser.parse(text.data(), text.size(), false).get(root) == simdjson::SUCCESS) {
    try {
      MaskBuilder builder(json_path, size, buffers_->polygons);
      return TapeWalk(builder).walk(root);
    } catch (const Departure&) {
    } catch (const ContentError&) {
    }
  }
  MaskBuilder builder(json_path, size, buffers_->polygons);
  return read_events(text, builder);
}

}  // namespace kovra_utils::annotation_reader

// Annotation rendering and polygon repair.

#include <kovra_utils/visual.hpp>

#include "annotation_file.hpp"
#include "draw.hpp"
#include "image_header.hpp"
#include "text.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

namespace kovra_utils {

namespace af = annotation_file;

namespace {

// ---------------------------------------------------------------------------------------------
// Reading the frame image
// ---------------------------------------------------------------------------------------------

// Why `image_path` cannot be opened; empty when it can. Checked before decoding so that a
// missing file is reported by its system error, without the decoder's own complaint.
std::string open_problem(const std::string& image_path) {
  std::ifstream probe(image_path, std::ios::binary);
  if (probe) return {};
  return "cannot open image " + image_path + ": " + std::strerror(errno);
}

std::string decode_problem(const std::string& image_path) {
  return "cannot decode image " + image_path;
}

// The image as stored (no EXIF rotation, like an image library's open), as 8-bit RGBA.
cv::Mat read_rgba_image(const std::string& image_path) {
  if (const std::string problem = open_problem(image_path); !problem.empty()) {
    throw FileError(problem);
  }
  image_header::require_decodable(image_path);
  cv::Mat stored = cv::imread(image_path, cv::IMREAD_UNCHANGED);
  if (stored.empty()) throw FileError(decode_problem(image_path));
  if (stored.depth() == CV_16U) stored.convertTo(stored, CV_8U, 1.0 / 257.0);
  if (stored.depth() != CV_8U) {
    throw FileError("image " + image_path + " has unsupported pixel depth " +
                    std::to_string(stored.depth()));
  }
  cv::Mat rgba;
  switch (stored.channels()) {
    case 1: cv::cvtColor(stored, rgba, cv::COLOR_GRAY2RGBA); break;
    case 3: cv::cvtColor(stored, rgba, cv::COLOR_BGR2RGBA); break;
    case 4: cv::cvtColor(stored, rgba, cv::COLOR_BGRA2RGBA); break;
    default:
      throw FileError("image " + image_path + " has unsupported channel count " +
                      std::to_string(stored.channels()));
  }
  return rgba;
}

// Width and height of the stored image; the reason as text when it cannot be read.
struct ImageSize {
  cv::Size size;
  std::string error;
};

ImageSize read_image_size(const std::string& image_path) {
  if (std::string problem = open_problem(image_path); !problem.empty()) return {{}, problem};
  const std::optional<cv::Size> size = image_header::read_size(image_path, image_header::Orientation::ignored);
  if (!size) return {{}, decode_problem(image_path)};
  return {*size, {}};
}

// ---------------------------------------------------------------------------------------------
// Rendering
// ---------------------------------------------------------------------------------------------

using Colour = std::array<std::uint8_t, 3>;

// Fresh channels 0..254 from one process-wide generator, seeded unpredictably.
Colour random_color() {
  static std::mutex guard;
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> channel(0, 254);
  const std::lock_guard lock(guard);
  Colour colour{};
  for (auto& value : colour) value = static_cast<std::uint8_t>(channel(generator));
  return colour;
}

// Farther than this a pixel position cannot be drawn without overflowing integer arithmetic.
constexpr double kMaxPixelDistance = 1073741824.0;  // 2^30

double checked_pixel(double value, const std::string& location, const std::string& file) {
  if (!(std::fabs(value) <= kMaxPixelDistance)) {
    throw af::content_error(location, file,
                            "pixel position " + text::format_float(value) + " is out of range");
  }
  return value;
}

// Drawing positions are truncated toward zero, as an integer cast of the coordinate.
cv::Point truncated(double x, double y) {
  return {static_cast<int>(std::trunc(x)), static_cast<int>(std::trunc(y))};
}

struct BoxCorners {
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
};

// The last box of "xyxy"; every box must hold four numbers. Absent when the array is empty.
std::optional<BoxCorners> last_box(const nlohmann::json& detection, const std::string& location,
                                   const std::string& file) {
  const auto& boxes =
      af::require_member(detection, "xyxy", af::is_array<nlohmann::json>, "array", location, file);
  std::optional<BoxCorners> last;
  for (std::size_t b = 0; b < boxes.size(); ++b) {
    const std::string where = af::element_location(af::member_location(location, "xyxy"), b);
    const auto& box = boxes[b];
    if (!box.is_array() || box.size() != 4) {
      throw af::content_error(where, file,
                              "expected a box of 4 numbers, got " +
                                  (box.is_array() ? std::to_string(box.size()) + " values"
                                                  : af::type_name(box)));
    }
    std::array<double, 4> values{};
    for (std::size_t i = 0; i < 4; ++i) {
      if (!box[i].is_number()) {
        throw af::content_error(af::element_location(where, i), file,
                                "expected number, got " + af::type_name(box[i]));
      }
      values[i] = box[i].get<double>();
    }
    last = BoxCorners{values[0], values[1], values[2], values[3]};
  }
  return last;
}

// The detection's polygons scaled to pixels (real-valued, not truncated).
std::vector<std::vector<cv::Point2d>> pixel_polygons(const nlohmann::json& detection,
                                                     cv::Size image_size,
                                                     const std::string& location,
                                                     const std::string& file) {
  const auto& strings = af::require_member(detection, "formatted_polygon",
                                           af::is_array<nlohmann::json>, "array", location, file);
  const std::string member = af::member_location(location, "formatted_polygon");
  std::vector<std::vector<cv::Point2d>> polygons;
  std::vector<double> coordinates;
  for (std::size_t p = 0; p < strings.size(); ++p) {
    const std::string where = af::element_location(member, p);
    if (!strings[p].is_string()) {
      throw af::content_error(where, file, "expected string, got " + af::type_name(strings[p]));
    }
    af::parse_polygon(strings[p].get_ref<const std::string&>(), coordinates, where, file);
    std::vector<cv::Point2d> vertices;
    for (std::size_t i = 0; i + 1 < coordinates.size(); i += 2) {
      vertices.emplace_back(checked_pixel(coordinates[i] * image_size.width, where, file),
                            checked_pixel(coordinates[i + 1] * image_size.height, where, file));
    }
    polygons.push_back(std::move(vertices));
  }
  return polygons;
}

// Vertices land on the nearest pixel, halves away from zero.
void fill_polygon(cv::Mat& overlay, const std::vector<cv::Point2d>& vertices,
                  const cv::Vec4b& colour) {
  if (vertices.empty()) return;
  std::vector<cv::Point> pixels;
  pixels.reserve(vertices.size());
  for (const cv::Point2d& vertex : vertices) {
    pixels.emplace_back(static_cast<int>(std::round(vertex.x)),
                        static_cast<int>(std::round(vertex.y)));
  }
  cv::fillPoly(overlay, std::vector<std::vector<cv::Point>>{pixels},
               cv::Scalar(colour[0], colour[1], colour[2], colour[3]));
}

// The box outline and, on a tab above its top-left corner, the caption.
void draw_box_and_caption(cv::Mat& overlay, const BoxCorners& box, const std::string& caption,
                          const Colour& colour, const draw::Font& font) {
  const cv::Vec4b opaque = draw::with_alpha(colour, 255);
  draw::rectangle(overlay, truncated(box.x1, box.y1), truncated(box.x2, box.y2), std::nullopt,
                  opaque, 2);
  const auto [left, top, right, bottom] = font.text_bbox(caption, {0, 0});
  const double text_width = right - left;
  const double text_height = bottom - top;
  draw::rectangle(overlay, truncated(box.x1, box.y1 - text_height - 4),
                  truncated(box.x1 + text_width + 4, box.y1), opaque, std::nullopt);
  font.draw_text(overlay, caption, truncated(box.x1 + 2, box.y1 - text_height - 2),
                 {255, 255, 255, 255});
}

std::int64_t read_object_id(const nlohmann::json& detection, const std::string& location,
                            const std::string& file) {
  const auto& value = af::require_member(detection, "object_id", af::is_integer<nlohmann::json>,
                                         "integer", location, file);
  // Box numbers are object_id - 1: both must fit a signed 64-bit integer.
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() >
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw af::content_error(af::member_location(location, "object_id"), file,
                            "value " + value.dump() + " is out of range");
  }
  const auto id = value.get<std::int64_t>();
  if (id == std::numeric_limits<std::int64_t>::min()) {
    throw af::content_error(af::member_location(location, "object_id"), file,
                            "value " + value.dump() + " is out of range");
  }
  return id;
}

bool is_selected(std::int64_t object_id, const ObjectIds& object_ids) {
  return !object_ids || object_ids->contains(object_id);
}

// Encodes first so that a bad format leaves no file behind, then writes atomically.
void save_rgba_image(const std::string& save_path, const cv::Mat& rgba) {
  cv::Mat bgra;
  cv::cvtColor(rgba, bgra, cv::COLOR_RGBA2BGRA);
  const std::string extension = std::filesystem::path(save_path).extension().string();
  std::vector<std::uint8_t> encoded;
  bool ok = false;
  try {
    ok = cv::imencode(extension, bgra, encoded);
  } catch (const cv::Exception&) {
    ok = false;
  }
  if (!ok) {
    throw FileError("cannot write image " + save_path + ": no image format for extension '" +
                    extension + "'");
  }
  write_file_atomically(save_path,
                        std::string_view(reinterpret_cast<const char*>(encoded.data()),
                                         encoded.size()));
}

}  // namespace

cv::Mat retrieve_annotation(const std::string& json_path,
                            const std::optional<std::string>& save_path, bool box_drawing,
                            const ObjectIds& object_ids) {
  const nlohmann::json document = af::read_json(json_path);
  const auto& image_path =
      af::require_member(document, "image_path", af::is_string<nlohmann::json>, "string", "",
                         json_path)
          .get_ref<const std::string&>();
  const auto& detections = af::require_member(document, "detections",
                                              af::is_array<nlohmann::json>, "array", "", json_path);
  const cv::Mat image = read_rgba_image(image_path);
  cv::Mat overlay(image.size(), CV_8UC4, cv::Scalar(255, 255, 255, 0));
  std::optional<draw::Font> font;

  for (std::size_t k = 0; k < detections.size(); ++k) {
    const std::string location = af::element_location("\"detections\"", k);
    const auto& detection = detections[k];
    if (!detection.is_object()) {
      throw af::content_error(location, json_path,
                              "expected object, got " + af::type_name(detection));
    }
    const std::int64_t object_id = read_object_id(detection, location, json_path);
    if (!is_selected(object_id, object_ids)) continue;

    const Colour colour = random_color();
    const std::optional<BoxCorners> box = last_box(detection, location, json_path);
    for (const auto& polygon : pixel_polygons(detection, image.size(), location, json_path)) {
      fill_polygon(overlay, polygon, draw::with_alpha(colour, 100));
    }
    if (!box_drawing) continue;
    const std::string where = af::member_location(location, "xyxy");
    if (!box) throw af::content_error(where, json_path, "no box to draw");
    for (const double corner : {box->x1, box->y1, box->x2, box->y2}) {
      checked_pixel(corner, where, json_path);
    }
    if (!font) font = draw::Font::load("arial.ttf", 11);
    draw_box_and_caption(overlay, *box, "Box " + std::to_string(object_id - 1), colour, *font);
  }

  cv::Mat annotated_image = draw::alpha_composite(image, overlay);
  if (save_path && !save_path->empty()) save_rgba_image(*save_path, annotated_image);
  return annotated_image;
}

// ---------------------------------------------------------------------------------------------
// Polygon repair
// ---------------------------------------------------------------------------------------------

namespace {

using OrderedJson = nlohmann::ordered_json;

// A polygon string with x scaled by `x_factor` and y by `y_factor`, six decimals each.
std::string rescaled_polygon(const std::string& polygon, double x_factor, double y_factor,
                             const std::string& location, const std::string& file) {
  std::vector<double> coordinates;
  const std::string_view identifier = af::parse_polygon(polygon, coordinates, location, file);
  if (identifier.empty()) throw af::content_error(location, file, "empty polygon string");
  std::string out(identifier);
  for (std::size_t i = 0; i < coordinates.size(); ++i) {
    out += ' ';
    out += text::format_fixed(coordinates[i] * (i % 2 == 0 ? x_factor : y_factor), 6);
  }
  return out;
}

void rescale_detections(OrderedJson& document, cv::Size image_size, const std::string& file) {
  af::require_member(document, "detections", af::is_array<OrderedJson>, "array", "", file);
  OrderedJson& detections = document["detections"];
  // Each quotient first, in double precision, then the product.
  const double x_factor = static_cast<double>(image_size.height) / image_size.width;
  const double y_factor = static_cast<double>(image_size.width) / image_size.height;
  for (std::size_t k = 0; k < detections.size(); ++k) {
    const std::string location = af::element_location("\"detections\"", k);
    if (!detections[k].is_object()) {
      throw af::content_error(location, file,
                              "expected object, got " + af::type_name(detections[k]));
    }
    const auto& polygons = af::require_member(detections[k], "formatted_polygon",
                                              af::is_array<OrderedJson>, "array", location, file);
    const std::string member = af::member_location(location, "formatted_polygon");
    OrderedJson corrected_polygons = OrderedJson::array();
    for (std::size_t p = 0; p < polygons.size(); ++p) {
      const std::string where = af::element_location(member, p);
      if (!polygons[p].is_string()) {
        throw af::content_error(where, file, "expected string, got " + af::type_name(polygons[p]));
      }
      corrected_polygons.push_back(rescaled_polygon(polygons[p].get_ref<const std::string&>(),
                                                    x_factor, y_factor, where, file));
    }
    detections[k]["formatted_polygon"] = std::move(corrected_polygons);
  }
}

}  // namespace

void fix_polygon_scaling(const std::string& json_path, const std::optional<std::string>& save_path) {
  OrderedJson document = af::read_ordered_json(json_path);
  const auto& image_path =
      af::require_member(document, "image_path", af::is_string<OrderedJson>, "string", "",
                         json_path)
          .get_ref<const std::string&>();
  const ImageSize image = read_image_size(image_path);
  if (!image.error.empty()) {
    std::cout << "Error loading image: " << image.error << "\n";
    return;
  }
  rescale_detections(document, image.size, json_path);
  write_file_atomically(save_path.value_or(json_path), af::to_indented_ascii_json(document));
}

}  // namespace kovra_utils

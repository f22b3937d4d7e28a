// Zone files: the pen polygon form with labelled shapes, or a GeoJSON FeatureCollection.

#include <kovra_utils/behaviour.hpp>

#include "annotation_file.hpp"
#include "geometry.hpp"
#include "text.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace kovra_utils {

namespace {

namespace af = annotation_file;
using Json = nlohmann::json;

// Largest coordinate magnitude the integer filling code handles.
constexpr double kMaxCoordinate = 1 << 26;

// One shape as read: where it is in the file, its zone and its rings (outline first).
struct Shape {
  std::string location;
  std::string name;
  std::vector<std::vector<cv::Point2d>> rings;
};

std::vector<cv::Point2d> read_ring(const Json& points, const std::string& location, const std::string& file,
                                   bool closed) {
  if (!points.is_array()) throw af::content_error(location, file, "expected an array of [x, y] points");
  std::vector<cv::Point2d> ring;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Json& point = points[i];
    if (!point.is_array() || point.size() < 2 || !point[0].is_number() || !point[1].is_number()) {
      throw af::content_error(af::element_location(location, i), file, "expected [x, y], got " + point.dump());
    }
    const cv::Point2d p(point[0].get<double>(), point[1].get<double>());
    if (!(std::abs(p.x) < kMaxCoordinate) || !(std::abs(p.y) < kMaxCoordinate)) {
      throw af::content_error(af::element_location(location, i), file,
                              "coordinate out of range (" + text::format_float(p.x) + ", " +
                                  text::format_float(p.y) + ")");
    }
    ring.push_back(p);
  }
  // GeoJSON rings repeat their first position at the end.
  if (closed && ring.size() > 1 && ring.front() == ring.back()) ring.pop_back();
  if (ring.size() < 3) {
    throw af::content_error(location, file, "a zone outline needs at least 3 points, got " + std::to_string(ring.size()));
  }
  return ring;
}

std::string shape_name(const Json& object, std::string_view member, const std::string& location,
                       const std::string& file) {
  const auto found = object.find(member);
  if (found == object.end() || !found->is_string() || found->get<std::string>().empty()) {
    throw af::content_error(af::member_location(location, member), file, "every shape needs a name (a non-empty text)");
  }
  return found->get<std::string>();
}

std::vector<Shape> labelled_shapes(const Json& shapes, const std::string& file) {
  if (!shapes.is_array()) throw af::content_error("\"shapes\"", file, "expected an array");
  std::vector<Shape> result;
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    const std::string location = af::element_location("\"shapes\"", i);
    const Json& shape = shapes[i];
    if (!shape.is_object()) throw af::content_error(location, file, "expected an object");
    const std::string name = shape_name(shape, "label", location, file);
    if (!shape.contains("points")) throw af::content_error(af::member_location(location, "points"), file, "missing member");
    result.push_back({location, name, {read_ring(shape["points"], af::member_location(location, "points"), file, false)}});
  }
  return result;
}

std::vector<Shape> geojson_shapes(const Json& features, const std::string& file) {
  if (!features.is_array()) throw af::content_error("\"features\"", file, "expected an array");
  std::vector<Shape> result;
  for (std::size_t i = 0; i < features.size(); ++i) {
    const std::string location = af::element_location("\"features\"", i);
    const Json& feature = features[i];
    if (!feature.is_object()) throw af::content_error(location, file, "expected a Feature object");
    const auto properties = feature.find("properties");
    if (properties == feature.end() || !properties->is_object()) {
      throw af::content_error(af::member_location(location, "properties"), file,
                              "every shape needs a \"name\" property");
    }
    const std::string name = shape_name(*properties, "name", af::member_location(location, "properties"), file);
    const auto geometry = feature.find("geometry");
    const std::string where = af::member_location(location, "geometry");
    if (geometry == feature.end() || !geometry->is_object() || geometry->value("type", Json()) != "Polygon") {
      throw af::content_error(where, file, "expected a Polygon geometry");
    }
    const auto coordinates = geometry->find("coordinates");
    const std::string rings_at = af::member_location(where, "coordinates");
    if (coordinates == geometry->end() || !coordinates->is_array() || coordinates->empty()) {
      throw af::content_error(rings_at, file, "expected an array of rings");
    }
    Shape shape{location, name, {}};
    for (std::size_t r = 0; r < coordinates->size(); ++r) {
      shape.rings.push_back(read_ring((*coordinates)[r], af::element_location(rings_at, r), file, true));
    }
    result.push_back(std::move(shape));
  }
  return result;
}

std::vector<Shape> read_shapes(const std::string& file) {
  const Json document = af::read_json(file);
  if (document.is_object() && document.contains("shapes")) return labelled_shapes(document["shapes"], file);
  if (document.is_object() && document.value("type", Json()) == "FeatureCollection" && document.contains("features")) {
    return geojson_shapes(document["features"], file);
  }
  throw af::content_error("document", file,
                          "not a zone file: expected {\"shapes\": [...]} or a GeoJSON FeatureCollection");
}

std::vector<cv::Point> truncated(const std::vector<cv::Point2d>& ring) {
  std::vector<cv::Point> points;
  for (const cv::Point2d& p : ring) points.emplace_back(static_cast<int>(std::trunc(p.x)), static_cast<int>(std::trunc(p.y)));
  return points;
}

// The pixels fillPoly sets for `ring` on the frame, as a crop of `window` (absent when none).
cv::Mat ring_pixels(const std::vector<cv::Point>& ring, cv::Size frame_size, cv::Rect window) {
  return geometry::fill_polygon_window(ring, frame_size, window);
}

// The shape's pixels as a frame-sized mask: the outline filled, holes cleared.
Mask shape_raster(const Shape& shape, cv::Size frame_size) {
  const std::vector<cv::Point> outline = truncated(shape.rings.front());
  const cv::Rect window = cv::boundingRect(outline) & cv::Rect(cv::Point(0, 0), frame_size);
  if (window.empty()) return Mask(frame_size);
  cv::Mat pixels = ring_pixels(outline, frame_size, window);
  for (std::size_t r = 1; r < shape.rings.size(); ++r) pixels &= ~ring_pixels(truncated(shape.rings[r]), frame_size, window) & 1;
  return Mask::from_crop(frame_size, window.tl(), pixels);
}

Mask union_of(const Mask& a, const Mask& b) {
  if (a.is_clear()) return b;
  if (b.is_clear()) return a;
  const cv::Rect window = a.bounds() | b.bounds();
  cv::Mat pixels = cv::Mat::zeros(window.size(), CV_8U);
  a.crop().copyTo(pixels(a.bounds() - window.tl()));
  cv::Mat part = pixels(b.bounds() - window.tl());
  part |= b.crop();
  return Mask::from_crop(a.size(), window.tl(), pixels);
}

}  // namespace

Zones read_zones(const std::filesystem::path& path, cv::Size frame_size) {
  if (frame_size.width <= 0 || frame_size.height <= 0) {
    throw ArgumentError("zones need a frame size of at least 1 x 1 pixels, got " + std::to_string(frame_size.width) +
                        " x " + std::to_string(frame_size.height));
  }
  const std::string file = path.string();
  Zones zones;
  for (const Shape& shape : read_shapes(file)) {
    const Mask raster = shape_raster(shape, frame_size);
    if (raster.is_clear()) {
      throw af::content_error(shape.location, file,
                              "shape \"" + shape.name + "\" lies entirely outside the " + std::to_string(frame_size.width) +
                                  " x " + std::to_string(frame_size.height) + " frame");
    }
    auto zone = std::find_if(zones.begin(), zones.end(), [&](const Zone& z) { return z.name == shape.name; });
    if (zone == zones.end()) zone = zones.insert(zones.end(), Zone{shape.name, {}, Mask(frame_size)});
    zone->outlines.push_back(shape.rings.front());
    zone->raster = union_of(zone->raster, raster);
  }
  return zones;
}

}  // namespace kovra_utils

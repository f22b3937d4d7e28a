#include "geometry.hpp"

#include <kovra_utils/types.hpp>

#include <geos_c.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <type_traits>

namespace kovra_utils::geometry {

namespace {

struct ContextDeleter {
  void operator()(GEOSContextHandle_t context) const { GEOS_finish_r(context); }
};
using ContextHandle = std::unique_ptr<std::remove_pointer_t<GEOSContextHandle_t>, ContextDeleter>;

struct GeometryDeleter {
  GEOSContextHandle_t context;
  void operator()(GEOSGeometry* geometry) const { GEOSGeom_destroy_r(context, geometry); }
};
using GeometryHandle = std::unique_ptr<GEOSGeometry, GeometryDeleter>;

struct SequenceDeleter {
  GEOSContextHandle_t context;
  void operator()(GEOSCoordSequence* sequence) const { GEOSCoordSeq_destroy_r(context, sequence); }
};
using SequenceHandle = std::unique_ptr<GEOSCoordSequence, SequenceDeleter>;

// GEOS reports exceptions through this handler; the text is kept for the next ContentError.
void keep_message(const char* message, void* userdata) {
  *static_cast<std::string*>(userdata) = message ? message : "";
}

}  // namespace

struct PolygonClipper::State {
  std::string last_error;
  ContextHandle context;
  GeometryHandle polygon{nullptr, GeometryDeleter{nullptr}};

  GEOSContextHandle_t handle() const { return context.get(); }

  [[noreturn]] void fail(const std::string& what) const {
    throw ContentError(what + ": " + (last_error.empty() ? "GEOS error" : last_error));
  }

  GeometryHandle own(GEOSGeometry* geometry, const std::string& what) const {
    if (geometry == nullptr) fail(what);
    return GeometryHandle(geometry, GeometryDeleter{handle()});
  }
};

PolygonClipper::PolygonClipper(const std::vector<cv::Point2d>& outline)
    : state_(std::make_unique<State>()) {
  state_->context.reset(GEOS_init_r());
  if (!state_->context) throw Error("cannot create a GEOS context");
  GEOSContext_setErrorMessageHandler_r(state_->handle(), keep_message, &state_->last_error);

  std::vector<double> coordinates;
  coordinates.reserve(2 * outline.size() + 2);
  for (const cv::Point2d& point : outline) {
    coordinates.push_back(point.x);
    coordinates.push_back(point.y);
  }
  if (!outline.empty() && outline.front() != outline.back()) {
    coordinates.push_back(outline.front().x);
    coordinates.push_back(outline.front().y);
  }
  const std::string what =
      "pen polygon of " + std::to_string(outline.size()) + " points cannot be built";
  SequenceHandle sequence(
      GEOSCoordSeq_copyFromBuffer_r(state_->handle(), coordinates.data(),
                                    static_cast<unsigned int>(coordinates.size() / 2), 0, 0),
      SequenceDeleter{state_->handle()});
  if (!sequence) state_->fail(what);
  // The ring and the polygon take ownership of their parts, also when they fail.
  GeometryHandle ring =
      state_->own(GEOSGeom_createLinearRing_r(state_->handle(), sequence.release()), what);
  state_->polygon =
      state_->own(GEOSGeom_createPolygon_r(state_->handle(), ring.release(), nullptr, 0), what);
}

PolygonClipper::~PolygonClipper() = default;
PolygonClipper::PolygonClipper(PolygonClipper&&) noexcept = default;
PolygonClipper& PolygonClipper::operator=(PolygonClipper&&) noexcept = default;

double PolygonClipper::intersection_area(double x_min, double y_min, double x_max,
                                         double y_max) const {
  if (!(x_min < x_max) || !(y_min < y_max)) return 0.0;
  const std::string what = "pen polygon cannot be clipped";
  const GeometryHandle rectangle =
      state_->own(GEOSGeom_createRectangle_r(state_->handle(), x_min, y_min, x_max, y_max), what);
  const GeometryHandle common =
      state_->own(GEOSIntersection_r(state_->handle(), state_->polygon.get(), rectangle.get()),
                  what);
  double area = 0.0;
  if (GEOSArea_r(state_->handle(), common.get(), &area) == 0) state_->fail(what);
  return area;
}

// ---------------------------------------------------------------------------------------------
// Polygon filling in a window
// ---------------------------------------------------------------------------------------------
//
// cv::fillPoly sets the union of two pixel sets: the even-odd scanline spans between its
// fixed-point edges, and the 8-connected line of every edge clipped to the plane. The spans
// only depend on the row and column, so they can be computed for the window's rows alone; the
// lines depend on where they are clipped, so they are traced against the whole plane, exactly
// as cv::fillPoly draws them, and only the pixels that fall in the window are kept.

namespace {

constexpr int kFixedShift = 16;  // cv::fillPoly's fixed-point precision
constexpr std::int64_t kFixedOne = std::int64_t{1} << kFixedShift;

struct ScanEdge {
  int y0;           // first row (inclusive)
  int y1;           // last row (exclusive)
  std::int64_t x;   // fixed-point column at y0
  std::int64_t dx;  // fixed-point step per row
};

std::vector<ScanEdge> scan_edges(const std::vector<cv::Point>& polygon) {
  std::vector<ScanEdge> edges;
  cv::Point previous = polygon.back();
  for (const cv::Point& current : polygon) {
    const std::int64_t x_previous = std::int64_t{previous.x} * kFixedOne;
    const std::int64_t x_current = std::int64_t{current.x} * kFixedOne;
    if (previous.y != current.y) {
      const std::int64_t dx = (x_current - x_previous) / (current.y - previous.y);
      if (previous.y < current.y) {
        edges.push_back({previous.y, current.y, x_previous, dx});
      } else {
        edges.push_back({current.y, previous.y, x_current, dx});
      }
    }
    previous = current;
  }
  return edges;
}

void fill_spans(const std::vector<cv::Point>& polygon, cv::Size plane_size, cv::Rect window,
                cv::Mat& out) {
  const std::vector<ScanEdge> edges = scan_edges(polygon);
  if (edges.size() < 2) return;
  std::vector<std::int64_t> crossings;
  for (int y = window.y; y < window.y + window.height; ++y) {
    crossings.clear();
    for (const ScanEdge& edge : edges) {
      if (edge.y0 <= y && y < edge.y1) crossings.push_back(edge.x + (y - edge.y0) * edge.dx);
    }
    std::sort(crossings.begin(), crossings.end());
    std::uint8_t* row = out.ptr<std::uint8_t>(y - window.y);
    for (std::size_t i = 0; i + 1 < crossings.size(); i += 2) {
      // Left ends round up, right ends round down, then clip to the plane and the window.
      std::int64_t first = (crossings[i] + kFixedOne - 1) >> kFixedShift;
      std::int64_t last = crossings[i + 1] >> kFixedShift;
      if (first >= plane_size.width || last < 0) continue;
      first = std::max<std::int64_t>({first, 0, window.x});
      last = std::min<std::int64_t>({last, plane_size.width - 1, window.x + window.width - 1});
      for (std::int64_t x = first; x <= last; ++x) row[x - window.x] = 1;
    }
  }
}

void trace_edges(const std::vector<cv::Point>& polygon, cv::Size plane_size, cv::Rect window,
                 cv::Mat& out) {
  const cv::Rect plane(cv::Point(0, 0), plane_size);
  // A traced pixel lies within one pixel of its edge.
  const cv::Rect near_window(window.x - 1, window.y - 1, window.width + 2, window.height + 2);
  cv::Point previous = polygon.back();
  for (const cv::Point& current : polygon) {
    const cv::Rect edge_box(cv::Point(std::min(previous.x, current.x), std::min(previous.y, current.y)),
                            cv::Point(std::max(previous.x, current.x) + 1,
                                      std::max(previous.y, current.y) + 1));
    if ((edge_box & near_window).area() > 0) {
      cv::LineIterator line(plane, previous, current, 8, true);
      for (int i = 0; i < line.count; ++i, ++line) {
        const cv::Point pixel = line.pos();
        if (window.contains(pixel)) out.at<std::uint8_t>(pixel - window.tl()) = 1;
      }
    }
    previous = current;
  }
}

}  // namespace

cv::Mat fill_polygon_window(const std::vector<cv::Point>& polygon, cv::Size plane_size,
                            cv::Rect window) {
  if ((window & cv::Rect(cv::Point(0, 0), plane_size)) != window) {
    throw ArgumentError("fill window must lie inside the " + std::to_string(plane_size.height) +
                        " x " + std::to_string(plane_size.width) + " plane");
  }
  cv::Mat out = cv::Mat::zeros(window.size(), CV_8U);
  if (polygon.empty() || window.empty()) return out;
  fill_spans(polygon, plane_size, window, out);
  trace_edges(polygon, plane_size, window, out);
  return out;
}

namespace {

constexpr std::uint64_t kLow7Bits = 0x7f7f7f7f7f7f7f7fULL;
constexpr std::uint64_t kByteOnes = 0x0101010101010101ULL;

// The high bit of every non-zero byte of `word`, no other bit.
std::uint64_t nonzero_bytes(std::uint64_t word) {
  return (((word & kLow7Bits) + kLow7Bits) | word) & ~kLow7Bits;
}

// Number of bytes flagged by nonzero_bytes.
int flagged_count(std::uint64_t flags) { return static_cast<int>(((flags >> 7) * kByteOnes) >> 56); }

// Scan state of one row: the first and last non-zero column and the count between them.
struct RowScan {
  int first = -1;
  int last = -1;
  int count = 0;
  std::uint64_t seen = 0;  // every byte of the row OR-ed together (per byte position)

  void add_word(int column, std::uint64_t word) {
    seen |= word;
    const std::uint64_t flags = nonzero_bytes(word);
    if (flags == 0) return;
    if (first < 0) first = column + std::countr_zero(flags) / 8;
    last = column + 7 - std::countl_zero(flags) / 8;
    count += flagged_count(flags);
  }
  void add_byte(int column, std::uint8_t value) {
    seen |= value;
    if (value == 0) return;
    if (first < 0) first = column;
    last = column;
    ++count;
  }
};

// Little-endian words: the lowest byte is the leftmost pixel.
static_assert(std::endian::native == std::endian::little);

RowScan scan_row(const std::uint8_t* row, int cols) {
  RowScan scan;
  int c = 0;
  for (; c <= cols - 8; c += 8) {
    std::uint64_t word;
    std::memcpy(&word, row + c, sizeof word);
    scan.add_word(c, word);
  }
  for (; c < cols; ++c) scan.add_byte(c, row[c]);
  return scan;
}

}  // namespace

NonZero nonzero_extent(const cv::Mat& plane) {
  if (plane.type() != CV_8UC1 || plane.dims != 2) {
    throw ArgumentError("non-zero extent needs a 2-D 8-bit single-channel plane, got type " +
                        std::to_string(plane.type()));
  }
  int left = plane.cols, right = -1, top = plane.rows, bottom = -1;
  std::int64_t area = 0;
  std::uint64_t seen = 0;
  for (int r = 0; r < plane.rows; ++r) {
    const RowScan row = scan_row(plane.ptr<std::uint8_t>(r), plane.cols);
    seen |= row.seen;
    if (row.count == 0) continue;
    left = std::min(left, row.first);
    right = std::max(right, row.last);
    top = std::min(top, r);
    bottom = r;
    area += row.count;
  }
  const bool binary = (seen & ~kByteOnes) == 0;
  if (area == 0) return {{}, 0, binary};
  return {cv::Rect(left, top, right - left + 1, bottom - top + 1), area, binary};
}

}  // namespace kovra_utils::geometry

#include "geometry.hpp"

#include <kovra_utils/types.hpp>

#include <geos_c.h>
#include <opencv2/imgproc.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

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

// One scan of a plane keeps, per row, the count of non-zero pixels and, per column, the OR of
// its pixels; the extent follows from those two profiles, and the OR of all pixels tells
// whether the plane is binary.
struct PlaneScan {
  std::vector<std::uint8_t> column_or;
  std::uint8_t seen = 0;

  explicit PlaneScan(int cols) : column_or(static_cast<std::size_t>(cols), 0) {}

  // Non-zero pixels of `row`, folding the row into the column profile.
  int add_row(const std::uint8_t* row) {
    const int cols = static_cast<int>(column_or.size());
    std::uint8_t* profile = column_or.data();
    int count = 0;
    int c = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i seen_lanes = zero;
    while (c + 16 <= cols) {
      // Zero lanes counted down from 0 per byte, at most 255 blocks between flushes.
      __m128i zero_lanes = zero;
      const int stop = std::min(cols - 15, c + 16 * 255);
      const int first = c;
      for (; c < stop; c += 16) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + c));
        auto* column = reinterpret_cast<__m128i*>(profile + c);
        _mm_storeu_si128(column, _mm_or_si128(_mm_loadu_si128(column), pixels));
        seen_lanes = _mm_or_si128(seen_lanes, pixels);
        zero_lanes = _mm_sub_epi8(zero_lanes, _mm_cmpeq_epi8(pixels, zero));
      }
      const __m128i sums = _mm_sad_epu8(zero_lanes, zero);
      const int zeros = _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
      count += (c - first) - zeros;
    }
    alignas(16) std::uint8_t lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), seen_lanes);
    for (const std::uint8_t lane : lanes) seen |= lane;
#endif
    for (; c < cols; ++c) {
      profile[c] |= row[c];
      seen |= row[c];
      count += row[c] != 0 ? 1 : 0;
    }
    return count;
  }

  // First and last columns with a non-zero pixel; (cols, -1) when there are none.
  std::pair<int, int> column_span() const {
    const auto is_set = [](std::uint8_t value) { return value != 0; };
    const auto first = std::find_if(column_or.begin(), column_or.end(), is_set);
    if (first == column_or.end()) return {static_cast<int>(column_or.size()), -1};
    const auto last = std::find_if(column_or.rbegin(), column_or.rend(), is_set);
    return {static_cast<int>(first - column_or.begin()),
            static_cast<int>(column_or.rend() - last) - 1};
  }
};

}  // namespace

NonZero nonzero_extent(const cv::Mat& plane) {
  if (plane.type() != CV_8UC1 || plane.dims != 2) {
    throw ArgumentError("non-zero extent needs a 2-D 8-bit single-channel plane, got type " +
                        std::to_string(plane.type()));
  }
  PlaneScan scan(plane.cols);
  int top = plane.rows, bottom = -1;
  std::int64_t area = 0;
  for (int r = 0; r < plane.rows; ++r) {
    const int count = scan.add_row(plane.ptr<std::uint8_t>(r));
    if (count == 0) continue;
    top = std::min(top, r);
    bottom = r;
    area += count;
  }
  const bool binary = (scan.seen & 0xfe) == 0;
  if (area == 0) return {{}, 0, binary};
  const auto [left, right] = scan.column_span();
  return {cv::Rect(left, top, right - left + 1, bottom - top + 1), area, binary};
}

}  // namespace kovra_utils::geometry

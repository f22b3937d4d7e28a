#pragma once

// Planar geometry: exact polygon clipping through the GEOS C API, and polygon filling restricted
// to a window of the plane. Every clipper owns its own GEOS context (the reentrant API), so
// clippers on different threads share nothing; every GEOS handle is owned by a unique_ptr, so
// each error path releases it.

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace kovra_utils::geometry {

/// A simple polygon, convex or not, built once and clipped against many rectangles.
class PolygonClipper {
 public:
  /// The polygon through `outline`, closed implicitly (a repeated first point at the end is
  /// accepted). Throws ContentError when GEOS cannot build it (fewer than three points).
  explicit PolygonClipper(const std::vector<cv::Point2d>& outline);
  ~PolygonClipper();
  PolygonClipper(PolygonClipper&&) noexcept;
  PolygonClipper& operator=(PolygonClipper&&) noexcept;
  PolygonClipper(const PolygonClipper&) = delete;
  PolygonClipper& operator=(const PolygonClipper&) = delete;

  /// Area of the polygon's intersection with the axis-aligned rectangle
  /// [x_min, x_max] x [y_min, y_max], in continuous coordinates; 0 for an empty rectangle.
  /// Throws ContentError when GEOS fails on the polygon (for example a self-intersecting one).
  double intersection_area(double x_min, double y_min, double x_max, double y_max) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// The pixels of `window` that cv::fillPoly sets when it fills the single polygon `polygon`
/// into a whole plane of `plane_size` (colour 1, 8-connected lines, no shift), as a CV_8U 0/1
/// image of window.size(). The cost grows with the window and the edges passing near it, not
/// with the plane. `window` must lie inside the plane (ArgumentError otherwise); vertices must
/// lie within +-2^29 (the caller checks).
cv::Mat fill_polygon_window(const std::vector<cv::Point>& polygon, cv::Size plane_size,
                            cv::Rect window);

/// Tight rectangle and count of the non-zero pixels of a single-channel CV_8U plane, and whether
/// it holds nothing but 0 and 1.
struct NonZero {
  cv::Rect bounds;  ///< (0, 0, 0, 0) when there are none
  std::int64_t area = 0;
  bool binary = true;  ///< every pixel is 0 or 1
};

/// All three in one scan, sixteen pixels at a time where the processor allows. Stands in for
/// cv::boundingRect on planes: OpenCV 4.6 can return a rectangle one column short for some 8-bit
/// planes. ArgumentError for any other type.
NonZero nonzero_extent(const cv::Mat& plane);

}  // namespace kovra_utils::geometry

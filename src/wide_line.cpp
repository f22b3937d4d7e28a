// Wide lines drawn the way PIL's ImageDraw draws them: each segment is a four-sided polygon
// filled by a scan-line filler, with no joints between segments.

#include "draw.hpp"

#include <kovra_utils/types.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace kovra_utils::draw {

namespace {

// Halves away from zero / halves toward zero, symmetric around zero.
template <class Real>
int round_half_up(Real f) {
  return static_cast<int>(f >= 0 ? std::floor(f + Real(0.5)) : -std::floor(std::fabs(f) + Real(0.5)));
}

template <class Real>
int round_half_down(Real f) {
  return static_cast<int>(f >= 0 ? std::ceil(f - Real(0.5)) : -std::ceil(std::fabs(f) - Real(0.5)));
}

struct Edge {
  int x0, y0;
  int xmin, ymin, xmax, ymax;
  float dx;  // single precision, as the filler this copies computes its crossings
};

Edge make_edge(cv::Point a, cv::Point b) {
  Edge e{a.x, a.y, std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x),
         std::max(a.y, b.y), 0.0F};
  if (a.y != b.y) e.dx = static_cast<float>(b.x - a.x) / static_cast<float>(b.y - a.y);
  return e;
}

float crossing(const Edge& e, int y) { return static_cast<float>(y - e.y0) * e.dx + e.x0; }

void hline(cv::Mat& image, int x0, int y, int x1, const cv::Scalar& colour) {
  if (y < 0 || y >= image.rows) return;
  x0 = std::max(x0, 0);
  x1 = std::min(x1, image.cols - 1);
  if (x0 <= x1) image.row(y).colRange(x0, x1 + 1).setTo(colour);
}

// Moves a crossing at a corner where two edges meet so that the corner pixel joins the rows
// next to it.
void connect_corner(std::vector<float>& xx, const std::vector<Edge>& edges, std::size_t i, int y) {
  const Edge& current = edges[i];
  for (std::size_t k = 0; k < i; ++k) {
    const Edge& other = edges[k];
    if ((y != other.ymin && y != other.ymax) || other.dx == 0) continue;
    if (std::round(xx.back()) != std::round(crossing(other, y))) continue;
    const int next = y == current.ymax ? y - 1 : y + 1;
    if (next < other.ymin || next > other.ymax) continue;
    const float here = crossing(current, next);
    const float there = crossing(other, next);
    if (xx.back() > here + 1 && xx.back() > there + 1) {
      xx.back() = std::round(std::max(here, there)) + 1;
    } else if (xx.back() < here - 1 && xx.back() < there - 1) {
      xx.back() = std::round(std::min(here, there)) - 1;
    }
    return;
  }
}

void fill_polygon_edges(cv::Mat& image, const std::vector<Edge>& all, const cv::Scalar& colour) {
  int ymin = image.rows - 1;
  int ymax = 0;
  std::vector<Edge> edges;
  for (const Edge& e : all) {
    ymin = std::min(ymin, e.ymin);
    ymax = std::max(ymax, e.ymax);
    if (e.ymin == e.ymax) {
      hline(image, e.xmin, e.ymin, e.xmax, colour);
    } else {
      edges.push_back(e);
    }
  }
  ymin = std::max(ymin, 0);
  ymax = std::min(ymax, image.rows);
  std::vector<float> xx;
  for (int y = ymin; y <= ymax; ++y) {
    xx.clear();
    for (std::size_t i = 0; i < edges.size(); ++i) {
      const Edge& e = edges[i];
      if (y < e.ymin || y > e.ymax) continue;
      xx.push_back(crossing(e, y));
      if (y == e.ymax && y < ymax) {
        xx.push_back(xx.back());
      } else if ((y == e.ymin || y == e.ymax) && e.dx != 0) {
        connect_corner(xx, edges, i, y);
      }
    }
    std::sort(xx.begin(), xx.end());
    for (std::size_t i = 1; i < xx.size(); i += 2) {
      hline(image, round_half_up(xx[i - 1]), y, round_half_down(xx[i]), colour);
    }
  }
}

}  // namespace

void wide_line(cv::Mat& image, cv::Point from, cv::Point to, const cv::Scalar& colour,
               int width) {
  if (width < 2) throw ArgumentError("wide line needs a width of 2 or more, got " +
                                     std::to_string(width));
  const int dx = to.x - from.x;
  const int dy = to.y - from.y;
  if (dx == 0 && dy == 0) {
    hline(image, from.x, from.y, from.x, colour);
    return;
  }
  const double length = std::hypot(dx, dy);
  const double half = (width - 1) / 2.0;
  const double ratio_max = round_half_up(half) / length;
  const double ratio_min = round_half_down(half) / length;
  const int dxmin = round_half_down(ratio_min * dy);
  const int dxmax = round_half_down(ratio_max * dy);
  const int dymin = round_half_down(ratio_min * dx);
  const int dymax = round_half_down(ratio_max * dx);
  const cv::Point corners[4] = {{from.x - dxmin, from.y + dymax},
                                {to.x - dxmin, to.y + dymax},
                                {to.x + dxmax, to.y - dymin},
                                {from.x + dxmax, from.y - dymin}};
  std::vector<Edge> edges;
  for (int i = 0; i < 4; ++i) edges.push_back(make_edge(corners[i], corners[(i + 1) % 4]));
  fill_polygon_edges(image, edges, colour);
}

}  // namespace kovra_utils::draw

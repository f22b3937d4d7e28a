// The behaviour tables of a tracked clip, measured from the masks' crops, beside a dense
// formulation (a full-frame plane per mask, brute-force distances between boundary pixels) that
// must give identical tables.
//
//   bench_behaviour CLIP_DIR [--subset N] [--repeats R]
//
// The clip is loaded once (not timed). The crop-based tables are timed on the whole clip and on
// its first N positions (default 20); the dense formulation is far too slow for the whole clip, so
// it runs on the first N positions only and its time is scaled to the clip's length. Times are CPU
// seconds of the calling thread (everything runs on one core). Run it from the folder the clip
// was generated in: image paths in the clip are relative.

#include "behaviour_measures.hpp"
#include "clip_cache.hpp"

#include <kovra_utils/behaviour.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <limits>
#include <string>

namespace {

namespace ku = kovra_utils;
namespace bd = kovra_utils::behaviour_detail;

double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Least CPU time of `repeats` runs of `work`.
double best_of(int repeats, const std::function<void()>& work) {
  double best = std::numeric_limits<double>::infinity();
  for (int r = 0; r < repeats; ++r) {
    const double start = thread_seconds();
    work();
    best = std::min(best, thread_seconds() - start);
  }
  return best;
}

// A feeder along the top and a drinker on the right, scaled to the frame.
ku::Zones bench_zones(cv::Size frame) {
  const auto zone = [&](const std::string& name, std::vector<cv::Point> outline) {
    cv::Mat plane = cv::Mat::zeros(frame, CV_8U);
    cv::fillPoly(plane, std::vector<std::vector<cv::Point>>{outline}, 1);
    std::vector<cv::Point2d> points(outline.begin(), outline.end());
    return ku::Zone{name, {points}, ku::Mask::from_dense(plane)};
  };
  const int w = frame.width, h = frame.height;
  return {zone("feeder", {{w / 5, 0}, {4 * w / 5, 0}, {4 * w / 5 - 40, h / 4}, {w / 5 + 40, h / 4}}),
          zone("drinker", {{4 * w / 5, 2 * h / 3}, {w - 1, 2 * h / 3}, {w - 1, h - 1}, {4 * w / 5, h - 1}})};
}

// ---- the dense formulation ----------------------------------------------------------------------

struct DenseAnimal {
  cv::Mat plane;                      // full frame, 0/1
  std::vector<cv::Point> boundary;    // set pixels with a 4-neighbour unset or off the frame
};

bd::PixelSums dense_sums(const cv::Mat& plane) {
  bd::PixelSums s;
  for (int y = 0; y < plane.rows; ++y) {
    const auto* row = plane.ptr<uchar>(y);
    for (int x = 0; x < plane.cols; ++x) {
      if (!row[x]) continue;
      ++s.area;
      s.x += x;
      s.y += y;
      s.xx += static_cast<std::int64_t>(x) * x;
      s.yy += static_cast<std::int64_t>(y) * y;
      s.xy += static_cast<std::int64_t>(x) * y;
    }
  }
  return s;
}

std::vector<cv::Point> boundary_pixels(const cv::Mat& plane) {
  std::vector<cv::Point> points;
  const auto set = [&](int x, int y) {
    return x >= 0 && y >= 0 && x < plane.cols && y < plane.rows && plane.at<uchar>(y, x) != 0;
  };
  for (int y = 0; y < plane.rows; ++y) {
    for (int x = 0; x < plane.cols; ++x) {
      if (set(x, y) && (!set(x - 1, y) || !set(x + 1, y) || !set(x, y - 1) || !set(x, y + 1))) {
        points.emplace_back(x, y);
      }
    }
  }
  return points;
}

std::int64_t dense_distance2(const DenseAnimal& a, const DenseAnimal& b) {
  if (cv::countNonZero(a.plane & b.plane) > 0) return 0;
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  for (const cv::Point& p : a.boundary) {
    for (const cv::Point& q : b.boundary) {
      const std::int64_t dx = p.x - q.x, dy = p.y - q.y;
      best = std::min(best, dx * dx + dy * dy);
    }
  }
  return best;
}

bd::PositionMeasure dense_position(const ku::FrameRecord& record, const std::vector<cv::Mat>& zones,
                                   std::int64_t contact2) {
  bd::PositionMeasure measure;
  measure.frame_index = record.frame_index;
  std::vector<DenseAnimal> dense;
  for (const bd::PresentAnimal& animal : bd::present_animals(record)) {
    DenseAnimal d{animal.mask->dense(), {}};
    d.boundary = boundary_pixels(d.plane);
    bd::AnimalMeasure& m = measure.animals.emplace_back();
    m.object_id = animal.object_id;
    m.box_key = *animal.box_key;
    m.sums = dense_sums(d.plane);
    for (const cv::Mat& zone : zones) m.zone_pixels.push_back(cv::countNonZero(d.plane & zone));
    dense.push_back(std::move(d));
  }
  const std::size_t n = dense.size();
  std::vector<std::int64_t> d2(n * n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) d2[i * n + j] = d2[j * n + i] = dense_distance2(dense[i], dense[j]);
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::optional<bd::Nearest> best;
    for (std::size_t j = 0; j < n; ++j) {
      if (j != i && (!best || d2[i * n + j] < best->distance2)) best = bd::Nearest{j, d2[i * n + j]};
    }
    measure.nearest.push_back(best);
    for (std::size_t j = i + 1; j < n; ++j) {
      if (d2[i * n + j] <= contact2) measure.contacts.push_back({i, j});
    }
  }
  return measure;
}

ku::BehaviourTables dense_tables(const ku::ClipData& clip, const ku::Zones& zones, double spf) {
  const ku::BehaviourOptions options;
  std::vector<cv::Mat> planes;
  for (const ku::Zone& zone : zones) planes.push_back(zone.raster.dense());
  bd::ClipMeasure measure;
  for (const auto& [key, record] : clip) {
    measure.positions.push_back(dense_position(record, planes, bd::contact_distance2(options.contact_px)));
  }
  return bd::build_tables({measure}, spf, zones, options);
}

bool same_tables(const ku::BehaviourTables& a, const ku::BehaviourTables& b) {
  return a.frames.to_csv() == b.frames.to_csv() && a.bouts.to_csv() == b.bouts.to_csv() &&
         a.contact_bouts.to_csv() == b.contact_bouts.to_csv() && a.contacts.to_csv() == b.contacts.to_csv() &&
         a.summary.to_csv() == b.summary.to_csv();
}

ku::ClipData first_positions(const ku::ClipData& clip, std::size_t count) {
  ku::ClipData subset;
  for (const auto& [key, record] : clip) {
    if (subset.size() == count) break;
    subset[key] = record;
  }
  return subset;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_behaviour CLIP_DIR [--subset N] [--repeats R]\n");
    return 2;
  }
  std::size_t subset_size = 20;
  int repeats = 3;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--subset") subset_size = std::stoul(argv[i + 1]);
    if (flag == "--repeats") repeats = std::stoi(argv[i + 1]);
  }
  const ku::ClipData& clip = kovra_bench::cached_clip(argv[1]);
  const cv::Size frame = clip.begin()->second.masks_dict.begin()->second.size();
  const ku::Zones zones = bench_zones(frame);
  constexpr double spf = 0.2;
  const ku::ClipData subset = first_positions(clip, subset_size);

  ku::BehaviourTables whole, sparse_subset, dense_subset;
  const double sparse_s = best_of(repeats, [&] { whole = ku::clip_behaviour(clip, spf, zones); });
  const double sparse_subset_s = best_of(repeats, [&] { sparse_subset = ku::clip_behaviour(subset, spf, zones); });
  const double dense_subset_s = best_of(1, [&] { dense_subset = dense_tables(subset, zones, spf); });
  const bool identical = same_tables(sparse_subset, dense_subset);
  const double scale = static_cast<double>(clip.size()) / static_cast<double>(subset.size());
  const double dense_scaled_s = dense_subset_s * scale;

  std::printf("clip: %zu positions, %zu frame rows, %zu bouts, %zu contact bouts, frame %d x %d\n", clip.size(),
              whole.frames.row_count(), whole.bouts.row_count(), whole.contact_bouts.row_count(), frame.width,
              frame.height);
  std::printf("crop-based, whole clip:        %8.3f s CPU (target <= 0.5 s)\n", sparse_s);
  std::printf("crop-based, first %3zu:         %8.3f s CPU\n", subset.size(), sparse_subset_s);
  std::printf("dense, first %3zu:              %8.3f s CPU\n", subset.size(), dense_subset_s);
  std::printf("dense, scaled to whole clip:   %8.3f s CPU (x %.1f)\n", dense_scaled_s, scale);
  std::printf("ratio crop-based / dense:      1/%.1f on the subset, 1/%.1f whole clip vs scaled dense (target <= 1/20)\n",
              dense_subset_s / sparse_subset_s, dense_scaled_s / sparse_s);
  std::printf("tables identical on the subset: %s\n", identical ? "yes" : "NO");
  return identical ? 0 : 1;
}

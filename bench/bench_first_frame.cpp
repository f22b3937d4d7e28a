// Library work of one initializer frame (everything between the two models: pen ratios, size
// filter, areas, intersection table, duplicate removal, renumbering), on mask crops and, as the
// baseline, the same steps on dense full-frame masks; and get_in_pen_mask at two frame sizes.

#include <kovra_utils/first_frame.hpp>

#include "first_frame_steps.hpp"

#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;
namespace steps = kovra_utils::first_frame_steps;
using kovra_utils::Box;
using kovra_utils::FilteredDetections;
using kovra_utils::Mask;

const cv::Size kFrame(2130, 1440);
constexpr int kBoxes = 12;

// A non-convex pen over most of the frame, written once per process.
const std::string& pen_file() {
  static const std::string path = [] {
    const fs::path file = fs::temp_directory_path() / "kovra_bench_first_frame_pen.json";
    std::ofstream(file) << R"({"shapes": [{"points": [[60.5, 40.2], [1050, 90], [2080, 35],
      [2100, 700], [1900, 1400], [1100, 1300], [300, 1420], [45, 800], [400, 600]]}]})";
    return file.string();
  }();
  return path;
}

// Twelve pig-sized ellipses in three rows, two pairs overlapping enough to be duplicates.
struct Frame {
  FilteredDetections detections;
  std::vector<Mask> masks;
  std::vector<cv::Mat> dense;
};

Frame make_frame(cv::Size frame_size) {
  Frame frame;
  for (int i = 0; i < kBoxes; ++i) {
    const int column = i % 4;
    const int row = i / 4;
    cv::Point center(300 + 450 * column, 250 + 420 * row);
    if (i == 5 || i == 10) center = cv::Point(300 + 450 * (column - 1) + 60, 250 + 420 * row + 30);
    const cv::Size axes(150, 90);
    cv::Mat plane = cv::Mat::zeros(frame_size, CV_8U);
    cv::ellipse(plane, center, axes, 20.0 * i, 0, 360, cv::Scalar(1), cv::FILLED);
    frame.detections.boxes.push_back(Box{double(center.x - 160), double(center.y - 160),
                                         double(center.x + 160), double(center.y + 160)});
    frame.detections.scores.push_back(0.9 - 0.01 * i);
    frame.detections.labels.push_back("pig");
    frame.masks.push_back(Mask::from_dense(plane));
    frame.dense.push_back(plane);
  }
  return frame;
}

// ---- One initializer frame ------------------------------------------------------------------

FilteredDetections filter_boxes(const FilteredDetections& detections) {
  const auto pen = kovra_utils::draw_pen("frame.jpg", pen_file()).polygon_points;
  return steps::keep_plausible_size(steps::keep_in_pen(detections, pen), kFrame.height);
}

void BM_InitializerFrame_Crops(benchmark::State& state) {
  const Frame frame = make_frame(kFrame);
  std::size_t in_pen = 0;
  std::size_t kept_masks = 0;
  for (auto _ : state) {
    const FilteredDetections kept = filter_boxes(frame.detections);
    const steps::KeptMasks result = steps::remove_duplicates(kept, frame.masks);
    in_pen = kept.boxes.size();
    kept_masks = result.masks.size();
    benchmark::DoNotOptimize(result);
  }
  state.counters["in_pen"] = static_cast<double>(in_pen);
  state.counters["kept"] = static_cast<double>(kept_masks);
}
BENCHMARK(BM_InitializerFrame_Crops)->Unit(benchmark::kMillisecond);

// The same steps on dense planes: full-frame counts, full-frame pairwise ANDs, dense copies.
void BM_InitializerFrame_DenseBaseline(benchmark::State& state) {
  const Frame frame = make_frame(kFrame);
  std::size_t kept_masks = 0;
  for (auto _ : state) {
    const FilteredDetections kept = filter_boxes(frame.detections);
    const std::size_t n = frame.dense.size();
    std::vector<std::int64_t> areas;
    for (const cv::Mat& plane : frame.dense) areas.push_back(cv::countNonZero(plane));
    kovra_utils::IntersectionTable table([n] {
      std::vector<std::string> keys;
      for (std::size_t i = 0; i < n; ++i) keys.push_back("Box" + std::to_string(i));
      return keys;
    }());
    cv::Mat both;
    for (std::size_t i = 0; i < n; ++i) {
      if (areas[i] <= 1) continue;
      for (std::size_t j = 0; j < i; ++j) {
        cv::bitwise_and(frame.dense[i], frame.dense[j], both);
        const double common = cv::countNonZero(both);
        table.set(i, j, areas[i] > 0 ? common / areas[i] * 100 : 0.0);
        table.set(j, i, areas[j] > 0 ? common / areas[j] * 100 : 0.0);
      }
    }
    const auto boxkeys = steps::kept_indices(n, steps::duplicate_indices(table, kept.scores));
    std::vector<cv::Mat> renumbered;
    for (const std::int64_t i : boxkeys) renumbered.push_back(frame.dense[i].clone());
    benchmark::DoNotOptimize(renumbered);
    kept_masks = renumbered.size();
  }
  state.counters["kept"] = static_cast<double>(kept_masks);
}
BENCHMARK(BM_InitializerFrame_DenseBaseline)->Unit(benchmark::kMillisecond);

// ---- get_in_pen_mask at two frame sizes -----------------------------------------------------

cv::Size frame_of_scale(std::int64_t scale) {
  return {kFrame.width * static_cast<int>(scale), kFrame.height * static_cast<int>(scale)};
}

// A pig mask straddling the pen's left edge, at the same place in either frame.
Mask border_mask(cv::Size frame_size) {
  cv::Mat plane = cv::Mat::zeros(frame_size, CV_8U);
  cv::ellipse(plane, cv::Point(120, 700), cv::Size(150, 90), 30, 0, 360, cv::Scalar(1),
              cv::FILLED);
  return Mask::from_dense(plane);
}

void BM_GetInPenMask_Crops(benchmark::State& state) {
  const Mask mask = border_mask(frame_of_scale(state.range(0)));
  const std::vector<std::string> frame_names = {"frame.jpg"};
  for (auto _ : state) {
    benchmark::DoNotOptimize(kovra_utils::get_in_pen_mask(0, mask, pen_file(), frame_names));
  }
  state.SetLabel(std::to_string(mask.rows()) + " x " + std::to_string(mask.cols()));
}
BENCHMARK(BM_GetInPenMask_Crops)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// Baseline: the pen filled into a full-frame plane and ANDed with the dense mask.
void BM_GetInPenMask_DenseBaseline(benchmark::State& state) {
  const cv::Size size = frame_of_scale(state.range(0));
  const cv::Mat dense = border_mask(size).dense();
  for (auto _ : state) {
    const auto pen = kovra_utils::draw_pen("frame.jpg", pen_file()).polygon_points;
    std::vector<cv::Point> points;
    for (const auto& p : pen) points.emplace_back(static_cast<int>(p.x), static_cast<int>(p.y));
    cv::Mat pen_mask = cv::Mat::zeros(size, CV_8U);
    cv::fillPoly(pen_mask, std::vector<std::vector<cv::Point>>{points}, cv::Scalar(1));
    cv::Mat result;
    cv::bitwise_and(dense, pen_mask, result);
    benchmark::DoNotOptimize(result);
  }
  state.SetLabel(std::to_string(size.height) + " x " + std::to_string(size.width));
}
BENCHMARK(BM_GetInPenMask_DenseBaseline)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

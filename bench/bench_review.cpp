// Tracking review on a loaded clip: the question report (including its CSV write) and the
// overlap-frame resolution per compared frame.
//
//   bench_review CLIP_DIR [--report-dir DIR] [benchmark flags]
//
// --report-dir writes the report of CLIP_DIR to DIR once and exits (for a byte-for-byte check
// with bench/check_report.py). Run it from the folder the clip was generated in: image paths
// in the clip are relative. The resolution benchmarks compare the frames before the first
// overlap run of the clip's report; the encoder stand-in returns constant features, so the
// time measured is the library's own work plus one decode of each distinct frame image
// (BM_FrameImageDecode, counted as decoded_images). BM_ResolutionDenseBaseline does the same
// steps the way a numpy user would: dense float planes per box and a frame image decoded per use.

#include "clip_cache.hpp"

#include <kovra_utils/annotation.hpp>
#include <kovra_utils/review.hpp>

#include <benchmark/benchmark.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <iostream>
#include <set>
#include <streambuf>
#include <string>
#include <vector>

namespace {

using kovra_utils::ClipData;
using kovra_utils::Mask;

std::string clip_dir;

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
};

// Silences std::cout for its lifetime.
class QuietCout {
 public:
  QuietCout() : previous_(std::cout.rdbuf(&null_)) {}
  ~QuietCout() { std::cout.rdbuf(previous_); }

 private:
  NullBuffer null_;
  std::streambuf* previous_;
};

const ClipData& clip() { return kovra_bench::cached_clip(clip_dir); }

std::filesystem::path scratch_dir() {
  const auto dir = std::filesystem::temp_directory_path() / "kovra_bench_review";
  std::filesystem::create_directories(dir);
  return dir;
}

void BM_GenerateTrackingReport(benchmark::State& state) {
  const ClipData& data = clip();
  const std::string dir = scratch_dir().string();
  QuietCout quiet;
  std::size_t rows = 0;
  for (auto _ : state) {
    const auto report = kovra_utils::generate_tracking_report(data, dir);
    rows = report.overlap_frames_data.row_count() + report.zero_area_frames.row_count();
    benchmark::DoNotOptimize(report);
  }
  state.counters["frames"] = static_cast<double>(data.size());
  state.counters["report_rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_GenerateTrackingReport)->Unit(benchmark::kMillisecond);

// An encoder stand-in returning constant features at once.
class ConstantEncoder : public kovra_utils::SegmentationPredictor {
 public:
  void set_image(const cv::Mat&) override {}
  kovra_utils::Prediction predict(const std::optional<cv::Mat>&, const std::optional<cv::Mat>&,
                                  const cv::Mat&, bool) override {
    return {};
  }
  std::map<std::string, cv::Mat> image_encoder(const cv::Mat&) override {
    static const int dims[] = {1, 256, 1, 1};
    return {{"vision_features", cv::Mat(4, dims, CV_32F, cv::Scalar(0.5f))}};
  }
};

// The clip's first box pair overlap run with five clean frames before it, as a one-pair
// overlap table.
kovra_utils::Table first_overlap_run(const ClipData& data) {
  QuietCout quiet;
  const auto report = kovra_utils::generate_tracking_report(data, scratch_dir().string());
  const auto runs = kovra_utils::find_continuous_frames(report.overlap_frames_data, "Box Pair", 2);
  for (const auto& [pair, pair_runs] : runs) {
    for (const auto& run : pair_runs) {
      if (run.front() < 5 || static_cast<std::size_t>(run.front() + 1) >= data.size()) continue;
      kovra_utils::Table table(kovra_utils::tracking_report_columns());
      for (auto frame : run) table.append_row({frame, pair, {}, {}, {}, {}, {}, {}});
      return table;
    }
  }
  throw std::runtime_error("no overlap run with five frames before it in " + clip_dir);
}

void BM_ResolutionPerComparedFrame(benchmark::State& state) {
  const ClipData& data = clip();
  const kovra_utils::Table table = first_overlap_run(data);
  ConstantEncoder encoder;
  QuietCout quiet;
  std::size_t compared = 0;
  for (auto _ : state) {
    const auto result = kovra_utils::process_overlap_frames(table, data, encoder);
    compared = result.worst_boxes.size();
    benchmark::DoNotOptimize(result);
  }
  state.counters["compared_frames"] = static_cast<double>(compared);
  // A call decodes each distinct image once: those of the five frames before the test frame and
  // of the frame after it, which they are compared with (generated clips share one image).
  const std::int64_t test_frame = table.integer(0, "Frame ID");
  std::set<std::string> images = {data.at(test_frame + 1).image_path};
  for (std::int64_t m = test_frame - 5; m < test_frame; ++m) images.insert(data.at(m).image_path);
  state.counters["decoded_images"] = static_cast<double>(images.size());
  state.counters["ms_per_compared_frame"] = benchmark::Counter(
      static_cast<double>(compared) * 1e-3,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ResolutionPerComparedFrame)->Unit(benchmark::kMillisecond);

// What a call spends per distinct frame image before any mask work: decoding it and turning
// it into RGB. BM_ResolutionPerComparedFrame's time less decoded_images of these is the
// library's own work.
void BM_FrameImageDecode(benchmark::State& state) {
  const std::string path = clip().begin()->second.image_path;
  for (auto _ : state) {
    cv::Mat rgb;
    cv::cvtColor(cv::imread(path, cv::IMREAD_COLOR), rgb, cv::COLOR_BGR2RGB);
    benchmark::DoNotOptimize(rgb);
  }
}
BENCHMARK(BM_FrameImageDecode)->Unit(benchmark::kMillisecond);

// --- dense baseline ----------------------------------------------------------------------------

std::vector<cv::Mat> dense_float_planes(const kovra_utils::FrameRecord& record,
                                        const std::vector<std::string>& boxes) {
  std::vector<cv::Mat> planes;
  for (const auto& box : boxes) {
    cv::Mat plane;
    record.masks_dict.at(box).dense().convertTo(plane, CV_32F);
    planes.push_back(plane);
  }
  return planes;
}

cv::Mat read_rgb(const std::string& path) {
  cv::Mat rgb;
  cv::cvtColor(cv::imread(path, cv::IMREAD_COLOR), rgb, cv::COLOR_BGR2RGB);
  return rgb;
}

double dense_iou(const cv::Mat& a, const cv::Mat& b) {
  const double both = cv::countNonZero(a.mul(b));
  const double either = cv::countNonZero(a + b);
  return both / (either + 1e-6);
}

std::array<int, 4> dense_box(const cv::Mat& plane) {
  std::vector<cv::Point> points;
  cv::Mat binary;
  plane.convertTo(binary, CV_8U);
  cv::findNonZero(binary, points);
  if (points.empty()) return {0, 0, 0, 0};
  const cv::Rect r = cv::boundingRect(points);
  return {r.x, r.y, r.x + r.width - 1, r.y + r.height - 1};
}

std::vector<Mask> to_masks(const std::vector<cv::Mat>& planes) {
  std::vector<Mask> masks;
  for (const auto& plane : planes) masks.push_back(Mask::from_dense(plane));
  return masks;
}

void BM_ResolutionDenseBaseline(benchmark::State& state) {
  const ClipData& data = clip();
  const kovra_utils::Table table = first_overlap_run(data);
  const std::string pair = table.text(0, "Box Pair");
  const std::vector<std::string> boxes = {pair.substr(0, pair.find('-')),
                                          pair.substr(pair.find('-') + 1)};
  const std::int64_t test_frame = table.integer(0, "Frame ID");
  ConstantEncoder encoder;
  for (auto _ : state) {
    for (std::int64_t m = test_frame - 5; m < test_frame; ++m) {
      const auto& old_record = data.at(m);
      const auto& new_record = data.at(test_frame + 1);
      const auto old_planes = dense_float_planes(old_record, boxes);
      const auto new_planes = dense_float_planes(new_record, boxes);
      const cv::Mat image_old = read_rgb(old_record.image_path);
      const cv::Mat image_new = read_rgb(new_record.image_path);
      double score = 0;
      for (std::size_t k = 0; k < boxes.size(); ++k) {
        score += dense_iou(old_planes[k], new_planes[k]);
        score += dense_box(old_planes[k])[0] + dense_box(new_planes[k])[0];
      }
      benchmark::DoNotOptimize(score);
      benchmark::DoNotOptimize(
          kovra_utils::generate_sam2_image_features(image_old, to_masks(old_planes), encoder));
      benchmark::DoNotOptimize(
          kovra_utils::generate_sam2_image_features(image_new, to_masks(new_planes), encoder));
    }
  }
  state.counters["ms_per_compared_frame"] = benchmark::Counter(
      5e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ResolutionDenseBaseline)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string report_dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--report-dir" && i + 1 < argc) {
      report_dir = argv[++i];
    } else {
      clip_dir = arg;
    }
  }
  if (clip_dir.empty()) {
    std::cerr << "usage: bench_review CLIP_DIR [--report-dir DIR] [benchmark flags]\n";
    return 2;
  }
  if (!report_dir.empty()) {
    kovra_utils::generate_tracking_report(clip(), report_dir);
    return 0;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

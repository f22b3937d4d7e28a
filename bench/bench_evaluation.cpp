// Tracking metrics of a 600-frame, 10-animal clip at 1440 x 2130 against a perturbed copy of
// itself (identity swaps, dropped detections, jittered masks), in masks mode:
//  - the whole evaluation (HOTA, CLEAR, Identity) on crop-stored masks, where pairs whose
//    rectangles do not meet cost nothing;
//  - for comparison, the dense formulation of the same similarities: every frame's masks as
//    full-frame planes and every pair's IoU counted over the whole frame. It runs on the first
//    `kDenseFrames` frames and reports its time per frame next to the evaluation's;
//  - a tracker that gives every detection a new identity (600 frames x 10 animals, boxes, as a
//    MOT file would give them): 6000 predicted identities against 10, where tables over every
//    identity pair would grow with their product. "peak_rss_mb" is the process's peak resident
//    size after the run (run this benchmark alone, --benchmark_filter=NewIdentity, to read it).

#include <kovra_utils/evaluation.hpp>

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>

#include <cmath>
#include <random>

namespace {

using kovra_utils::Mask;
using kovra_utils::TrackMasks;

const cv::Size kFrame(2130, 1440);
constexpr int kFrames = 600;
constexpr int kAnimals = 10;
constexpr int kDenseFrames = 20;

// A pig seen from above, an ellipse of about 300 x 140 pixels, walking slowly around its spot.
Mask pig(int animal, int frame, cv::Point jitter) {
  const double phase = 0.02 * frame + animal;
  const cv::Point centre(250 + (animal % 5) * 400 + static_cast<int>(120 * std::cos(phase)),
                         400 + (animal / 5) * 600 + static_cast<int>(120 * std::sin(phase)));
  cv::Mat crop = cv::Mat::zeros(200, 340, CV_8U);
  cv::ellipse(crop, {170, 100}, {150, 70}, 15.0 * animal + 0.5 * frame, 0, 360, 1, cv::FILLED);
  return Mask::from_crop(kFrame, centre + jitter - cv::Point(170, 100), crop);
}

TrackMasks ground_truth() {
  TrackMasks tracks;
  for (int f = 0; f < kFrames; ++f) {
    auto& objects = tracks[f];
    for (int a = 0; a < kAnimals; ++a) objects[a + 1] = pig(a, f, {0, 0});
  }
  return tracks;
}

// Identities 1 and 2 swapped for frames 200-399 and 5 and 6 from frame 450, 5 % of detections
// dropped, every mask shifted by up to 6 pixels.
TrackMasks perturbed() {
  std::mt19937 random(1);
  std::uniform_int_distribution<int> shift(-6, 6);
  std::uniform_real_distribution<double> chance(0, 1);
  TrackMasks tracks;
  for (int f = 0; f < kFrames; ++f) {
    auto& objects = tracks[f];
    for (int a = 0; a < kAnimals; ++a) {
      if (chance(random) < 0.05) continue;
      std::int64_t id = a + 1;
      if (f >= 200 && f < 400 && (id == 1 || id == 2)) id = 3 - id;
      if (f >= 450 && (id == 5 || id == 6)) id = 11 - id;
      objects[id] = pig(a, f, {shift(random), shift(random)});
    }
  }
  return tracks;
}

const TrackMasks& truth() {
  static const TrackMasks tracks = ground_truth();
  return tracks;
}

const TrackMasks& prediction() {
  static const TrackMasks tracks = perturbed();
  return tracks;
}

void BM_EvaluateMasks(benchmark::State& state) {
  const TrackMasks& gt = truth();
  const TrackMasks& pred = prediction();
  double hota = 0;
  for (auto _ : state) {
    const auto evaluation = kovra_utils::evaluate_tracking(pred, gt);
    hota = kovra_utils::hota_mean(evaluation.HOTA.HOTA);
    benchmark::DoNotOptimize(hota);
  }
  state.counters["HOTA"] = hota;
  state.counters["per_frame"] = benchmark::Counter(
      kFrames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EvaluateMasks)->Unit(benchmark::kMillisecond)->Iterations(3);

// Every pair's IoU on full-frame planes: what a dense-mask implementation pays before any
// assignment.
void BM_DenseSimilarities(benchmark::State& state) {
  const TrackMasks& gt = truth();
  const TrackMasks& pred = prediction();
  double checksum = 0;
  for (auto _ : state) {
    for (int f = 0; f < kDenseFrames; ++f) {
      std::vector<cv::Mat> gt_planes, pred_planes;
      std::vector<double> gt_areas, pred_areas;
      for (const auto& [id, mask] : gt.at(f)) {
        gt_planes.push_back(mask.dense());
        gt_areas.push_back(cv::countNonZero(gt_planes.back()));
      }
      for (const auto& [id, mask] : pred.at(f)) {
        pred_planes.push_back(mask.dense());
        pred_areas.push_back(cv::countNonZero(pred_planes.back()));
      }
      cv::Mat both;
      for (std::size_t i = 0; i < gt_planes.size(); ++i) {
        for (std::size_t j = 0; j < pred_planes.size(); ++j) {
          cv::bitwise_and(gt_planes[i], pred_planes[j], both);
          const double intersection = cv::countNonZero(both);
          const double united = gt_areas[i] + pred_areas[j] - intersection;
          checksum += united > 0 ? intersection / united : 0.0;
        }
      }
    }
    benchmark::DoNotOptimize(checksum);
  }
  state.counters["per_frame"] = benchmark::Counter(
      kDenseFrames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DenseSimilarities)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_EvaluateNewIdentityPerDetection(benchmark::State& state) {
  kovra_utils::TrackBoxes gt, pred;
  std::int64_t next_id = 1;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> jitter(-4, 4);
  for (int f = 1; f <= kFrames; ++f) {
    for (int a = 0; a < kAnimals; ++a) {
      const kovra_utils::Box box{200.0 * a, 100.0, 200.0 * a + 300, 240.0};
      gt[f][a + 1] = box;
      pred[f][next_id++] = {box.x1 + jitter(random), box.y1 + jitter(random),
                            box.x2 + jitter(random), box.y2 + jitter(random)};
    }
  }
  double idf1 = 0;
  for (auto _ : state) {
    idf1 = kovra_utils::evaluate_tracking(pred, gt).Identity.IDF1;
    benchmark::DoNotOptimize(idf1);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_EvaluateNewIdentityPerDetection)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();

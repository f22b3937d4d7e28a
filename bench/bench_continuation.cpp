// Continuation costs at full frame size (1440 x 2130) with ten pig-sized masks:
//  - the matcher's own work: the last-frame walk over 10 frames, the prompt boxes and the
//    acceptance test of the new masks (the model is a double and image decoding is left out);
//  - IoU and centroid scores of 10 x 10 masks, against the dense full-frame formulation.

#include <kovra_utils/annotation.hpp>
#include <kovra_utils/continuation.hpp>

#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <iostream>
#include <sstream>

namespace {

using kovra_utils::ClipData;
using kovra_utils::FrameRecord;
using kovra_utils::Mask;
using kovra_utils::MasksDict;

const cv::Size kFrame(2130, 1440);

// A pig seen from above: an ellipse of about 300 x 140 pixels.
Mask pig(int index, cv::Point shift = {0, 0}) {
  const cv::Point centre(250 + (index % 5) * 400 + shift.x, 400 + (index / 5) * 600 + shift.y);
  cv::Mat crop = cv::Mat::zeros(200, 340, CV_8U);
  cv::ellipse(crop, {170, 100}, {150, 70}, 15.0 * index, 0, 360, 1, cv::FILLED);
  return Mask::from_crop(kFrame, centre - cv::Point(170, 100), crop);
}

MasksDict pigs(cv::Point shift = {0, 0}) {
  MasksDict masks;
  for (int i = 0; i < 10; ++i) masks["Box" + std::to_string(i)] = pig(i, shift);
  return masks;
}

std::vector<Mask> pig_list(cv::Point shift) {
  std::vector<Mask> masks;
  for (const auto& [key, mask] : pigs(shift)) masks.push_back(mask);
  return masks;
}

// Ten frames: the last nine have one collapsed mask, so the walk goes back to the first.
ClipData clip_of_ten() {
  ClipData clip;
  for (std::int64_t key = 590; key < 600; ++key) {
    FrameRecord record;
    record.frame_index = key;
    record.masks_dict = pigs();
    if (key > 590) record.masks_dict["Box3"] = Mask::from_crop(kFrame, {5, 5}, cv::Mat::ones(2, 2, CV_8U));
    record.mask_areas = kovra_utils::count_mask_areas(record.masks_dict);
    clip[key] = record;
  }
  return clip;
}

// Keeps the walk's message out of the benchmark output.
class SilentCout {
 public:
  SilentCout() : previous_(std::cout.rdbuf(sink_.rdbuf())) {}
  ~SilentCout() { std::cout.rdbuf(previous_); }

 private:
  std::ostringstream sink_;
  std::streambuf* previous_;
};

void BM_MatcherLibraryWork(benchmark::State& state) {
  ClipData clip = clip_of_ten();
  const MasksDict new_masks = pigs({4, 3});
  SilentCout silent;
  for (auto _ : state) {
    const auto best = kovra_utils::find_best_laste_frame(clip);
    std::vector<std::array<int, 4>> boxes;
    for (const auto& [key, mask] : best.best_laste_frame->masks_dict) boxes.push_back(mask.box());
    const auto areas = kovra_utils::count_mask_areas(new_masks);
    const auto table = kovra_utils::intersection_between_masks(new_masks, areas);
    benchmark::DoNotOptimize(boxes);
    benchmark::DoNotOptimize(table.max());
  }
}
BENCHMARK(BM_MatcherLibraryWork)->Unit(benchmark::kMillisecond);

// ---- dense full-frame formulation -----------------------------------------------------------

std::vector<cv::Mat> dense_planes(const std::vector<Mask>& masks) {
  std::vector<cv::Mat> planes;
  for (const Mask& mask : masks) planes.push_back(mask.dense());
  return planes;
}

cv::Mat dense_iou(const std::vector<cv::Mat>& news, const std::vector<cv::Mat>& olds) {
  cv::Mat scores(static_cast<int>(news.size()), static_cast<int>(olds.size()), CV_64F);
  cv::Mat both;
  cv::Mat either;
  for (std::size_t i = 0; i < news.size(); ++i) {
    for (std::size_t j = 0; j < olds.size(); ++j) {
      cv::bitwise_and(news[i], olds[j], both);
      cv::bitwise_or(news[i], olds[j], either);
      scores.at<double>(static_cast<int>(i), static_cast<int>(j)) =
          cv::countNonZero(both) / (cv::countNonZero(either) + 1e-6);
    }
  }
  return scores;
}

cv::Mat dense_centroid_distance(const std::vector<cv::Mat>& news, const std::vector<cv::Mat>& olds) {
  cv::Mat dist(static_cast<int>(news.size()), static_cast<int>(olds.size()), CV_64F);
  for (std::size_t i = 0; i < news.size(); ++i) {
    for (std::size_t j = 0; j < olds.size(); ++j) {
      const cv::Moments a = cv::moments(news[i], false);
      const cv::Moments b = cv::moments(olds[j], false);
      dist.at<double>(static_cast<int>(i), static_cast<int>(j)) =
          std::hypot(a.m10 / a.m00 - b.m10 / b.m00, a.m01 / a.m00 - b.m01 / b.m00);
    }
  }
  double max_dist = 0;
  cv::minMaxLoc(dist, nullptr, &max_dist);
  return 1.0 - dist / (max_dist + 1e-6);
}

void BM_IouScores(benchmark::State& state) {
  const auto news = pig_list({0, 0});
  const auto olds = pig_list({6, -4});
  for (auto _ : state) benchmark::DoNotOptimize(kovra_utils::cal_masks_iou_scores(news, olds));
}
BENCHMARK(BM_IouScores)->Unit(benchmark::kMillisecond);

void BM_IouScoresDenseBaseline(benchmark::State& state) {
  const auto news = dense_planes(pig_list({0, 0}));
  const auto olds = dense_planes(pig_list({6, -4}));
  for (auto _ : state) benchmark::DoNotOptimize(dense_iou(news, olds));
}
BENCHMARK(BM_IouScoresDenseBaseline)->Unit(benchmark::kMillisecond);

void BM_CentroidDistance(benchmark::State& state) {
  const auto news = pig_list({0, 0});
  const auto olds = pig_list({6, -4});
  for (auto _ : state) benchmark::DoNotOptimize(kovra_utils::cal_centroid_distance(news, olds));
}
BENCHMARK(BM_CentroidDistance)->Unit(benchmark::kMillisecond);

void BM_CentroidDistanceDenseBaseline(benchmark::State& state) {
  const auto news = dense_planes(pig_list({0, 0}));
  const auto olds = dense_planes(pig_list({6, -4}));
  for (auto _ : state) benchmark::DoNotOptimize(dense_centroid_distance(news, olds));
}
BENCHMARK(BM_CentroidDistanceDenseBaseline)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

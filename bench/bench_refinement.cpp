// Mask_Refinement::process_video_segments on a tracked clip, against the same steps run on
// dense whole-frame masks (pen clip, components, per-component contour images, moments).
//
// The clip is a folder of annotation files output_pp_<n>.json, e.g. from
//   /usr/bin/python3 gen_clip.py clip1440 --frames 600 --height 1440 --width 2130 --seed 1
// run as: bench_refinement --clip=clip1440 [--height=1440 --width=2130] [benchmark flags]
// Both sides start from the same masks and a fresh Mask_Refinement; the dense run reports how
// many of its cleaned masks differ from the crop-based ones ("mismatched_masks", expected 0)
// and how many the refinement changed ("changed_masks").

#include <kovra_utils/refinement.hpp>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <numbers>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kovra_utils::Centroid;
using kovra_utils::CentroidMap;
using kovra_utils::Mask;
using kovra_utils::Mask_Refinement;
using kovra_utils::VideoSegments;

constexpr int kSubsetFrames = 60;

struct Clip {
  cv::Size size{2130, 1440};
  VideoSegments segments;
  std::vector<std::string> frame_names;
  fs::path pen_json_path;
};

Clip& clip() {
  static Clip instance;
  return instance;
}

// Vertices of one polygon string: identifier, then normalised x y pairs (truncated to pixels).
std::vector<cv::Point> polygon_vertices(const std::string& polygon, cv::Size size) {
  std::istringstream tokens(polygon);
  std::string identifier;
  tokens >> identifier;
  std::vector<cv::Point> vertices;
  for (double x = 0, y = 0; tokens >> x >> y;) {
    vertices.emplace_back(static_cast<int>(x * size.width), static_cast<int>(y * size.height));
  }
  return vertices;
}

// A detection's polygons filled into a crop of their bounding rectangle.
Mask rasterise(const nlohmann::json& polygons, cv::Size size) {
  std::vector<std::vector<cv::Point>> contours;
  for (const auto& polygon : polygons) {
    contours.push_back(polygon_vertices(polygon.get<std::string>(), size));
  }
  std::vector<cv::Point> all;
  for (const auto& contour : contours) all.insert(all.end(), contour.begin(), contour.end());
  if (all.empty()) return Mask(size);
  const cv::Rect box = cv::boundingRect(all);
  cv::Mat crop = cv::Mat::zeros(box.size(), CV_8U);
  cv::fillPoly(crop, contours, 1, cv::LINE_8, 0, -box.tl());
  return Mask::from_crop(size, box.tl(), crop);
}

void load_clip(const fs::path& folder) {
  Clip& c = clip();
  for (std::int64_t frame = 0;; ++frame) {
    const fs::path path = folder / ("output_pp_" + std::to_string(frame) + ".json");
    std::ifstream in(path);
    if (!in) break;
    const nlohmann::json doc = nlohmann::json::parse(in);
    auto& objects = c.segments[frame];
    for (const auto& detection : doc.at("detections")) {
      objects[detection.at("object_id").get<std::int64_t>()] =
          rasterise(detection.at("formatted_polygon"), c.size);
    }
    c.frame_names.push_back("frames/" + std::to_string(frame) + ".jpg");
  }
}

// A non-convex pen over most of the frame, with a notch at the bottom: in the seed-1 clip it
// leaves one pig wholly outside and cuts or splits several others.
void write_pen(cv::Size size) {
  const double w = size.width;
  const double h = size.height;
  nlohmann::json points = nlohmann::json::array();
  for (const auto& [x, y] : std::vector<std::pair<double, double>>{{0.2, 0.02},
                                                                   {0.9, 0.02},
                                                                   {0.9, 0.9},
                                                                   {0.55, 0.9},
                                                                   {0.5, 0.5},
                                                                   {0.45, 0.9},
                                                                   {0.2, 0.9}}) {
    points.push_back({x * w, y * h});
  }
  clip().pen_json_path = fs::temp_directory_path() / "bench_refinement_pen.json";
  std::ofstream(clip().pen_json_path) << nlohmann::json{{"shapes", {{{"points", points}}}}};
}

VideoSegments first_frames(int count) {
  VideoSegments subset;
  for (const auto& [frame, objects] : clip().segments) {
    if (static_cast<int>(subset.size()) == count) break;
    subset[frame] = objects;
  }
  return subset;
}

std::int64_t mask_count(const VideoSegments& segments) {
  std::int64_t count = 0;
  for (const auto& [frame, objects] : segments) count += static_cast<std::int64_t>(objects.size());
  return count;
}

Mask_Refinement fresh_refinement() {
  return Mask_Refinement{.custom_pen_json_path = clip().pen_json_path.string()};
}

// ---------------------------------------------------------------------------------------------
// Dense baseline: every step on a whole-frame plane, as a numpy/OpenCV user writes it.
// ---------------------------------------------------------------------------------------------

cv::Mat dense_pen_mask(const fs::path& pen_json_path, cv::Size size) {
  std::ifstream in(pen_json_path);
  const nlohmann::json doc = nlohmann::json::parse(in);
  std::vector<cv::Point> outline;
  for (const auto& point : doc.at("shapes").at(0).at("points")) {
    outline.emplace_back(static_cast<int>(point.at(0).get<double>()),
                         static_cast<int>(point.at(1).get<double>()));
  }
  cv::Mat pen = cv::Mat::zeros(size, CV_8U);
  cv::fillPoly(pen, std::vector<std::vector<cv::Point>>{outline}, 1);
  return pen;
}

// `prev` is the object's previous centroid, null when it has none.
cv::Mat dense_clean(const cv::Mat& mask, const Mask_Refinement& r, const Centroid* prev,
                    bool first_frame) {
  cv::Mat in_pen;
  cv::bitwise_and(mask, dense_pen_mask(clip().pen_json_path, mask.size()), in_pen);
  if (cv::countNonZero(in_pen) == 0) return in_pen;
  cv::Mat labels, stats, centroids;
  const int num_labels =
      cv::connectedComponentsWithStats(in_pen * 255, labels, stats, centroids, 8, CV_32S);
  const auto area = [&](int label) { return stats.at<int>(label, cv::CC_STAT_AREA); };
  const auto distance = [&](int label, const Centroid& p) {
    const double dx = centroids.at<double>(label, 0) - p.x;
    const double dy = centroids.at<double>(label, 1) - p.y;
    return std::sqrt(dx * dx + dy * dy);
  };
  std::vector<int> top(static_cast<std::size_t>(num_labels - 1));
  std::iota(top.begin(), top.end(), 1);
  std::stable_sort(top.begin(), top.end(), [&](int a, int b) { return area(a) > area(b); });
  top.resize(std::min<std::size_t>(top.size(), 5));
  int best = top.front();
  for (const int label : top) {
    if (prev && distance(label, *prev) < distance(best, *prev)) best = label;
  }
  const double radius = std::sqrt(area(best) / std::numbers::pi);
  const double max_gap = radius * r.MAX_DISTANCE_RATIOS[area(best) >= 1000 ? 0 : 1];
  const double min_area = area(best) * r.MIN_AREA_RATIO;

  cv::Mat cleaned = cv::Mat::zeros(mask.size(), CV_8U);
  for (int label = 1; label < num_labels; ++label) {
    const cv::Mat main_blob = (labels == best) / 255;
    const cv::Mat current = (labels == label) / 255;
    const double gap = Mask_Refinement::blob_shortest_distance(main_blob, current);
    const double to_prev = prev ? distance(label, *prev) : 0.0;
    if (to_prev <= r.MAX_PREV_DIST &&
        (label == best || (area(label) >= min_area && gap <= max_gap))) {
      cleaned.setTo(1, current);
    }
  }
  if (cv::countNonZero(cleaned) == 0 && first_frame) return mask.clone();
  return cleaned;
}

// Runs the dense steps over `segments`, timing only the cleaning (the dense input planes stand
// for the tracker's own output). Returns the cleaned masks.
VideoSegments dense_process(benchmark::State& state, const VideoSegments& segments) {
  const Mask_Refinement r = fresh_refinement();
  std::map<std::int64_t, Centroid> prev;
  VideoSegments out = segments;
  for (auto frame = out.begin(); frame != out.end(); ++frame) {
    for (auto entry = frame.value().begin(); entry != frame.value().end(); ++entry) {
      if (entry->second.is_clear()) continue;
      state.PauseTiming();
      const cv::Mat dense = entry->second.dense();
      state.ResumeTiming();
      const auto found = prev.find(entry->first);
      const Centroid* previous = found == prev.end() ? nullptr : &found->second;
      const cv::Mat cleaned = dense_clean(dense, r, previous, frame == out.begin());
      const cv::Moments m = cv::moments(cleaned, false);
      if (m.m00 != 0) prev[entry->first] = Centroid(m.m10 / m.m00, m.m01 / m.m00);
      state.PauseTiming();
      entry.value() = Mask::from_dense(cleaned);
      state.ResumeTiming();
    }
  }
  return out;
}

std::int64_t mismatches(const VideoSegments& a, const VideoSegments& b) {
  std::int64_t count = 0;
  for (const auto& [frame, objects] : a) {
    for (const auto& [object, mask] : objects) count += !(mask == b.at(frame).at(object));
  }
  return count;
}

void BM_RefineCrops(benchmark::State& state) {
  const VideoSegments input = first_frames(static_cast<int>(state.range(0)));
  std::ostringstream discarded;  // the clip's "no mask" lines
  std::streambuf* cout_buffer = std::cout.rdbuf(discarded.rdbuf());
  for (auto _ : state) {
    state.PauseTiming();
    VideoSegments segments = input;
    Mask_Refinement refinement = fresh_refinement();
    state.ResumeTiming();
    refinement.process_video_segments(segments, "frames", clip().frame_names);
    benchmark::DoNotOptimize(segments);
  }
  std::cout.rdbuf(cout_buffer);
  state.SetItemsProcessed(state.iterations() * mask_count(input));
  state.counters["frames"] = static_cast<double>(input.size());
}

void BM_RefineDense(benchmark::State& state) {
  const VideoSegments input = first_frames(static_cast<int>(state.range(0)));
  VideoSegments dense_result;
  for (auto _ : state) dense_result = dense_process(state, input);
  state.SetItemsProcessed(state.iterations() * mask_count(input));
  state.counters["frames"] = static_cast<double>(input.size());

  VideoSegments crop_result = input;
  std::ostringstream discarded;
  std::streambuf* cout_buffer = std::cout.rdbuf(discarded.rdbuf());
  fresh_refinement().process_video_segments(crop_result, "frames", clip().frame_names);
  std::cout.rdbuf(cout_buffer);
  state.counters["mismatched_masks"] = static_cast<double>(mismatches(dense_result, crop_result));
  state.counters["changed_masks"] = static_cast<double>(mismatches(input, crop_result));
}

// Takes --name=value from argv, removing it.
std::optional<std::string> take_flag(int& argc, char** argv, const std::string& name) {
  const std::string prefix = "--" + name + "=";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind(prefix, 0) != 0) continue;
    std::copy(argv + i + 1, argv + argc, argv + i);
    --argc;
    return arg.substr(prefix.size());
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  const auto folder = take_flag(argc, argv, "clip");
  if (!folder) {
    std::cerr << "usage: bench_refinement --clip=FOLDER [--height=1440] [--width=2130] ...\n";
    return 2;
  }
  if (const auto height = take_flag(argc, argv, "height")) clip().size.height = std::stoi(*height);
  if (const auto width = take_flag(argc, argv, "width")) clip().size.width = std::stoi(*width);
  load_clip(*folder);
  if (clip().segments.empty()) {
    std::cerr << "no output_pp_<n>.json files in " << *folder << "\n";
    return 2;
  }
  write_pen(clip().size);
  const auto all_frames = static_cast<std::int64_t>(clip().segments.size());

  benchmark::RegisterBenchmark("process_video_segments/crops", BM_RefineCrops)
      ->Arg(all_frames)
      ->Arg(kSubsetFrames)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("process_video_segments/dense", BM_RefineDense)
      ->Arg(kSubsetFrames)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove(clip().pen_json_path);
  return 0;
}

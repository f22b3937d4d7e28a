// The tracking video of a clip against the bare loop a video needs anyway: read each frame
// image and write it unchanged to an MP4 with the same codec.
//
//   bench_tracking_video CLIP_DIR [benchmark flags]
//
// Run it from the folder the clip was generated in (image paths in the clip are relative).
// Both sides write into the system's temporary folder. peak_rss_mb is the process's peak
// resident size after the benchmark: the bare loop runs first, so the video's figure shows
// what it adds on top of the loop.

#include <kovra_utils/visual.hpp>

#include "tracker_output.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string clip_dir;

fs::path scratch(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / "kovra_bench_tracking_video";
  fs::create_directories(dir);
  return dir / name;
}

double peak_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Every file's "image_path", read before timing: the bare loop only decodes and encodes.
std::vector<std::string> image_paths() {
  std::vector<std::string> paths;
  for (const std::string& file : kovra_utils::tracker_output::ordered_annotation_files(clip_dir)) {
    std::ifstream in(file);
    paths.push_back(nlohmann::json::parse(in).at("image_path").get<std::string>());
  }
  if (paths.empty()) throw std::runtime_error("no annotation files in " + clip_dir);
  return paths;
}

void set_frame_counters(benchmark::State& state, std::size_t frames) {
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["ms_per_frame"] = benchmark::Counter(
      static_cast<double>(frames) * 1e-3,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["peak_rss_mb"] = peak_rss_mb();
}

void BM_BareLoop(benchmark::State& state) {
  const std::vector<std::string> paths = image_paths();
  const cv::Size size = cv::imread(paths.front(), cv::IMREAD_COLOR).size();
  const std::string output = scratch("bare.mp4").string();
  for (auto _ : state) {
    cv::VideoWriter writer(output, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('a', 'v', 'c', '1'),
                           25, size, true);
    if (!writer.isOpened()) throw std::runtime_error("cannot open an H.264 writer");
    for (const std::string& path : paths) writer.write(cv::imread(path, cv::IMREAD_COLOR));
    writer.release();
  }
  set_frame_counters(state, paths.size());
}
BENCHMARK(BM_BareLoop)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_TrackingVideo(benchmark::State& state) {
  const std::string output = scratch("tracking.mp4").string();
  kovra_utils::TrackingVideoOptions options;
  options.mark_report_frames = state.range(0) != 0;
  std::int64_t frames = 0;
  for (auto _ : state) {
    frames = kovra_utils::render_tracking_video(clip_dir, output, options).frames;
  }
  set_frame_counters(state, static_cast<std::size_t>(frames));
}
BENCHMARK(BM_TrackingVideo)
    ->ArgName("report")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::cerr << "usage: bench_tracking_video CLIP_DIR [benchmark flags]\n";
    return 2;
  }
  clip_dir = argv[1];
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

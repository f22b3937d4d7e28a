// Frame extraction against a bare OpenCV decode-crop-write loop over the same frames, and
// cataloguing a folder of 10 000 recordings.

#include <kovra_utils/video.hpp>

#include <benchmark/benchmark.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

namespace {

namespace fs = std::filesystem;

constexpr int kVideoFrames = 40;
const cv::Size kFrameSize(2560, 1440);
const cv::Rect kOrangeBlock(220, 600, 120, 120);  // crop 170 .. 2300: 2130 x 1440
const cv::Rect kCrop(170, 0, 2130, 1440);
constexpr double kWindowMinutes = 0.02;  // 30 frames at 25 fps
constexpr int kWindowFrames = 30;
constexpr int kCatalogueFiles = 10000;

// Generated data, removed when the program ends.
struct BenchData {
  BenchData() {
    std::random_device seed;
    root = fs::temp_directory_path() / ("kovra_bench_video_" + std::to_string(seed()));
    fs::create_directories(root / "recordings" / "cam");
    write_video();
    write_catalogue_files();
  }
  ~BenchData() {
    std::error_code error;
    fs::remove_all(root, error);
  }

  void write_video() const {
    cv::VideoWriter writer(video().string(), cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 25,
                           kFrameSize);
    cv::Mat frame(kFrameSize, CV_8UC3);
    for (int i = 0; i < kVideoFrames; ++i) {
      cv::randu(frame, cv::Scalar::all(60), cv::Scalar::all(120));
      cv::GaussianBlur(frame, frame, cv::Size(9, 9), 0);
      cv::rectangle(frame, kOrangeBlock, cv::Scalar(0, 140, 255), cv::FILLED);
      writer.write(frame);
    }
  }

  // Mostly matching names across the day, some other files.
  void write_catalogue_files() const {
    for (int i = 0; i < kCatalogueFiles; ++i) {
      char name[64];
      if (i % 10 == 9) {
        std::snprintf(name, sizeof name, "notes_%05d.mp4", i);
      } else {
        std::snprintf(name, sizeof name, "Camera%d_1_20240315%02d%02d%02d.mp4", 60 + i % 4,
                      (i / 3600) % 24, (i / 60) % 60, i % 60);
      }
      std::ofstream(root / "recordings" / "cam" / name);
    }
  }

  fs::path video() const { return root / "Camera61_1_20240315080000.mp4"; }
  fs::path frames() const { return root / "frames"; }

  fs::path root;
};

const BenchData& data() {
  static const BenchData instance;
  return instance;
}

// Swallows std::cout for its lifetime, so printing costs what it costs without a terminal.
class QuietCout {
 public:
  QuietCout() : previous_(std::cout.rdbuf(sink_.rdbuf())) {}
  ~QuietCout() { std::cout.rdbuf(previous_); }

 private:
  std::ostringstream sink_;
  std::streambuf* previous_;
};

void BM_CropVideoToFrames(benchmark::State& state) {
  const auto& bench = data();
  for (auto _ : state) {
    kovra_utils::VideoProcessor processor;
    QuietCout quiet;
    processor.crop_video_to_frames(bench.video(), bench.frames(), 0, kWindowMinutes, "61");
  }
  state.SetItemsProcessed(state.iterations() * kWindowFrames);
}

// The same work written directly against OpenCV: seek, read the first frame, detect the
// region, then decode, crop and write each frame.
void BM_BareOpenCvLoop(benchmark::State& state) {
  const auto& bench = data();
  for (auto _ : state) {
    cv::VideoCapture capture(bench.video().string(), cv::CAP_FFMPEG);
    capture.set(cv::CAP_PROP_POS_FRAMES, 0);
    cv::Mat frame;
    capture.read(frame);
    benchmark::DoNotOptimize(kovra_utils::VideoProcessor::find_orange_region(frame));
    fs::create_directories(bench.frames());
    char name[16];
    for (int i = 0; i < kWindowFrames && capture.read(frame); ++i) {
      std::snprintf(name, sizeof name, "%04d.jpg", i);
      cv::imwrite((bench.frames() / name).string(), frame(kCrop));
    }
  }
  state.SetItemsProcessed(state.iterations() * kWindowFrames);
}

void BM_Catalogue10000Files(benchmark::State& state) {
  const auto& bench = data();
  const kovra_utils::VideoMetadata metadata{(bench.root / "recordings").string(), {"cam"}};
  for (auto _ : state) {
    QuietCout quiet;
    benchmark::DoNotOptimize(metadata.get_filtered_video_dataframe());
  }
  state.SetItemsProcessed(state.iterations() * kCatalogueFiles);
}

BENCHMARK(BM_CropVideoToFrames)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Repetitions(5);
BENCHMARK(BM_BareOpenCvLoop)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Repetitions(5);
BENCHMARK(BM_Catalogue10000Files)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

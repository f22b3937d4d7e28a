#include <kovra_utils/visual.hpp>

#include <kovra_utils/cancellation.hpp>

#include "atomic_write.hpp"
#include "capture.hpp"
#include "expect_error.hpp"
#include "planted.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kovra_test::read_text;
using kovra_test::TempDir;
using kovra_test::write_text;
using kovra_utils::ArgumentError;
using kovra_utils::FileError;
using kovra_utils::render_tracking_video;
using kovra_utils::TrackingVideoOptions;
using nlohmann::json;

const cv::Size kFrame(640, 480);
const cv::Vec3b kBackground(100, 100, 100);  // BGR

// One detection: its "object_id" and the pixel rectangle [x0, x1] x [y0, y1] it covers; an
// empty rectangle gives a detection without polygons (a zero-area mask).
struct Detection {
  int object_id;
  cv::Rect rect;
};

std::string rect_polygon(const cv::Rect& r) {
  std::string out = "0";
  const int x1 = r.x + r.width - 1;
  const int y1 = r.y + r.height - 1;
  for (const auto& [x, y] : {std::pair{r.x, r.y}, {x1, r.y}, {x1, y1}, {r.x, y1}}) {
    out += ' ';
    out += std::to_string((x + 0.5) / kFrame.width);
    out += ' ';
    out += std::to_string((y + 0.5) / kFrame.height);
  }
  return out;
}

// A tracker output folder: one flat gray frame image, one output_pp_<n>.json per frame.
// Frames listed in `missing` name an image that does not exist.
fs::path write_clip(const TempDir& dir, const std::vector<std::vector<Detection>>& frames,
                    const std::vector<int>& missing = {}) {
  const fs::path clip = dir / "clip";
  fs::create_directories(clip);
  const fs::path image = clip / "frame.png";
  cv::imwrite(image.string(), cv::Mat(kFrame, CV_8UC3, cv::Scalar(kBackground)));
  for (std::size_t n = 0; n < frames.size(); ++n) {
    json detections = json::array();
    for (const Detection& d : frames[n]) {
      json polygons = json::array();
      if (!d.rect.empty()) polygons.push_back(rect_polygon(d.rect));
      detections.push_back({{"object_id", d.object_id},
                            {"xyxy", {{d.rect.x, d.rect.y, d.rect.br().x, d.rect.br().y}}},
                            {"formatted_polygon", polygons}});
    }
    const bool is_missing = std::find(missing.begin(), missing.end(), n) != missing.end();
    const std::string image_path = is_missing ? (clip / "gone.png").string() : image.string();
    write_text(clip / ("output_pp_" + std::to_string(n) + ".json"),
               json{{"image_path", image_path}, {"detections", detections}}.dump());
  }
  return clip;
}

std::vector<cv::Mat> read_video(const fs::path& path) {
  cv::VideoCapture capture(path.string(), cv::CAP_FFMPEG);
  std::vector<cv::Mat> frames;
  for (cv::Mat frame; capture.read(frame);) frames.push_back(frame.clone());
  return frames;
}

// Euclidean BGR distance.
double distance(const cv::Vec3b& a, const cv::Vec3b& b) {
  double sum = 0;
  for (int c = 0; c < 3; ++c) sum += (a[c] - b[c]) * double(a[c] - b[c]);
  return std::sqrt(sum);
}

// The colour of identity n (seed 42 + n) at alpha 128 over the background, in BGR.
cv::Vec3b blended(std::int64_t identity) {
  const auto rgb = kovra_utils::generate_random_color(42 + static_cast<std::uint32_t>(identity));
  cv::Vec3b out;
  for (int c = 0; c < 3; ++c) {
    out[c] = static_cast<uchar>(std::lround((rgb[2 - c] * 128.0 + kBackground[c] * 127.0) / 255));
  }
  return out;
}

// Lossy H.264 moves flat colours by a few levels.
constexpr double kCodecTolerance = 8;

TrackingVideoOptions bare_options() {
  TrackingVideoOptions options;
  options.draw_boxes = false;
  options.draw_trails = false;
  options.draw_frame_caption = false;
  return options;
}

// ---- the file ---------------------------------------------------------------------------------

TEST(RenderTrackingVideo, WritesOneFramePerAnnotationFileAtTheGivenRate) {
  TempDir dir;
  const fs::path clip = write_clip(dir, std::vector<std::vector<Detection>>(5, {{1, {50, 60, 80, 70}}}));
  const fs::path video = dir / "clip.mp4";
  TrackingVideoOptions options;
  options.fps = 10;
  const auto summary = render_tracking_video(clip.string(), video.string(), options);

  EXPECT_EQ(summary.frames, 5);
  EXPECT_EQ(summary.missing_images, 0);
  EXPECT_EQ(summary.frame_size, kFrame);
  EXPECT_EQ(summary.codec, "avc1");
  cv::VideoCapture capture(video.string(), cv::CAP_FFMPEG);
  ASSERT_TRUE(capture.isOpened());
  EXPECT_DOUBLE_EQ(capture.get(cv::CAP_PROP_FPS), 10.0);
  const auto frames = read_video(video);
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[0].size(), kFrame);
  // Only the video is left in the folder: the temporary file was renamed.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"clip", "clip.mp4"}));
}

struct RangeCase {
  const char* name;
  std::optional<std::int64_t> from;
  std::optional<std::int64_t> to;
  double scale;
  std::size_t frames;
  cv::Size size;
};

class RenderTrackingVideoRange : public testing::TestWithParam<RangeCase> {};

TEST_P(RenderTrackingVideoRange, DrawsTheRangeAtTheScaledEvenSize) {
  const RangeCase& c = GetParam();
  TempDir dir;
  const fs::path clip = write_clip(dir, std::vector<std::vector<Detection>>(6, {{1, {50, 60, 80, 70}}}));
  TrackingVideoOptions options;
  options.from_frame = c.from;
  options.to_frame = c.to;
  options.scale = c.scale;
  const auto summary = render_tracking_video(clip.string(), (dir / "v.mp4").string(), options);
  EXPECT_EQ(summary.frames, static_cast<std::int64_t>(c.frames));
  EXPECT_EQ(summary.frame_size, c.size);
  const auto frames = read_video(dir / "v.mp4");
  ASSERT_EQ(frames.size(), c.frames);
  EXPECT_EQ(frames[0].size(), c.size);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderTrackingVideoRange,
    testing::Values(RangeCase{"Whole", {}, {}, 1.0, 6, {640, 480}},
                    RangeCase{"Middle", 2, 3, 1.0, 2, {640, 480}},
                    RangeCase{"SingleFrame", 4, 4, 1.0, 1, {640, 480}},
                    RangeCase{"ToPastTheEnd", 3, 99, 1.0, 3, {640, 480}},
                    RangeCase{"Half", {}, {}, 0.5, 6, {320, 240}},
                    // 640 x 480 at 0.3 is 192 x 144; at 0.33 it is 211.2 x 158.4 -> even sides.
                    RangeCase{"OddSidesRoundToEven", {}, 1, 0.33, 2, {212, 158}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- what is drawn ----------------------------------------------------------------------------

TEST(RenderTrackingVideo, FillsEachMaskInItsIdentitysColourNotItsPosition) {
  TempDir dir;
  // Identity 3 comes first in the file and identity 0 second: colours follow the identity.
  const fs::path clip =
      write_clip(dir, {{{4, {100, 100, 80, 80}}, {1, {400, 200, 80, 80}}}});
  render_tracking_video(clip.string(), (dir / "v.mp4").string(), bare_options());
  const auto frames = read_video(dir / "v.mp4");
  ASSERT_EQ(frames.size(), 1u);
  const cv::Mat& frame = frames[0];
  EXPECT_LT(distance(frame.at<cv::Vec3b>(140, 140), blended(3)), kCodecTolerance);
  EXPECT_LT(distance(frame.at<cv::Vec3b>(240, 440), blended(0)), kCodecTolerance);
  EXPECT_LT(distance(frame.at<cv::Vec3b>(400, 50), kBackground), kCodecTolerance);
}

TEST(RenderTrackingVideo, LaterMaskWinsWhereMasksOverlap) {
  TempDir dir;
  const fs::path clip = write_clip(dir, {{{1, {100, 100, 100, 100}}, {2, {150, 150, 100, 100}}}});
  render_tracking_video(clip.string(), (dir / "v.mp4").string(), bare_options());
  const cv::Mat frame = read_video(dir / "v.mp4").at(0);
  EXPECT_LT(distance(frame.at<cv::Vec3b>(175, 175), blended(1)), kCodecTolerance);
  EXPECT_LT(distance(frame.at<cv::Vec3b>(125, 125), blended(0)), kCodecTolerance);
}

TEST(RenderTrackingVideo, TrailRunsThroughTheEarlierCentroids) {
  TempDir dir;
  // One animal walking right: centroids at x = 110, 310, 510 on row 240.
  const fs::path clip = write_clip(dir, {{{1, {100, 230, 21, 21}}},
                                         {{1, {300, 230, 21, 21}}},
                                         {{1, {500, 230, 21, 21}}}});
  TrackingVideoOptions with_trail = bare_options();
  with_trail.draw_trails = true;
  render_tracking_video(clip.string(), (dir / "trail.mp4").string(), with_trail);
  render_tracking_video(clip.string(), (dir / "plain.mp4").string(), bare_options());
  const cv::Mat trail = read_video(dir / "trail.mp4").at(2);
  const cv::Mat plain = read_video(dir / "plain.mp4").at(2);
  const auto rgb = kovra_utils::generate_random_color(42);
  const cv::Vec3b color(rgb[2], rgb[1], rgb[0]);
  for (const int x : {110, 210, 310, 410}) {
    const cv::Vec3b drawn = trail.at<cv::Vec3b>(240, x);
    EXPECT_LT(distance(drawn, color), distance(drawn, kBackground)) << "x = " << x;
    EXPECT_LT(distance(plain.at<cv::Vec3b>(240, x), kBackground), kCodecTolerance);
  }
  // Nowhere off the path.
  EXPECT_LT(distance(trail.at<cv::Vec3b>(300, 210), kBackground), kCodecTolerance);
  // The first frame has no trail yet.
  EXPECT_LT(distance(read_video(dir / "trail.mp4").at(0).at<cv::Vec3b>(240, 210), kBackground),
            kCodecTolerance);
}

TEST(RenderTrackingVideo, MissingFrameImageGivesACaptionedBlackFrame) {
  TempDir dir;
  const fs::path clip = write_clip(dir, std::vector<std::vector<Detection>>(3, {{1, {50, 60, 30, 30}}}), {1});
  const auto summary = render_tracking_video(clip.string(), (dir / "v.mp4").string());
  EXPECT_EQ(summary.frames, 3);
  EXPECT_EQ(summary.missing_images, 1);
  const auto frames = read_video(dir / "v.mp4");
  ASSERT_EQ(frames.size(), 3u);
  const cv::Mat& black = frames[1];
  EXPECT_LT(cv::norm(black.at<cv::Vec3b>(400, 600)), kCodecTolerance);
  EXPECT_LT(distance(frames[0].at<cv::Vec3b>(400, 600), kBackground), kCodecTolerance);
  // The caption sits across the middle of the frame's left half in white on dark gray.
  double brightest = 0;
  cv::minMaxLoc(black(cv::Rect(0, 200, 320, 60)), nullptr, &brightest);
  EXPECT_GT(brightest, 200);
  // The masks are still drawn.
  EXPECT_GT(cv::norm(black.at<cv::Vec3b>(75, 65)), 40);
}

TEST(RenderTrackingVideo, MarksTheFramesTheReportWouldList) {
  TempDir dir;
  const cv::Rect a(100, 100, 60, 60);
  const cv::Rect b(300, 100, 60, 60);
  const fs::path clip = write_clip(dir, {{{1, a}, {2, b}},      // fine
                                         {{1, a}, {2, {}}},     // zero area
                                         {{1, a}, {2, a}}});    // full overlap
  TrackingVideoOptions options = bare_options();
  options.mark_report_frames = true;
  const auto summary = render_tracking_video(clip.string(), (dir / "v.mp4").string(), options);
  EXPECT_EQ(summary.marked_frames, 2);
  const auto frames = read_video(dir / "v.mp4");
  ASSERT_EQ(frames.size(), 3u);
  const cv::Vec3b red(0, 0, 230);
  EXPECT_LT(distance(frames[0].at<cv::Vec3b>(240, 2), kBackground), kCodecTolerance);
  EXPECT_LT(distance(frames[1].at<cv::Vec3b>(240, 2), red), 3 * kCodecTolerance);
  EXPECT_LT(distance(frames[2].at<cv::Vec3b>(240, 2), red), 3 * kCodecTolerance);

  options.mark_report_frames = false;
  EXPECT_EQ(render_tracking_video(clip.string(), (dir / "v.mp4").string(), options).marked_frames, 0);
}

// ---- bad input --------------------------------------------------------------------------------

struct BadOptionsCase {
  const char* name;
  std::function<void(TrackingVideoOptions&)> change;
  std::string message;
};

class RenderTrackingVideoBadOptions : public testing::TestWithParam<BadOptionsCase> {};

TEST_P(RenderTrackingVideoBadOptions, ThrowsAndWritesNothing) {
  const BadOptionsCase& c = GetParam();
  TempDir dir;
  const fs::path clip = write_clip(dir, std::vector<std::vector<Detection>>(3, {{1, {50, 60, 30, 30}}}));
  const fs::path video = dir / "v.mp4";
  write_text(video, "earlier video");
  TrackingVideoOptions options;
  c.change(options);
  kovra_test::expect_error_containing<ArgumentError>(
      [&] { render_tracking_video(clip.string(), video.string(), options); }, c.message);
  EXPECT_EQ(read_text(video), "earlier video");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderTrackingVideoBadOptions,
    testing::Values(
        BadOptionsCase{"EmptyRange", [](auto& o) { o.from_frame = 2; o.to_frame = 1; },
                       "empty frame range: to_frame 1 is before from_frame 2"},
        BadOptionsCase{"RangePastTheClip", [](auto& o) { o.from_frame = 3; },
                       "from_frame 3 is past the clip's last position 2"},
        BadOptionsCase{"NegativeFrom", [](auto& o) { o.from_frame = -1; },
                       "from_frame must not be negative, got -1"},
        BadOptionsCase{"ZeroFps", [](auto& o) { o.fps = 0; },
                       "fps must be a positive number, got 0.0"},
        BadOptionsCase{"NanFps", [](auto& o) { o.fps = std::nan(""); },
                       "fps must be a positive number, got nan"},
        BadOptionsCase{"ZeroScale", [](auto& o) { o.scale = 0; },
                       "scale must be a positive number, got 0.0"},
        BadOptionsCase{"NegativeScale", [](auto& o) { o.scale = -0.5; },
                       "scale must be a positive number, got -0.5"},
        BadOptionsCase{"HugeScale", [](auto& o) { o.scale = 100; },
                       "scale 100.0 makes the 640 x 480 frames larger than 16384 pixels"},
        BadOptionsCase{"NegativeTrail", [](auto& o) { o.trail_length = -1; },
                       "trail_length must not be negative, got -1"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- failures and planted temporaries --------------------------------------------------------

std::vector<std::string> entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::vector<Detection>> still_clip(int frames) {
  return std::vector<std::vector<Detection>>(frames, {{1, {50, 60, 30, 30}}});
}

// The encoder reports no error when the disk fills up: the file read back must hold every frame
// before it replaces the old video.
TEST(RenderTrackingVideo, AFullDiskKeepsTheOldVideo) {
  TempDir dir;
  const fs::path clip = write_clip(dir, still_clip(40));
  fs::create_directories(dir / "out");
  const fs::path output = dir / "out" / "tracks.mp4";
  write_text(output, "the old video");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1024, 1024};  // the encoded clip takes about 3 KiB
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      kovra_test::CoutCapture quiet;
      render_tracking_video(clip.string(), output.string());
    } catch (const FileError& error) {
      _exit(std::string(error.what()).find("readable frames") != std::string::npos ? 3 : 4);
    } catch (...) {
      _exit(5);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_TRUE(read_text(output) == "the old video");
  EXPECT_EQ(entries(dir / "out"), std::vector<std::string>{"tracks.mp4"});
}

// A killed run leaves its temporary (a regular file): the next run takes it over and leaves
// nothing but the video.
TEST(RenderTrackingVideo, TakesOverTheTemporaryOfAKilledRun) {
  TempDir dir;
  const fs::path clip = write_clip(dir, still_clip(3));
  fs::create_directories(dir / "out");
  const fs::path output = dir / "out" / "tracks.mp4";
  write_text(kovra_utils::atomic_write::temporary_path_of(output, ".mp4"), "half a video");
  render_tracking_video(clip.string(), output.string());
  EXPECT_EQ(read_video(output).size(), 3u);
  EXPECT_EQ(entries(dir / "out"), std::vector<std::string>{"tracks.mp4"});
}

class PlantedVideoTemporary : public ::testing::TestWithParam<kovra_test::Planted> {};

TEST_P(PlantedVideoTemporary, IsRefusedAndNeverFollowed) {
  TempDir dir;
  const fs::path clip = write_clip(dir, still_clip(2));
  fs::create_directories(dir / "out");
  write_text(dir / "victim.mp4", kovra_test::victim_content);
  const fs::path output = dir / "out" / "tracks.mp4";
  GetParam().plant(kovra_utils::atomic_write::temporary_path_of(output, ".mp4"),
                   dir / "victim.mp4");
  EXPECT_THROW(render_tracking_video(clip.string(), output.string()), FileError);
  EXPECT_EQ(read_text(dir / "victim.mp4"), kovra_test::victim_content);
  EXPECT_FALSE(fs::exists(dir / "created_outside"));
  EXPECT_FALSE(fs::exists(output));
}

INSTANTIATE_TEST_SUITE_P(Kinds, PlantedVideoTemporary,
                         ::testing::ValuesIn(kovra_test::planted_kinds()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RenderTrackingVideo, RejectsBadPathsBeforeWriting) {
  TempDir dir;
  const fs::path clip = write_clip(dir, {{{1, {50, 60, 30, 30}}}});
  kovra_test::expect_error_containing<ArgumentError>(
      [&] { render_tracking_video(clip.string(), (dir / "v.avi").string()); },
      {"output_path must end with .mp4", "v.avi"});
  kovra_test::expect_error_containing<FileError>(
      [&] { render_tracking_video(clip.string(), (dir / "nowhere" / "v.mp4").string()); },
      {"folder", "nowhere", "does not exist"});
  fs::create_directories(dir / "empty");
  kovra_test::expect_error_containing<FileError>(
      [&] { render_tracking_video((dir / "empty").string(), (dir / "v.mp4").string()); },
      {"no annotation files", "empty"});
  EXPECT_FALSE(fs::exists(dir / "v.avi"));
  EXPECT_FALSE(fs::exists(dir / "v.mp4"));
}

// A render stopped between frames (Ctrl-C in Python) leaves neither the video nor its temporary.
TEST(RenderTrackingVideo, StoppedBetweenFramesLeavesNoFile) {
  TempDir dir;
  const fs::path clip = write_clip(dir, std::vector<std::vector<Detection>>(6, {{1, {50, 60, 80, 70}}}));
  fs::create_directories(dir / "out");
  int checks = 0;
  struct Stopped {};
  const kovra_utils::CancellationCheck stop([&] {
    if (++checks == 3) throw Stopped{};
  });
  EXPECT_THROW(render_tracking_video(clip.string(), (dir / "out" / "v.mp4").string(), {}), Stopped);
  EXPECT_EQ(checks, 3);
  EXPECT_TRUE(fs::is_empty(dir / "out"));
}

}  // namespace

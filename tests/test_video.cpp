#include <kovra_utils/video.hpp>

#include "capture.hpp"
#include "video_detail.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <limits>

namespace {

namespace fs = std::filesystem;

using kovra_test::CoutCapture;
using kovra_test::TempDir;
using kovra_utils::ArgumentError;
using kovra_utils::ContentError;
using kovra_utils::CropRegion;
using kovra_utils::FileError;
using kovra_utils::Number;
using kovra_utils::Table;
using kovra_utils::VideoMetadata;
using kovra_utils::VideoProcessor;

std::vector<std::string> column(const Table& table, const std::string& name) {
  std::vector<std::string> values;
  for (std::size_t row = 0; row < table.row_count(); ++row) values.push_back(table.text(row, name));
  return values;
}

template <class Error, class Call>
std::string error_text(Call call) {
  try {
    call();
  } catch (const Error& error) {
    return error.what();
  }
  return "no error";
}

// ---------------------------------------------------------------------------------------------
// Catalogue
// ---------------------------------------------------------------------------------------------

// One recording per sub-directory, so the scan order is the sub-directory order.
class Catalogue : public ::testing::Test {
 protected:
  std::vector<std::string> add_recordings(const std::vector<std::string>& names) {
    std::vector<std::string> sub_dirs;
    for (const auto& name : names) {
      const std::string sub_dir = "d" + std::to_string(sub_dirs.size());
      kovra_test::write_text(dir / sub_dir / name, "");
      sub_dirs.push_back(sub_dir);
    }
    return sub_dirs;
  }

  TempDir dir;
};

TEST_F(Catalogue, ReadsCameraDateAndTimeFromTheName) {
  kovra_test::write_text(dir / "sub" / "Camera61_2_20240315061500.mp4", "");
  kovra_test::write_text(dir / "sub" / "Camera61_2_20240315061501.MP4", "");
  kovra_test::write_text(dir / "sub" / "clip.mp4", "");
  const VideoMetadata metadata{dir.path().string(), {"missing", "sub"}};
  CoutCapture out;
  const Table table = metadata.get_filtered_video_dataframe();
  const std::string path = (dir / "sub" / "Camera61_2_20240315061500.mp4").string();
  EXPECT_EQ(out.text(), "['" + path + "']\n");
  EXPECT_EQ(table.columns(),
            (std::vector<std::string>{"Camera Number", "Date", "Time", "File Path", "Video Name"}));
  ASSERT_EQ(table.row_count(), 1u);
  EXPECT_EQ(table.row(0), (std::vector<kovra_utils::Value>{"61", "20240315", "06:15:00", path,
                                                           "Camera61_2_20240315061500"}));
}

TEST_F(Catalogue, PatternIsAnchoredAtTheStartOnly) {
  const auto sub_dirs =
      add_recordings({"xCamera61_2_20240315071500.mp4", "Camera62_2_20240315071500.mp4.mp4"});
  CoutCapture out;
  const Table table = VideoMetadata{dir.path().string(), sub_dirs, "06:00:00", "17:00:00", 0}
                          .get_filtered_video_dataframe();
  EXPECT_EQ(column(table, "Video Name"), std::vector<std::string>{"Camera62_2_20240315071500.mp4"});
}

struct WindowCase {
  std::string time;
  bool kept;
};

class CatalogueTimeWindow : public Catalogue, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(CatalogueTimeWindow, BoundsAreStrict) {
  std::string digits = GetParam().time;
  std::erase(digits, ':');
  const auto sub_dirs = add_recordings({"Camera1_0_20240101" + digits + ".mp4"});
  CoutCapture out;
  const Table table = VideoMetadata{.base_dir = dir.path().string(), .sub_dirs = sub_dirs}
                          .get_filtered_video_dataframe();
  EXPECT_EQ(table.row_count(), GetParam().kept ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Times, CatalogueTimeWindow,
                         ::testing::Values(WindowCase{"06:00:00", false},
                                           WindowCase{"06:00:01", true},
                                           WindowCase{"16:59:59", true},
                                           WindowCase{"17:00:00", false},
                                           WindowCase{"05:59:59", false}));

// Row labels after each filter stage: one early recording outside the window, then seven
// inside, cameras alternating 61 / 7.
struct SelectionCase {
  std::string name;
  std::int64_t sample_step;
  std::int64_t top_n;
  std::optional<std::string> camera_number;
  std::vector<std::int64_t> labels;
};

class CatalogueSelection : public Catalogue, public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(CatalogueSelection, KeepsLabelsOfSelectedRows) {
  std::vector<std::string> names = {"Camera61_0_20240101050000.mp4"};
  for (int i = 0; i < 7; ++i) {
    names.push_back("Camera" + std::string(i % 2 == 0 ? "61" : "7") + "_0_2024010108" +
                    std::to_string(10 + i) + "00.mp4");
  }
  const auto sub_dirs = add_recordings(names);
  const auto& c = GetParam();
  CoutCapture out;
  const Table table = VideoMetadata{dir.path().string(),
                                    sub_dirs,
                                    "06:00:00",
                                    "17:00:00",
                                    c.sample_step,
                                    c.top_n,
                                    R"(Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4)",
                                    c.camera_number}
                          .get_filtered_video_dataframe();
  EXPECT_EQ(table.labels(), c.labels);
}

INSTANTIATE_TEST_SUITE_P(
    Stages, CatalogueSelection,
    ::testing::Values(SelectionCase{"EveryThird", 3, -1, std::nullopt, {1, 4, 7}},
                      SelectionCase{"StepOne", 1, -1, std::nullopt, {1, 2, 3, 4, 5, 6, 7}},
                      SelectionCase{"StepZero", 0, 0, std::nullopt, {1, 2, 3, 4, 5, 6, 7}},
                      SelectionCase{"Backwards", -3, -1, std::nullopt, {7, 4, 1}},
                      SelectionCase{"HugeStep", INT64_MIN, -1, std::nullopt, {7}},
                      SelectionCase{"CameraAfterSampling", 3, -1, "61", {1, 7}},
                      SelectionCase{"CameraText", 1, -1, "7", {2, 4, 6}},
                      SelectionCase{"CameraWithLeadingZero", 1, -1, "07", {}},
                      SelectionCase{"TopTwo", 1, 2, std::nullopt, {1, 2}},
                      SelectionCase{"TopAfterCamera", 1, 2, "61", {1, 3}},
                      SelectionCase{"TopBeyondRows", 3, 10, std::nullopt, {1, 4, 7}}),
    [](const auto& info) { return info.param.name; });

TEST_F(Catalogue, EmptyResultPrintsEmptyListAndKeepsColumns) {
  CoutCapture out;
  const Table table = VideoMetadata{dir.path().string(), {"none"}}.get_filtered_video_dataframe();
  EXPECT_EQ(out.text(), "[]\n");
  EXPECT_EQ(table.columns().size(), 5u);
  EXPECT_TRUE(table.empty());
}

TEST_F(Catalogue, PrintsBackslashesDoubled) {
  const auto sub_dirs = add_recordings({"Camera1_0_20240101080000.mp4"});
  fs::rename(dir / sub_dirs[0], dir / "a\\b");
  CoutCapture out;
  VideoMetadata{dir.path().string(), {"a\\b"}}.get_filtered_video_dataframe();
  EXPECT_EQ(out.text(), "['" + dir.path().string() + "/a\\\\b/Camera1_0_20240101080000.mp4']\n");
}

TEST_F(Catalogue, RejectsPatternsWithoutFourGroups) {
  const VideoMetadata three{.base_dir = dir.path().string(),
                            .sub_dirs = {"a"},
                            .match_pattern = R"(Camera(\d+)_(\d+)_(\d+)\.mp4)"};
  EXPECT_EQ(
      error_text<ArgumentError>([&] { three.get_filtered_video_dataframe(); }),
      R"(match_pattern 'Camera(\\d+)_(\\d+)_(\\d+)\\.mp4' must have at least 4 groups, got 3)");
  const VideoMetadata broken{
      .base_dir = dir.path().string(), .sub_dirs = {"a"}, .match_pattern = "(a)(b)(c)(d"};
  EXPECT_EQ(error_text<ArgumentError>([&] {
              broken.get_filtered_video_dataframe();
            }).rfind("match_pattern '(a)(b)(c)(d' is not a valid regular expression: ", 0),
            0u);
}

TEST_F(Catalogue, FailsOnASubDirectoryThatCannotBeListed) {
  kovra_test::write_text(dir / "plain_file", "");
  const VideoMetadata metadata{dir.path().string(), {"plain_file"}};
  EXPECT_EQ(error_text<FileError>([&] {
              metadata.get_filtered_video_dataframe();
            }).rfind("cannot list the directory " + (dir / "plain_file").string() + ": ", 0),
            0u);
}

// ---------------------------------------------------------------------------------------------
// Number
// ---------------------------------------------------------------------------------------------

TEST(Number, StaysIntegerUntilAFloatingOperand) {
  const Number three_steps = Number(0) + 0.1 + 0.1 + 0.1;
  EXPECT_EQ(Number(0).to_string(), "0");
  EXPECT_EQ((Number(0) + 0.1).to_string(), "0.1");
  EXPECT_EQ(three_steps.to_string(), "0.30000000000000004");
  EXPECT_EQ((Number(1500) * 10).to_string(), "15000");
  EXPECT_EQ((Number(1500) * three_steps).to_string(), "450.00000000000006");
  EXPECT_EQ((Number(1500) * 0.1).to_string(), "150.0");
  EXPECT_EQ((Number(600.0) - 1).to_string(), "599.0");
  EXPECT_TRUE(Number(1499) == Number(1499.0));
  EXPECT_FALSE(Number(INT64_MAX) == Number(9223372036854775807.0));  // the double is 2^63
  EXPECT_TRUE(Number(INT64_MAX) < Number(9223372036854775807.0));
}

TEST(Number, MultipleTestUsesFloatingRemainder) {
  EXPECT_TRUE(Number(512.0).is_multiple_of(1));
  EXPECT_FALSE(Number(450.00000000000006).is_multiple_of(1));
  EXPECT_TRUE(Number(10).is_multiple_of(-5));
  EXPECT_TRUE(Number(INT64_MIN).is_multiple_of(-1));
  EXPECT_FALSE(Number(7).is_multiple_of(5));
  EXPECT_EQ(error_text<ArgumentError>([] { Number(3).is_multiple_of(0); }),
            "a number cannot be divided by 0");
}

TEST(Number, IntegerOverflowIsAnError) {
  EXPECT_EQ(error_text<ArgumentError>([] { Number(INT64_MAX) * 2; }),
            "integer overflow in 9223372036854775807 * 2");
  EXPECT_EQ(error_text<ArgumentError>([] { Number(INT64_MAX) + 1; }),
            "integer overflow in 9223372036854775807 + 1");
}

// ---------------------------------------------------------------------------------------------
// Crop rectangle steps
// ---------------------------------------------------------------------------------------------

struct SideCase {
  std::optional<bool> left_crop;
  int detected_x2;
  CropRegion expected;
};

class SideCorrection : public ::testing::TestWithParam<SideCase> {};

TEST_P(SideCorrection, PicksTheEdgesByDetectedRightEdge) {
  const CropRegion detected{2000, 300, GetParam().detected_x2, 900};
  EXPECT_EQ(kovra_utils::video_detail::side_corrected(detected, GetParam().left_crop),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, SideCorrection,
                         ::testing::Values(SideCase{true, 2300, {380, 0, 1955, 1440}},
                                           SideCase{true, 2299, {120, 0, 1955, 1440}},
                                           SideCase{false, 2300, {1950, 0, 2560, 1440}},
                                           SideCase{false, 2299, {1950, 0, 2300, 1440}},
                                           SideCase{std::nullopt, 2300, {2000, 300, 2300, 900}}));

TEST(ClipToFrame, ClampsToTheFrame) {
  using kovra_utils::video_detail::clip_to_frame;
  EXPECT_EQ(clip_to_frame({-10, 0, 2300, 1440}, {96, 48}, "v.mp4"), cv::Rect(0, 0, 96, 48));
  EXPECT_EQ(clip_to_frame({14, 5, 50, 40}, {96, 48}, "v.mp4"), cv::Rect(14, 5, 36, 35));
  EXPECT_EQ(error_text<ContentError>([] {
              clip_to_frame({120, 0, 19, 1440}, {96, 48}, "v.mp4");
            }),
            "crop region x1=120, y1=0, x2=19, y2=1440 leaves nothing of the 96 x 48 frames of "
            "video v.mp4");
}

TEST(HeightScaled, RoundsTheWidthUp) {
  using kovra_utils::video_detail::height_scaled;
  EXPECT_EQ(height_scaled({2130, 1440}, 720), cv::Size(1065, 720));
  EXPECT_EQ(height_scaled({82, 48}, 24), cv::Size(41, 24));
  EXPECT_EQ(height_scaled({100, 3}, 1), cv::Size(34, 1));
}

// ---------------------------------------------------------------------------------------------
// Orange region
// ---------------------------------------------------------------------------------------------

const cv::Scalar kOrange(0, 140, 255);  // BGR; hue 16 on OpenCV's 0..179 scale

TEST(FindOrangeRegion, NoneWithoutOrange) {
  const cv::Mat frame(40, 60, CV_8UC3, cv::Scalar(0, 0, 255));
  EXPECT_EQ(VideoProcessor::find_orange_region(frame), std::nullopt);
}

TEST(FindOrangeRegion, RightmostOfTheTwoLargest) {
  cv::Mat frame(100, 200, CV_8UC3, cv::Scalar(90, 90, 90));
  cv::rectangle(frame, cv::Rect(10, 10, 40, 40), kOrange, cv::FILLED);  // largest
  cv::rectangle(frame, cv::Rect(80, 20, 30, 30), kOrange, cv::FILLED);  // second
  cv::rectangle(frame, cv::Rect(180, 5, 10, 10), kOrange, cv::FILLED);  // small, rightmost
  EXPECT_EQ(VideoProcessor::find_orange_region(frame), (CropRegion{80, 20, 110, 50}));
}

TEST(FindOrangeRegion, RejectsFramesThatAreNotBgr) {
  const cv::Mat gray(10, 10, CV_8UC1, cv::Scalar(0));
  EXPECT_EQ(error_text<ArgumentError>([&] { VideoProcessor::find_orange_region(gray); }),
            "frame must be a non-empty 8-bit 3-channel BGR image, got 10 x 10 with 1 channels "
            "of depth 0");
}

// ---------------------------------------------------------------------------------------------
// Videos
// ---------------------------------------------------------------------------------------------

// A 25 fps video of grey frames with an optional orange block.
void write_video(const fs::path& path, int frames, cv::Size size, std::optional<cv::Rect> orange) {
  cv::VideoWriter writer(path.string(), cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 25, size);
  ASSERT_TRUE(writer.isOpened()) << path;
  for (int i = 0; i < frames; ++i) {
    cv::Mat frame(size, CV_8UC3, cv::Scalar::all(40 + i % 100));
    if (orange) cv::rectangle(frame, *orange, kOrange, cv::FILLED);
    writer.write(frame);
  }
}

std::size_t file_count(const fs::path& directory) {
  if (!fs::exists(directory)) return 0;
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(directory), {}));
}

std::vector<std::string> lines_starting(const std::vector<std::string>& lines,
                                        const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& line : lines) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

const cv::Size kFrameSize(96, 48);
const cv::Rect kOrangeBlock(64, 16, 16, 16);  // detected as x1=64 .. x2=80, kept from x1 - 50

// Videos shared by the tests: one minute with an orange block, 15 s plain, 151 frames.
class Videos : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    videos_ = new TempDir;
    write_video(minute(), 1500, kFrameSize, kOrangeBlock);
    write_video(plain(), 375, kFrameSize, std::nullopt);
    write_video(one_window_and_a_frame(), 151, kFrameSize, kOrangeBlock);
  }
  static void TearDownTestSuite() { delete videos_; }

  static fs::path minute() { return *videos_ / "Camera61_1_20240315080000.mp4"; }
  static fs::path plain() { return *videos_ / "plain.mp4"; }
  static fs::path one_window_and_a_frame() { return *videos_ / "short.mp4"; }

  Table catalogue_of(const fs::path& video, const std::string& camera = "61") const {
    Table table({"Camera Number", "Date", "Time", "File Path", "Video Name"});
    table.append_row({camera, "20240315", "08:00:00", video.string(), video.stem().string()});
    return table;
  }

  TempDir out_dir;

 private:
  static inline TempDir* videos_ = nullptr;
};

TEST_F(Videos, DurationInMinutes) {
  CoutCapture out;
  EXPECT_EQ(VideoProcessor::get_video_duration(minute()), 1.0);
  EXPECT_EQ(out.lines(), (std::vector<std::string>{"Video FPS: 25.0", "Total frames: 1500.0",
                                                   "Video duration: 60.00 seconds"}));
}

TEST_F(Videos, DurationOfUnusableVideosIsZero) {
  CoutCapture out;
  const fs::path missing = out_dir / "missing.mp4";
  EXPECT_EQ(VideoProcessor::get_video_duration(missing), 0.0);
  EXPECT_EQ(out.lines(),
            std::vector<std::string>{"Error: Could not open video " + missing.string()});

  // A still image opens as a stream whose frame count reads negative.
  const fs::path still = out_dir / "still.jpg";
  cv::imwrite(still.string(), cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(0)));
  CoutCapture still_out;
  EXPECT_EQ(VideoProcessor::get_video_duration(still), 0.0);
  EXPECT_EQ(still_out.lines().back(),
            "Error: Video " + still.string() + " has no usable frame rate or frame count.");
}

TEST_F(Videos, SavesEveryFrameSkipthFrameAndTheLast) {
  VideoProcessor processor{.frame_skip = 5};
  const fs::path dir = out_dir / "w";
  CoutCapture out;
  processor.crop_video_to_frames(minute(), dir, 0, 0.1, "61");
  const auto lines = out.lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "cv2 crop region for Camera 61: x1=64, y1=16, x2=80, y2=32");
  EXPECT_EQ(lines[1], "Detected crop region for Camera 61: x1=14, y1=0, x2=2300, y2=1440");
  const auto processed = lines_starting(lines, "Processing frame ");
  ASSERT_EQ(processed.size(), 31u);
  EXPECT_EQ(processed[0], "Processing frame 0 (saved as 0000.jpg)");
  EXPECT_EQ(processed[1], "Processing frame 5 (saved as 0001.jpg)");
  EXPECT_EQ(processed[29], "Processing frame 145 (saved as 0029.jpg)");
  EXPECT_EQ(processed[30], "Processing frame 149 (saved as 0030.jpg)");
  EXPECT_EQ(lines[lines.size() - 2],
            "Cropped frames from 0 to 0.1 minutes saved to " + dir.string() + ".");
  EXPECT_EQ(lines.back(), "Dim: (48, 82, 3)");
  EXPECT_EQ(file_count(dir), 31u);
  EXPECT_EQ(cv::imread((dir / "0030.jpg").string()).size(), cv::Size(82, 48));
  EXPECT_EQ(processor.camera_crop_coords.at("61"), (CropRegion{14, 0, 2300, 1440}));
}

TEST_F(Videos, CachedCameraSkipsDetection) {
  // The plain video has no orange: only the cached rectangle can crop it.
  VideoProcessor processor;
  processor.camera_crop_coords["61"] = CropRegion{10, 8, 40, 32};
  CoutCapture out;
  processor.crop_video_to_frames(plain(), out_dir / "w", 0, 0.01, "61");
  const auto lines = out.lines();
  EXPECT_EQ(lines[0], "Detected crop region for Camera 61: x1=10, y1=8, x2=40, y2=32");
  EXPECT_TRUE(lines_starting(lines, "cv2 crop region").empty());
  EXPECT_EQ(lines.back(), "Dim: (24, 30, 3)");
  EXPECT_EQ(file_count(out_dir / "w"), 15u);
}

TEST_F(Videos, NoOrangeRegionWritesNothing) {
  VideoProcessor processor;
  CoutCapture out;
  processor.crop_video_to_frames(plain(), out_dir / "w", 0, 0.1);
  EXPECT_EQ(out.lines(), std::vector<std::string>{"No orange region detected. Exiting."});
  EXPECT_EQ(file_count(out_dir / "w"), 0u);
  EXPECT_TRUE(processor.camera_crop_coords.empty());
}

TEST_F(Videos, EarlyExitsPrintTheirMessage) {
  VideoProcessor processor;
  {
    CoutCapture out;
    processor.crop_video_to_frames(out_dir / "missing.mp4", out_dir / "a");
    EXPECT_EQ(out.lines(), std::vector<std::string>{"Error: Could not open video."});
  }
  CoutCapture out;
  processor.crop_video_to_frames(minute(), out_dir / "b");  // minutes 10 to 12 of a 1-minute video
  EXPECT_EQ(out.lines(), std::vector<std::string>{"Error: Could not read the first frame."});
  EXPECT_TRUE(fs::is_directory(out_dir / "b"));
  EXPECT_EQ(file_count(out_dir / "b"), 0u);
}

TEST_F(Videos, FloatingStartCarriesItsRounding) {
  VideoProcessor processor;
  const Number start = Number(0) + 0.1 + 0.1 + 0.1;
  CoutCapture out;
  processor.crop_video_to_frames(minute(), out_dir / "w", start, 0.4, std::nullopt, false);
  const auto processed = lines_starting(out.lines(), "Processing frame ");
  ASSERT_EQ(processed.size(), 88u);
  EXPECT_EQ(processed.front(), "Processing frame 512.0 (saved as 0000.jpg)");
  EXPECT_EQ(processed.back(), "Processing frame 599.0 (saved as 0087.jpg)");
  EXPECT_EQ(out.lines().back(), "Dim: (48, 96, 3)");
}

TEST_F(Videos, OnlyTheLastIndexOfAnAllFractionalWindowIsSaved) {
  VideoProcessor processor;
  Number start = 0;
  for (int i = 0; i < 9; ++i) start = start + 0.1;
  CoutCapture out;
  processor.crop_video_to_frames(minute(), out_dir / "w", start, start + 0.1, std::nullopt, false);
  EXPECT_EQ(lines_starting(out.lines(), "Processing frame "),
            std::vector<std::string>{"Processing frame 1498.9999999999998 (saved as 0000.jpg)"});
  EXPECT_EQ(out.lines()[1],
            "Cropped frames from 0.8999999999999999 to 0.9999999999999999 "
            "minutes saved to " +
                (out_dir / "w").string() + ".");
}

TEST_F(Videos, ResizesToTheTargetHeight) {
  VideoProcessor processor{.resize_dim = std::pair{1000, 24}};
  CoutCapture out;
  processor.crop_video_to_frames(minute(), out_dir / "w", 0, 0.002, "61");
  EXPECT_EQ(out.lines().back(), "Dim: (24, 41, 3)");
  EXPECT_EQ(cv::imread((out_dir / "w" / "0000.jpg").string()).size(), cv::Size(41, 24));
}

TEST_F(Videos, RejectsBadSettingsBeforeWriting) {
  VideoProcessor no_skip{.frame_skip = 0};
  EXPECT_EQ(
      error_text<ArgumentError>([&] { no_skip.crop_video_to_frames(minute(), out_dir / "a"); }),
      "frame_skip must not be 0");
  VideoProcessor flat{.resize_dim = std::pair{10, 0}};
  EXPECT_EQ(error_text<ArgumentError>([&] { flat.crop_video_to_frames(minute(), out_dir / "a"); }),
            "resize_dim height must be at least 1, got 0");
  VideoProcessor processor;
  EXPECT_EQ(error_text<ArgumentError>([&] {
              processor.crop_video_to_frames(minute(), out_dir / "a", 0,
                                             std::numeric_limits<double>::infinity());
            }),
            "end_min must be finite, got inf");
  VideoProcessor still{.time_step = 0};
  EXPECT_EQ(
      error_text<ArgumentError>([&] { still.process_videos_to_frames(catalogue_of(minute())); }),
      "time_step must be a positive number of minutes, got 0.0");
  EXPECT_FALSE(fs::exists(out_dir / "a"));
}

TEST_F(Videos, BatchRejectsCataloguesWithoutItsColumns) {
  VideoProcessor processor;
  Table table({"Camera Number", "Date", "File Path"});
  EXPECT_EQ(error_text<ArgumentError>([&] { processor.process_videos_to_frames(table); }),
            "the catalogue table has no column 'Video Name'; its columns are ['Camera Number', "
            "'Date', 'File Path']");
}

TEST_F(Videos, BatchNamesWindowsAndSkipsExistingOnes) {
  VideoProcessor processor{
      .output_dir_base = out_dir.path().string(), .crop = false, .left_crop = true};
  const std::string video_dir = out_dir.path().string() + "/20240315/plain/";
  {
    CoutCapture out;
    processor.process_videos_to_frames(catalogue_of(plain()));
    EXPECT_EQ(lines_starting(out.lines(), "Cropped frames from "),
              (std::vector<std::string>{"Cropped frames from 0 to 0.1 minutes saved to " +
                                            video_dir + "0min_to_0.1min/left_cropped_frames.",
                                        "Cropped frames from 0.1 to 0.2 minutes saved to " +
                                            video_dir + "0.1min_to_0.2min/left_cropped_frames.",
                                        "Cropped frames from 0.2 to 0.25 minutes saved to " +
                                            video_dir + "0.2min_to_0.25min/left_cropped_frames."}));
  }
  EXPECT_EQ(file_count(video_dir + "0min_to_0.1min/left_cropped_frames"), 150u);
  EXPECT_EQ(file_count(video_dir + "0.1min_to_0.2min/left_cropped_frames"), 150u);
  EXPECT_EQ(file_count(video_dir + "0.2min_to_0.25min/left_cropped_frames"), 74u);
  EXPECT_EQ(file_count(video_dir + "0.2min_to_0.25min"), 1u);  // no temporary left behind

  CoutCapture rerun;
  processor.process_videos_to_frames(catalogue_of(plain()));
  EXPECT_EQ(
      rerun.lines(),
      (std::vector<std::string>{
          "Video FPS: 25.0", "Total frames: 375.0", "Video duration: 15.00 seconds",
          "Skipping " + video_dir + "0min_to_0.1min/left_cropped_frames, already exists.",
          "Skipping " + video_dir + "0.1min_to_0.2min/left_cropped_frames, already exists.",
          "Skipping " + video_dir + "0.2min_to_0.25min/left_cropped_frames, already exists."}));
}

TEST_F(Videos, BatchDetectsTheCropRegionOncePerCamera) {
  VideoProcessor processor{.output_dir_base = out_dir.path().string()};
  Table table = catalogue_of(one_window_and_a_frame());
  table.append(catalogue_of(minute()));
  processor.time_step = 0.5;
  CoutCapture out;
  processor.process_videos_to_frames(table);
  EXPECT_EQ(lines_starting(out.lines(), "cv2 crop region").size(), 1u);
  EXPECT_EQ(lines_starting(out.lines(), "Detected crop region").size(), 3u);
  EXPECT_EQ(file_count(out_dir.path().string() +
                       "/20240315/Camera61_1_20240315080000/0.5min_to_1.0min/right_cropped_frames"),
            749u);
}

TEST_F(Videos, BatchDropsAWindowThatSavedNothingAndRetriesIt) {
  // 151 frames: the second window starts on the last frame, which is read as its first frame.
  VideoProcessor processor{.output_dir_base = out_dir.path().string()};
  const std::string video_dir = out_dir.path().string() + "/20240315/short/";
  const std::string second = video_dir + "0.1min_to_0.10066666666666667min/right_cropped_frames";
  for (int run = 0; run < 2; ++run) {
    CoutCapture out;
    processor.process_videos_to_frames(catalogue_of(one_window_and_a_frame()));
    const auto lines = out.lines();
    EXPECT_EQ(lines[lines.size() - 2],
              "Cropped frames from 0.1 to 0.10066666666666667 minutes saved to " + second + ".");
    EXPECT_EQ(lines.back(), "Dim: None");
    EXPECT_FALSE(fs::exists(second));
    EXPECT_EQ(file_count(video_dir + "0.1min_to_0.10066666666666667min"), 0u);
  }
  EXPECT_EQ(file_count(video_dir + "0min_to_0.1min/right_cropped_frames"), 150u);
}

TEST_F(Videos, BatchRedoesAnInterruptedWindow) {
  VideoProcessor processor{.output_dir_base = out_dir.path().string(), .crop = false};
  const std::string window = out_dir.path().string() + "/20240315/plain/0min_to_0.1min/";
  kovra_test::write_text(window + "right_cropped_frames.partial/0000.jpg", "torn");
  CoutCapture out;
  processor.process_videos_to_frames(catalogue_of(plain()));
  EXPECT_EQ(file_count(window), 1u);
  EXPECT_EQ(file_count(window + "right_cropped_frames"), 150u);
  EXPECT_FALSE(cv::imread(window + "right_cropped_frames/0000.jpg").empty());
}

}  // namespace

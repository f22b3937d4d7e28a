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

template <class Error, class Call>
std::string error_text(Call call) {
  try {
    call();
  } catch (const Error& error) {
    return error.what();
  }
  return "no error";
}

std::vector<std::string> lines_starting(const std::vector<std::string>& lines,
                                        const std::string& prefix) {
  std::vector<std::string> found;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(found),
               [&](const std::string& line) { return line.starts_with(prefix); });
  return found;
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
      sub_dirs.emplace_back("d");
      sub_dirs.back() += std::to_string(sub_dirs.size() - 1);
      kovra_test::write_text(dir / sub_dirs.back() / name, "");
    }
    return sub_dirs;
  }
  TempDir dir;
};

TEST_F(Catalogue, ReadsCameraDateAndTimeFromTheName) {
  for (const char* name : {"Camera61_2_20240315061500.mp4", "Camera61_2_20240315061501.MP4",
                           "clip.mp4", "xCamera61_2_20240315061502.mp4"}) {
    kovra_test::write_text(dir / "sub" / name, "");
  }
  kovra_test::write_text(dir / "sub2" / "Camera7_2_20240315061500.mp4.mp4", "");
  CoutCapture out;
  const Table table =
      VideoMetadata{dir.path().string(), {"missing", "sub", "sub2"}, "06:00:00", "17:00:00", 0}
          .get_filtered_video_dataframe();
  const std::string path = (dir / "sub" / "Camera61_2_20240315061500.mp4").string();
  const std::string longer = (dir / "sub2" / "Camera7_2_20240315061500.mp4.mp4").string();
  EXPECT_EQ(out.text(), "['" + path + "', '" + longer + "']\n");
  EXPECT_EQ(table.columns(),
            (std::vector<std::string>{"Camera Number", "Date", "Time", "File Path", "Video Name"}));
  ASSERT_EQ(table.row_count(), 2u);
  EXPECT_EQ(table.row(0), (std::vector<kovra_utils::Value>{"61", "20240315", "06:15:00", path,
                                                           "Camera61_2_20240315061500"}));
  EXPECT_EQ(table.text(1, "Video Name"), "Camera7_2_20240315061500.mp4");
}

// Labels after each stage: one recording at 06:00:00, then seven inside it
// (the first at 06:00:01, the last at 16:59:59), cameras alternating 61 / 7, then one at 17:00:00.
struct SelectionCase {
  std::string name;
  std::int64_t sample_step;
  std::int64_t top_n;
  std::optional<std::string> camera_number;
  std::vector<std::int64_t> labels;
};

class CatalogueSelection : public Catalogue, public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(CatalogueSelection, KeepsLabelsOfSelectedRows) {
  std::vector<std::string> names = {"Camera61_0_20240101060000.mp4"};
  for (const char* time : {"060001", "081100", "081200", "081300", "081400", "081500", "165959"}) {
    names.push_back("Camera" + std::string(names.size() % 2 == 1 ? "61" : "7") + "_0_20240101" +
                    time + ".mp4");
  }
  names.push_back("Camera61_0_20240101170000.mp4");
  const auto& c = GetParam();
  CoutCapture out;
  const Table table = VideoMetadata{dir.path().string(),
                                    add_recordings(names),
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
                      SelectionCase{"CameraAsText", 1, -1, "07", {}},
                      SelectionCase{"TopAfterCamera", 1, 2, "61", {1, 3}},
                      SelectionCase{"TopBeyondRows", 3, 10, std::nullopt, {1, 4, 7}}),
    [](const auto& info) { return info.param.name; });

TEST_F(Catalogue, BadPatternsAndUnlistableFoldersAreErrors) {
  kovra_test::write_text(dir / "plain_file", "");
  const auto with_pattern = [&](std::string pattern) {
    return VideoMetadata{.base_dir = dir.path().string(),
                         .sub_dirs = {"plain_file"},
                         .match_pattern = std::move(pattern)};
  };
  EXPECT_EQ(error_text<ArgumentError>(
                [&] { with_pattern(R"(C(\d+)_(\d+)_(\d+))").get_filtered_video_dataframe(); }),
            R"(match_pattern 'C(\\d+)_(\\d+)_(\\d+)' must have at least 4 groups, got 3)");
  EXPECT_TRUE(error_text<ArgumentError>([&] {
                with_pattern("(a)(b)(c)(d").get_filtered_video_dataframe();
              }).starts_with("match_pattern '(a)(b)(c)(d' is not a valid regular expression: "));
  // Nesting and length that would overflow the stack of the expression compiler.
  const std::string deep = std::string(5000, '(') + "a" + std::string(5000, ')');
  EXPECT_NE(error_text<ArgumentError>([&] { with_pattern(deep).get_filtered_video_dataframe(); })
                .find("10001 characters long"),
            std::string::npos);
  EXPECT_NE(error_text<ArgumentError>([&] {
              with_pattern(std::string(33, '(') + std::string(33, ')') + "(a)(b)(c)(d)")
                  .get_filtered_video_dataframe();
            }).find("nests groups deeper than 32"),
            std::string::npos);
  EXPECT_NE(error_text<ArgumentError>([&] {
              with_pattern("(a)(b)(c)(d)" + std::string(2000, 'x')).get_filtered_video_dataframe();
            }).find("more than the 1024 allowed"),
            std::string::npos);
  EXPECT_EQ(error_text<ArgumentError>([&] {
              with_pattern(R"([(]{40}(a)(b)(c))").get_filtered_video_dataframe();
            }),
            R"(match_pattern '[(]{40}(a)(b)(c)' must have at least 4 groups, got 3)");
  EXPECT_TRUE(error_text<FileError>([&] {
                VideoMetadata{dir.path().string(), {"plain_file"}}.get_filtered_video_dataframe();
              }).starts_with("cannot list the directory " + (dir / "plain_file").string() + ": "));
}

// ---------------------------------------------------------------------------------------------
// Number and the pure crop steps
// ---------------------------------------------------------------------------------------------

TEST(Number, StaysIntegerUntilAFloatingOperand) {
  const Number three_steps = Number(0) + 0.1 + 0.1 + 0.1;
  EXPECT_EQ(Number(0).to_string(), "0");
  EXPECT_EQ(three_steps.to_string(), "0.30000000000000004");
  EXPECT_EQ((Number(1500) * 10).to_string(), "15000");
  EXPECT_EQ((Number(1500) * three_steps).to_string(), "450.00000000000006");
  EXPECT_EQ((Number(600.0) - 1).to_string(), "599.0");
  EXPECT_TRUE(Number(1499) == Number(1499.0));
  EXPECT_TRUE(Number(INT64_MAX) < Number(9223372036854775807.0));  // the double is 2^63
  EXPECT_FALSE(Number(450.00000000000006).is_multiple_of(1));
  EXPECT_TRUE(Number(INT64_MIN).is_multiple_of(-1));
  EXPECT_EQ(error_text<ArgumentError>([] { Number(INT64_MAX) * 2; }),
            "integer overflow in 9223372036854775807 * 2");
}

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
  EXPECT_EQ(kovra_utils::video_detail::height_scaled({2130, 1440}, 720), cv::Size(1065, 720));
}

const cv::Scalar kOrange(0, 140, 255);  // BGR; hue 16 on OpenCV's 0..179 scale

TEST(FindOrangeRegion, RightmostOfTheTwoLargest) {
  cv::Mat frame(100, 200, CV_8UC3, cv::Scalar(0, 0, 255));
  EXPECT_EQ(VideoProcessor::find_orange_region(frame), std::nullopt);
  cv::rectangle(frame, cv::Rect(10, 10, 40, 40), kOrange, cv::FILLED);  // largest
  cv::rectangle(frame, cv::Rect(80, 20, 30, 30), kOrange, cv::FILLED);  // second
  cv::rectangle(frame, cv::Rect(180, 5, 10, 10), kOrange, cv::FILLED);  // small, rightmost
  EXPECT_EQ(VideoProcessor::find_orange_region(frame), (CropRegion{80, 20, 110, 50}));
  EXPECT_EQ(error_text<ArgumentError>(
                [] { VideoProcessor::find_orange_region(cv::Mat(10, 10, CV_8UC1)); }),
            "frame must be a non-empty 8-bit 3-channel BGR image, got 10 x 10 with 1 channels "
            "of depth 0");
}

// ---------------------------------------------------------------------------------------------
// Videos
// ---------------------------------------------------------------------------------------------

const cv::Size kFrameSize(96, 48);
const cv::Rect kOrangeBlock(64, 16, 16, 16);  // detected as x1=64 .. x2=80, kept from x1 - 50

// A 25 fps video of grey frames with an optional orange block.
void write_video(const fs::path& path, int frames, bool orange) {
  cv::VideoWriter writer(path.string(), cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 25,
                         kFrameSize);
  ASSERT_TRUE(writer.isOpened()) << path;
  for (int i = 0; i < frames; ++i) {
    cv::Mat frame(kFrameSize, CV_8UC3, cv::Scalar::all(40 + i % 100));
    if (orange) cv::rectangle(frame, kOrangeBlock, kOrange, cv::FILLED);
    writer.write(frame);
  }
}

std::size_t file_count(const fs::path& directory) {
  if (!fs::exists(directory)) return 0;
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(directory), {}));
}

// Videos shared by the tests: one minute with an orange block, 15 s plain, 151 frames.
class Videos : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    videos_ = new TempDir;
    write_video(minute(), 1500, true);
    write_video(plain(), 375, false);
    write_video(one_window_and_a_frame(), 151, true);
  }
  static void TearDownTestSuite() { delete videos_; }

  static fs::path minute() { return *videos_ / "minute.mp4"; }
  static fs::path plain() { return *videos_ / "plain.mp4"; }
  static fs::path one_window_and_a_frame() { return *videos_ / "short.mp4"; }

  static Table catalogue_of(const fs::path& video) {
    Table table({"Camera Number", "Date", "Time", "File Path", "Video Name"});
    table.append_row({"61", "20240315", "08:00:00", video.string(), video.stem().string()});
    return table;
  }

  TempDir out_dir;

 private:
  static inline TempDir* videos_ = nullptr;
};

TEST_F(Videos, DurationInMinutesOrZero) {
  CoutCapture out;
  EXPECT_EQ(VideoProcessor::get_video_duration(minute()), 1.0);
  EXPECT_EQ(VideoProcessor::get_video_duration(out_dir / "missing.mp4"), 0.0);
  // A still image opens as a stream whose frame count reads negative.
  const fs::path still = out_dir / "still.jpg";
  cv::imwrite(still.string(), cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(0)));
  EXPECT_EQ(VideoProcessor::get_video_duration(still), 0.0);
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(std::vector(lines.begin(), lines.begin() + 4),
            (std::vector<std::string>{
                "Video FPS: 25.0", "Total frames: 1500.0", "Video duration: 60.00 seconds",
                "Error: Could not open video " + (out_dir / "missing.mp4").string()}));
  EXPECT_EQ(lines[6],
            "Error: Video " + still.string() + " has no usable frame rate or frame count.");
}

TEST_F(Videos, SavesEveryFrameSkipthFrameAndTheLast) {
  VideoProcessor processor{.frame_skip = 5};
  const fs::path dir = out_dir / "w";
  CoutCapture out;
  processor.crop_video_to_frames(minute(), dir, 0, 0.1, "61");
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 35u);
  EXPECT_EQ(lines[0], "cv2 crop region for Camera 61: x1=64, y1=16, x2=80, y2=32");
  EXPECT_EQ(lines[1], "Detected crop region for Camera 61: x1=14, y1=0, x2=2300, y2=1440");
  EXPECT_EQ(lines[2], "Processing frame 0 (saved as 0000.jpg)");
  EXPECT_EQ(lines[3], "Processing frame 5 (saved as 0001.jpg)");
  EXPECT_EQ(lines[31], "Processing frame 145 (saved as 0029.jpg)");
  EXPECT_EQ(lines[32], "Processing frame 149 (saved as 0030.jpg)");
  EXPECT_EQ(lines[33], "Cropped frames from 0 to 0.1 minutes saved to " + dir.string() + ".");
  EXPECT_EQ(lines[34], "Dim: (48, 82, 3)");
  EXPECT_EQ(file_count(dir), 31u);
  EXPECT_EQ(cv::imread((dir / "0030.jpg").string()).size(), cv::Size(82, 48));
  EXPECT_EQ(processor.camera_crop_coords.at("61"), (CropRegion{14, 0, 2300, 1440}));
}

TEST_F(Videos, CachedCameraSkipsDetectionAndResizes) {
  // The plain video has no orange: only the cached rectangle can crop it.
  VideoProcessor processor{.resize_dim = std::pair{1000, 12}};
  processor.camera_crop_coords["61"] = CropRegion{10, 8, 40, 32};
  CoutCapture out;
  processor.crop_video_to_frames(plain(), out_dir / "w", 0, 0.01, "61");
  EXPECT_EQ(out.lines().front(), "Detected crop region for Camera 61: x1=10, y1=8, x2=40, y2=32");
  EXPECT_EQ(out.lines().back(), "Dim: (12, 15, 3)");
  EXPECT_EQ(file_count(out_dir / "w"), 15u);
  EXPECT_EQ(cv::imread((out_dir / "w" / "0014.jpg").string()).size(), cv::Size(15, 12));
}

TEST_F(Videos, EarlyExitsWriteNothing) {
  VideoProcessor processor;
  CoutCapture out;
  processor.crop_video_to_frames(out_dir / "missing.mp4", out_dir / "a");
  processor.crop_video_to_frames(minute(), out_dir / "b");  // minutes 10 to 12 of a 1-minute video
  processor.crop_video_to_frames(plain(), out_dir / "c", 0, 0.1);
  EXPECT_EQ(out.lines(), (std::vector<std::string>{"Error: Could not open video.",
                                                   "Error: Could not read the first frame.",
                                                   "No orange region detected. Exiting."}));
  EXPECT_EQ(file_count(out_dir / "b") + file_count(out_dir / "c"), 0u);
  EXPECT_TRUE(processor.camera_crop_coords.empty());
}

TEST_F(Videos, FloatingBoundsCarryTheirRounding) {
  VideoProcessor processor;
  Number start = 0;
  for (int i = 0; i < 3; ++i) start = start + 0.1;
  CoutCapture out;
  processor.crop_video_to_frames(minute(), out_dir / "a", start, 0.4, std::nullopt, false);
  const auto saved = lines_starting(out.lines(), "Processing frame ");
  ASSERT_EQ(saved.size(), 88u);
  EXPECT_EQ(saved.front(), "Processing frame 512.0 (saved as 0000.jpg)");
  EXPECT_EQ(saved.back(), "Processing frame 599.0 (saved as 0087.jpg)");

  for (int i = 3; i < 9; ++i) start = start + 0.1;
  CoutCapture late;
  processor.crop_video_to_frames(minute(), out_dir / "b", start, start + 0.1, std::nullopt, false);
  EXPECT_EQ(late.lines(),
            (std::vector<std::string>{"Processing frame 1498.9999999999998 (saved as 0000.jpg)",
                                      "Cropped frames from 0.8999999999999999 to "
                                      "0.9999999999999999 minutes saved to " +
                                          (out_dir / "b").string() + ".",
                                      "Dim: (48, 96, 3)"}));
}

TEST_F(Videos, RejectsBadSettingsBeforeWriting) {
  const auto crop_error = [&](VideoProcessor processor) {
    return error_text<ArgumentError>([&] {
      processor.crop_video_to_frames(minute(), out_dir / "a", 0,
                                     std::numeric_limits<double>::infinity());
    });
  };
  EXPECT_EQ(crop_error({.frame_skip = 0}), "frame_skip must not be 0");
  EXPECT_EQ(crop_error({.resize_dim = std::pair{10, 0}}),
            "resize_dim height must be at least 1, got 0");
  EXPECT_EQ(crop_error({}), "end_min must be finite, got inf");
  VideoProcessor still{.time_step = 0};
  EXPECT_EQ(
      error_text<ArgumentError>([&] { still.process_videos_to_frames(catalogue_of(plain())); }),
      "time_step must be a positive number of minutes, got 0.0");
  EXPECT_EQ(
      error_text<ArgumentError>([&] {
        VideoProcessor().process_videos_to_frames(Table({"Date", "File Path"}));
      }),
      "the catalogue table has no column 'Video Name'; its columns are ['Date', 'File Path']");
  EXPECT_FALSE(fs::exists(out_dir / "a"));
}

// Names that would put a clip's folders outside output_dir_base, or in another clip's folder.
TEST_F(Videos, RefusesCatalogueNamesThatAreNotOneFolder) {
  VideoProcessor processor{.output_dir_base = (out_dir / "base").string(), .crop = false};
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Video Name", ".."}, {"Video Name", "."}, {"Video Name", "../../escaped"},
      {"Date", ".."},       {"Date", "2024/03"}, {"Video Name", std::string("..\0x", 4)}};
  for (const auto& [column, name] : cases) {
    Table bad = catalogue_of(plain());
    std::vector<kovra_utils::Value> cells = bad.row(0);
    bad.append_row(cells);
    cells[bad.column_index(column)] = name;
    bad.append_row(cells);
    CoutCapture out;
    const std::string message =
        error_text<ContentError>([&] { processor.process_videos_to_frames(bad); });
    EXPECT_NE(message.find("catalogue row 2: '" + column + "'"), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(out_dir / "base")) << name;
  }
}

TEST_F(Videos, BatchNamesWindowsAndSkipsExistingOnes) {
  VideoProcessor processor{
      .output_dir_base = out_dir.path().string(), .crop = false, .left_crop = true};
  const std::string video_dir = out_dir.path().string() + "/20240315/plain/";
  const std::vector<std::string> windows = {"0min_to_0.1min", "0.1min_to_0.2min",
                                            "0.2min_to_0.25min"};
  {
    CoutCapture out;
    processor.process_videos_to_frames(catalogue_of(plain()));
    EXPECT_EQ(lines_starting(out.lines(), "Cropped frames from 0.2 to 0.25 minutes saved to " +
                                              video_dir + windows[2] + "/left_cropped_frames.")
                  .size(),
              1u);
  }
  const std::vector<std::size_t> frames = {150, 150, 74};
  std::vector<std::string> skipped = {"Video FPS: 25.0", "Total frames: 375.0",
                                      "Video duration: 15.00 seconds"};
  for (std::size_t w = 0; w < windows.size(); ++w) {
    EXPECT_EQ(file_count(video_dir + windows[w] + "/left_cropped_frames"), frames[w]);
    EXPECT_EQ(file_count(video_dir + windows[w]), 1u);  // no temporary left behind
    skipped.push_back("Skipping " + video_dir + windows[w] +
                      "/left_cropped_frames, already exists.");
  }
  CoutCapture rerun;
  processor.process_videos_to_frames(catalogue_of(plain()));
  EXPECT_EQ(rerun.lines(), skipped);
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

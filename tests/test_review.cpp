#include <kovra_utils/review.hpp>

#include "capture.hpp"
#include "model_doubles.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <deque>
#include <filesystem>
#include <functional>

namespace {

using kovra_test::CoutCapture;
using kovra_test::read_text;
using kovra_test::TempDir;
using kovra_test::write_text;
using kovra_utils::ClipData;
using kovra_utils::ContentError;
using kovra_utils::FileError;
using kovra_utils::FrameRecord;
using kovra_utils::FrameRuns;
using kovra_utils::FrameRunsMap;
using kovra_utils::IntersectionTable;
using kovra_utils::Table;
using kovra_utils::Value;

const std::string kHeader =
    "Frame ID,Box Pair,Intersection Value,Mask Area1,Mask Area2,Report type,Box ID,Mask Areas\n";

struct Cell {
  std::string row;
  std::string col;
  double value;
};

// A whole-clip record with the given areas and non-zero intersection cells (no masks).
FrameRecord record(const std::vector<std::pair<std::string, std::int64_t>>& areas,
                   const std::vector<Cell>& cells = {}) {
  FrameRecord out;
  std::vector<std::string> keys;
  for (const auto& [key, area] : areas) {
    out.mask_areas[key] = area;
    keys.push_back(key);
  }
  IntersectionTable table(keys);
  for (const auto& cell : cells)
    table.set(table.index_of(cell.row), table.index_of(cell.col), cell.value);
  out.intersections_df = table;
  return out;
}

const std::vector<std::pair<std::string, std::int64_t>> kAreas = {
    {"Box0", 700}, {"Box3", 420}, {"Box5", 90}};

// ---------------------------------------------------------------------------------------------
// generate_tracking_report
// ---------------------------------------------------------------------------------------------

TEST(GenerateTrackingReport, WritesOverlapRowsThenZeroAreaRows) {
  TempDir dir;
  ClipData clip;
  clip[4] = record(kAreas);
  clip[5] = record(kAreas, {{"Box0", "Box3", 85.714}, {"Box3", "Box0", 12.0}});
  clip[12] = record({{"Box0", 700}, {"Box3", 0}});
  clip[13] = record({{"Box0", 0}, {"Box3", 0}});
  clip[9] = record(kAreas, {{"Box5", "Box0", 100.0},
                            {"Box0", "Box5", 2.675},
                            {"Box3", "Box5", 80.125},
                            {"Box0", "Box3", 80.01}});

  CoutCapture out;
  const auto report = kovra_utils::generate_tracking_report(clip, dir.path().string());

  const std::string path = (dir.path() / "tracking_question_report.csv").string();
  EXPECT_EQ(out.text(),
            "Generating tracking question report...\n\n"
            "Tracking question report saved to " +
                path + "\n");
  EXPECT_EQ(read_text(path), kHeader +
                                 "5,Box0-Box3,85.71,700,420,High overlap mask detected,,\n"
                                 "9,Box0-Box3,80.01,700,420,High overlap mask detected,,\n"
                                 "9,Box3-Box5,80.12,420,90,High overlap mask detected,,\n"
                                 "9,Box5-Box0,100.0,90,700,High overlap mask detected,,\n"
                                 "12,,,,,Zero area detected,Box3,0\n"
                                 "13,,,,,Zero area detected,Box0,0\n"
                                 "13,,,,,Zero area detected,Box3,0\n");

  EXPECT_EQ(report.overlap_frames, (std::vector<std::int64_t>{5, 9}));
  EXPECT_EQ(report.overlap_frames_data.row_count(), 4u);
  EXPECT_EQ(report.overlap_frames_data.labels(), (std::vector<std::int64_t>{0, 1, 2, 3}));
  EXPECT_EQ(report.overlap_frames_data.number(0, "Intersection Value"), 85.71);
  // Only the last overlap frame's rows, numbered from 0.
  ASSERT_EQ(report.box_keys_df.row_count(), 3u);
  EXPECT_EQ(report.box_keys_df.labels(), (std::vector<std::int64_t>{0, 1, 2}));
  EXPECT_EQ(report.box_keys_df.text(2, "Box Pair"), "Box5-Box0");
  ASSERT_EQ(report.zero_area_frames.row_count(), 3u);
  EXPECT_EQ(report.zero_area_frames.integer(0, "Frame ID"), 12);
  EXPECT_EQ(report.zero_area_frames.text(2, "Box ID"), "Box3");
  EXPECT_EQ(report.zero_area_frames.columns(), kovra_utils::tracking_report_columns());
}

TEST(GenerateTrackingReport, ThresholdIsStrict) {
  struct Case {
    double cell;
    double threshold;
    bool reported;
  };
  const Case cases[] = {{80.0, 80, false},
                        {80.01, 80, true},
                        {50.0, 49.99, true},
                        {50.0, 50, false},
                        {std::nan(""), 0, false}};
  for (const auto& c : cases) {
    TempDir dir;
    ClipData clip;
    clip[0] = record(kAreas, {{"Box3", "Box5", c.cell}});
    CoutCapture out;
    const auto report =
        kovra_utils::generate_tracking_report(clip, dir.path().string(), c.threshold);
    EXPECT_EQ(report.overlap_frames.size(), c.reported ? 1u : 0u) << c.cell << " > " << c.threshold;
    EXPECT_EQ(std::filesystem::exists(dir / "tracking_question_report.csv"), c.reported);
  }
}

TEST(GenerateTrackingReport, NothingToReportLeavesEarlierFileAlone) {
  TempDir dir;
  write_text(dir / "tracking_question_report.csv", "earlier");
  ClipData clip;
  clip[0] = record(kAreas, {{"Box0", "Box3", 80.0}});
  clip[1] = record({});
  CoutCapture out;
  const auto report = kovra_utils::generate_tracking_report(clip, dir.path().string());
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(read_text(dir / "tracking_question_report.csv"), "earlier");
  EXPECT_TRUE(report.overlap_frames_data.empty());
  EXPECT_TRUE(report.zero_area_frames.empty());
  EXPECT_TRUE(report.overlap_frames.empty());
  EXPECT_TRUE(report.box_keys_df.empty());
  EXPECT_EQ(report.box_keys_df.columns(), kovra_utils::tracking_report_columns());
}

TEST(GenerateTrackingReport, OnlyZeroAreasGivesHeaderAndZeroRows) {
  TempDir dir;
  ClipData clip;
  clip[0] = record({{"Box2", 0}, {"Box7", 15}});
  CoutCapture out;
  const auto report = kovra_utils::generate_tracking_report(clip, dir.path().string() + "/");
  EXPECT_EQ(read_text(dir / "tracking_question_report.csv"),
            kHeader + "0,,,,,Zero area detected,Box2,0\n");
  EXPECT_EQ(out.lines().back(), "Tracking question report saved to " +
                                    (dir.path() / "tracking_question_report.csv").string());
  EXPECT_TRUE(report.overlap_frames_data.empty());
  EXPECT_TRUE(report.box_keys_df.empty());
}

TEST(GenerateTrackingReport, BadInputIsNamedAndWritesNothing) {
  TempDir dir;
  const auto expect_error = [&](const ClipData& clip, const std::string& folder, auto tag,
                                const std::string& message, const std::string& printed) {
    CoutCapture out;
    try {
      kovra_utils::generate_tracking_report(clip, folder);
      ADD_FAILURE() << "expected: " << message;
    } catch (const decltype(tag)& error) {
      EXPECT_EQ(std::string(error.what()).substr(0, message.size()), message);
    }
    EXPECT_EQ(out.text(), printed);
    EXPECT_FALSE(std::filesystem::exists(dir / "tracking_question_report.csv"));
  };
  const std::string folder = dir.path().string();
  ClipData single_frame_mode;
  single_frame_mode[0] = record({{"Box0", 0}});
  single_frame_mode[3] = record({{"Box0", 5}});
  single_frame_mode[3].intersections_df.reset();
  expect_error(single_frame_mode, folder, ContentError(""),
               "frame 3 has no intersection table (the clip must be loaded whole)", "");

  ClipData missing_area;
  missing_area[2] = record(kAreas, {{"Box0", "Box5", 90.0}});
  missing_area[2].mask_areas.erase("Box5");
  expect_error(missing_area, folder, std::out_of_range(""), "frame 2: mask_areas has no key 'Box5'",
               "Generating tracking question report...\n\n");

  const std::string missing = (dir / "missing").string();
  ClipData zero_area;
  zero_area[0] = record({{"Box0", 0}});
  expect_error(zero_area, missing, FileError(""), "cannot write " + missing,
               "Generating tracking question report...\n\n");
}

// ---------------------------------------------------------------------------------------------
// find_continuous_frames
// ---------------------------------------------------------------------------------------------

Table findings(const std::vector<std::pair<Value, Value>>& group_and_frame,
               const std::string& group_column = "Box ID") {
  Table table({"Frame ID", group_column, "Other"});
  for (const auto& [group, frame] : group_and_frame) table.append_row({frame, group, 1.5});
  return table;
}

std::vector<std::pair<Value, Value>> frames_of(const std::string& group,
                                               const std::vector<std::int64_t>& frames) {
  std::vector<std::pair<Value, Value>> rows;
  for (auto frame : frames) rows.emplace_back(group, frame);
  return rows;
}

struct RunsCase {
  std::string name;
  std::vector<std::int64_t> frames;
  std::int64_t n_consecutive;
  FrameRuns expected;
};

class FindContinuousFramesRuns : public testing::TestWithParam<RunsCase> {};

TEST_P(FindContinuousFramesRuns, OneGroup) {
  const auto& c = GetParam();
  const auto runs = kovra_utils::find_continuous_frames(findings(frames_of("Box3", c.frames)),
                                                        "Box ID", c.n_consecutive);
  if (c.expected.empty()) {
    EXPECT_TRUE(runs.empty());
  } else {
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs.at(std::string("Box3")), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindContinuousFramesRuns,
    testing::Values(RunsCase{"GapDropsShortRun", {4, 5, 6, 9, 10}, 3, {{4, 5, 6}}},
                    RunsCase{"ShorterMinimumKeepsBoth", {4, 5, 6, 9, 10}, 2, {{4, 5, 6}, {9, 10}}},
                    RunsCase{"RepeatSplitsRun", {4, 5, 5, 6}, 2, {{4, 5}, {5, 6}}},
                    RunsCase{"UnsortedRows", {6, 4, 5}, 3, {{4, 5, 6}}},
                    RunsCase{"ExactlyMinimum", {7, 8}, 2, {{7, 8}}},
                    RunsCase{"OneKeepsSingles", {9, 3, 3}, 1, {{3}, {3}, {9}}},
                    RunsCase{"ExtremeValuesDoNotJoin",
                             {std::numeric_limits<std::int64_t>::min(),
                              std::numeric_limits<std::int64_t>::max()},
                             1,
                             {{std::numeric_limits<std::int64_t>::min()},
                              {std::numeric_limits<std::int64_t>::max()}}}),
    [](const auto& info) { return info.param.name; });

TEST(FindContinuousFrames, GroupsInValueOrderWithoutAbsentOrNaNOnes) {
  auto rows = frames_of("Box10-Box2", {1, 2});
  for (auto& row : frames_of("Box1-Box3", {5, 6})) rows.push_back(row);
  for (auto& row : frames_of("Box2-Box9", {1})) rows.push_back(row);
  rows.emplace_back(Value{}, std::int64_t{3});
  rows.emplace_back(Value{}, Value{});  // an ungrouped row may hold anything
  for (std::int64_t frame : {7, 8, 9}) {
    rows.emplace_back(std::numeric_limits<double>::quiet_NaN(), frame);
  }
  const auto runs = kovra_utils::find_continuous_frames(findings(rows, "Box Pair"), "Box Pair", 2);
  std::vector<Value> keys;
  for (const auto& [key, value] : runs) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<Value>{std::string("Box1-Box3"), std::string("Box10-Box2")}));
}

TEST(FindContinuousFrames, EmptyTableAndBadCells) {
  EXPECT_TRUE(kovra_utils::find_continuous_frames(findings({})).empty());
  EXPECT_THROW(kovra_utils::find_continuous_frames(findings({}), "Box Pair"), std::out_of_range);
  try {
    kovra_utils::find_continuous_frames(findings({{std::string("Box1"), 4.0}}));
    FAIL() << "expected ContentError";
  } catch (const ContentError& error) {
    EXPECT_EQ(std::string(error.what()), "table column 'Frame ID' row 0: expected an integer");
  }
}

// ---------------------------------------------------------------------------------------------
// process_overlap_frames
// ---------------------------------------------------------------------------------------------

using kovra_test::ScriptedPredictor;
using kovra_utils::Mask;

const cv::Size kFrameSize(60, 40);

// Each box's rectangle in one frame; a missing box is left out of the frame's masks.
using FrameBoxes = std::function<std::map<std::string, cv::Rect>(std::int64_t frame)>;

// Boxes standing still: Box1 top-left, Box2 and Box3 right of it.
std::map<std::string, cv::Rect> resting_boxes(std::int64_t) {
  return {{"Box1", {5, 5, 10, 10}}, {"Box2", {30, 10, 10, 10}}, {"Box3", {30, 25, 10, 10}}};
}

// A clip of `frames` records keyed 0 .. frames-1; frame f's image is a solid PNG whose blue
// channel is f, so the images handed to the predictor tell which frame they came from.
ClipData make_clip(const TempDir& dir, std::int64_t frames, const FrameBoxes& boxes) {
  ClipData clip;
  for (std::int64_t f = 0; f < frames; ++f) {
    FrameRecord rec;
    rec.frame_index = f;
    for (const auto& [key, rect] : boxes(f)) {
      cv::Mat plane = cv::Mat::zeros(kFrameSize, CV_8U);
      plane(rect & cv::Rect({0, 0}, kFrameSize)).setTo(1);
      rec.masks_dict[key] = Mask::from_dense(plane);
    }
    rec.image_path = (dir / ("frame_" + std::to_string(f) + ".png")).string();
    cv::imwrite(rec.image_path, cv::Mat(kFrameSize, CV_8UC3, cv::Scalar(double(f), 100, 200)));
    clip[f] = rec;
  }
  return clip;
}

Table overlap_rows(const std::vector<std::pair<std::string, std::vector<std::int64_t>>>& pairs) {
  Table table(kovra_utils::tracking_report_columns());
  for (const auto& [pair, frames] : pairs) {
    for (auto frame : frames) {
      table.append_row({frame, pair, 90.0, {}, {}, {}, {}, {}});
    }
  }
  return table;
}

// A predictor whose encoder gives every mask the same features, so only the two IoU terms
// separate the boxes.
ScriptedPredictor uniform_predictor() {
  ScriptedPredictor predictor;
  predictor.encode = [](const cv::Mat&) {
    const int dims[] = {1, 4, 2, 2};
    return cv::Mat(4, dims, CV_32F, cv::Scalar(1.0f));
  };
  return predictor;
}

// The frames whose images were set on the predictor, in call order.
std::vector<int> frames_set(const ScriptedPredictor& predictor) {
  std::vector<int> frames;
  for (const auto& call : predictor.calls) {
    if (call.method == "set_image") frames.push_back(call.argument.at<cv::Vec3b>(0, 0)[2]);
  }
  return frames;
}

TEST(ProcessOverlapFrames, ComparesFramesBeforeTheFirstOverlap) {
  TempDir dir;
  const ClipData clip = make_clip(dir, 20, [](std::int64_t f) {
    auto boxes = resting_boxes(f);
    if (f == 11) boxes["Box2"].x += 6;  // Box2 jumps in the frame past the test frame
    return boxes;
  });
  const Table table = overlap_rows({{"Box1-Box2", {10, 11, 12, 13}}, {"Box3-Box4", {13}}});
  auto predictor = uniform_predictor();
  CoutCapture out;
  const auto result = kovra_utils::process_overlap_frames(table, clip, predictor);
  EXPECT_EQ(out.lines(), (std::vector<std::string>{
                             "dict_keys(['Box1-Box2'])",
                             "Box Pair: Box1-Box2",
                             "First frame with a single boxpair: 10",
                             "First frame with multiple boxpairs: 13",
                             "reverse_track: False",
                             "Most frequent box with errors: Box2",
                         }));
  EXPECT_EQ(result.test_frame, 10);
  EXPECT_EQ(result.most_frequent_box, "Box2");
  EXPECT_EQ(result.worst_boxes, std::vector<std::string>(5, "Box2"));
  ASSERT_EQ(result.con_frames_dict.size(), 1u);
  EXPECT_EQ(result.con_frames_dict.at(std::string("Box1-Box2")), (FrameRuns{{10, 11, 12, 13}}));
  EXPECT_EQ(frames_set(predictor), (std::vector<int>{5, 11, 6, 11, 7, 11, 8, 11, 9, 11}));
  // Box3 has no run, so it is not tested: two masks per side.
  const auto methods = predictor.methods();
  EXPECT_EQ(std::count(methods.begin(), methods.end(), "image_encoder"), 20);
}

struct DirectionCase {
  std::string name;
  std::vector<std::pair<std::string, std::vector<std::int64_t>>> pairs;
  std::int64_t clip_frames;
  std::vector<std::string> pair_lines;  // the lines of the last pair
  std::optional<std::int64_t> test_frame;
  std::vector<int> frames_set;  // m, n, m, n, ...
};

class ProcessOverlapFramesDirection : public testing::TestWithParam<DirectionCase> {};

TEST_P(ProcessOverlapFramesDirection, PicksFramesAndSkipsOutsideTheClip) {
  const auto& c = GetParam();
  TempDir dir;
  const ClipData clip = make_clip(dir, c.clip_frames, resting_boxes);
  auto predictor = uniform_predictor();
  CoutCapture out;
  const auto result = kovra_utils::process_overlap_frames(overlap_rows(c.pairs), clip, predictor);
  auto lines = out.lines();
  const bool compared = !c.frames_set.empty();
  ASSERT_GE(lines.size(), 3u + compared);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3 - compared, lines.end() - compared),
            c.pair_lines);
  EXPECT_EQ(result.test_frame, c.test_frame);
  EXPECT_EQ(frames_set(predictor), c.frames_set);
  EXPECT_EQ(result.worst_boxes.size(), c.frames_set.size() / 2);
  EXPECT_EQ(result.most_frequent_box.has_value(), compared);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessOverlapFramesDirection,
    testing::Values(
        // Present at frame 0: the last single frame; frames 2 .. 6 against 1, 5 and 6 outside.
        DirectionCase{"ReversedAtClipStart",
                      {{"Box1-Box2", {0, 1, 2}}},
                      5,
                      {"First frame with a single boxpair: 2",
                       "First frame with multiple boxpairs: nan", "reverse_track: True"},
                      2,
                      {2, 1, 3, 1, 4, 1}},
        DirectionCase{"FramesBeforeClipSkipped",
                      {{"Box1-Box2", {2, 3}}},
                      6,
                      {"First frame with a single boxpair: 2",
                       "First frame with multiple boxpairs: nan", "reverse_track: False"},
                      2,
                      {0, 3, 1, 3}},
        // Both orders in frames 1 .. 3 make them multiple-pair frames; reversed to the last
        // single frame 0, whose comparison frame -1 is outside: nothing compared.
        DirectionCase{"EveryFrameSkipped",
                      {{"Box1-Box2", {0, 1, 2, 3}}, {"Box2-Box1", {1, 2, 3}}},
                      8,
                      {"First frame with a single boxpair: 0",
                       "First frame with multiple boxpairs: 3", "reverse_track: True"},
                      0,
                      {}},
        // The reversed first pair gives the smallest frame (3); the last pair is not reversed,
        // so frames before 3 are compared with frame 4.
        DirectionCase{"LastPairDecidesDirection",
                      {{"Box1-Box2", {0, 1, 2, 3}},
                       {"Box1-Box3", {6, 7, 8, 9}},
                       {"Box3-Box1", {8, 9, 10, 11}}},
                      12,
                      {"First frame with a single boxpair: 10",
                       "First frame with multiple boxpairs: 8", "reverse_track: False"},
                      3,
                      {0, 4, 1, 4, 2, 4}}),
    [](const auto& info) { return info.param.name; });

TEST(ProcessOverlapFrames, NoRunGivesAbsentResultAfterRunMessage) {
  TempDir dir;
  const ClipData clip = make_clip(dir, 10, resting_boxes);
  // Two pairs need runs of four frames.
  for (const Table& table :
       {overlap_rows({}), overlap_rows({{"Box1-Box2", {2, 3, 4}}, {"Box2-Box1", {3, 4, 5}}})}) {
    auto predictor = uniform_predictor();
    CoutCapture out;
    const auto result = kovra_utils::process_overlap_frames(table, clip, predictor);
    EXPECT_EQ(out.text(), "dict_keys([])\n");
    EXPECT_FALSE(result.test_frame);
    EXPECT_FALSE(result.most_frequent_box);
    EXPECT_TRUE(result.con_frames_dict.empty());
    EXPECT_TRUE(result.worst_boxes.empty());
    EXPECT_TRUE(predictor.calls.empty());
  }
}

TEST(ProcessOverlapFrames, BoxWithoutFeatureIsWorst) {
  TempDir dir;
  const ClipData clip = make_clip(dir, 10, [](std::int64_t f) {
    auto boxes = resting_boxes(f);
    boxes["Box1"].x += static_cast<int>(f % 2) * 5;  // Box1 moves a lot between frames
    if (f == 7) boxes["Box2"] = {30, 10, 3, 3};      // 9 pixels: no feature
    return boxes;
  });
  auto predictor = uniform_predictor();
  CoutCapture out;
  const auto result =
      kovra_utils::process_overlap_frames(overlap_rows({{"Box1-Box2", {6, 7}}}), clip, predictor);
  EXPECT_EQ(result.worst_boxes, std::vector<std::string>(5, "Box2"));
}

TEST(ProcessOverlapFrames, AppearanceChangeDecides) {
  TempDir dir;
  const ClipData clip = make_clip(dir, 5, resting_boxes);
  // Encoder calls per compared frame: old Box1, old Box2, new Box1, new Box2.
  std::deque<std::vector<float>> scripted = {
      {1, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {0.6f, 0.8f, 0, 0},  // Box2 changes most
      {1, 0, 0, 0}, {1, 0, 0, 0}, {0, 1, 0, 0}, {1, 0, 0, 0},        // Box1 changes most
      {1, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}};       // Box2 again
  ScriptedPredictor predictor;
  predictor.encode = [&](const cv::Mat&) {
    const int dims[] = {1, 4, 1, 1};
    cv::Mat features(4, dims, CV_32F);
    std::copy(scripted.front().begin(), scripted.front().end(), features.ptr<float>());
    scripted.pop_front();
    return features;
  };
  CoutCapture out;
  const auto result =
      kovra_utils::process_overlap_frames(overlap_rows({{"Box1-Box2", {3, 4}}}), clip, predictor);
  EXPECT_EQ(result.worst_boxes, (std::vector<std::string>{"Box2", "Box1", "Box2"}));
  EXPECT_EQ(result.most_frequent_box, "Box2");
}

TEST(ProcessOverlapFrames, TieGoesToTheBoxChosenFirstAndNegativeKeysStayWhole) {
  TempDir dir;
  // Compared frames 0 .. 3 against frame 5; the box displaced in frame m is the worst of m.
  const std::vector<std::string> displaced = {"Box2", "Box-1", "Box-1", "Box2"};
  const ClipData clip = make_clip(dir, 8, [&](std::int64_t f) {
    std::map<std::string, cv::Rect> boxes = {{"Box-1", {5, 5, 10, 10}}, {"Box2", {30, 10, 10, 10}}};
    if (f < 4) boxes[displaced[static_cast<std::size_t>(f)]].y += 5;
    return boxes;
  });
  auto predictor = uniform_predictor();
  CoutCapture out;
  const auto result =
      kovra_utils::process_overlap_frames(overlap_rows({{"Box-1-Box2", {4, 5}}}), clip, predictor);
  EXPECT_EQ(result.worst_boxes, displaced);
  EXPECT_EQ(result.most_frequent_box, "Box2");
  EXPECT_EQ(out.lines().back(), "Most frequent box with errors: Box2");
}

TEST(ProcessOverlapFrames, BadInputNamesFrameBoxOrPath) {
  TempDir dir;
  const auto expect_error = [&](const Table& table, const ClipData& clip, auto tag,
                                const std::string& message) {
    auto predictor = uniform_predictor();
    CoutCapture out;
    try {
      kovra_utils::process_overlap_frames(table, clip, predictor);
      ADD_FAILURE() << "expected: " << message;
    } catch (const decltype(tag)& error) {
      EXPECT_EQ(std::string(error.what()), message);
    }
  };
  const Table table = overlap_rows({{"Box1-Box2", {2, 3}}});
  ClipData missing_box = make_clip(dir, 6, resting_boxes);
  missing_box[3].masks_dict.erase("Box2");
  expect_error(table, missing_box, std::out_of_range(""), "frame 3 has no mask 'Box2'");

  ClipData missing_image = make_clip(dir, 6, resting_boxes);
  missing_image[1].image_path = (dir / "nowhere.png").string();
  expect_error(table, missing_image, FileError(""),
               "cannot read the image " + missing_image[1].image_path + " of frame 1");

  ClipData gap = make_clip(dir, 6, resting_boxes);
  const FrameRecord first = gap.at(0);
  gap.erase(1);
  gap[17] = first;
  expect_error(table, gap, std::out_of_range(""), "frame 1 is not in the loaded clip");

  Table numeric_pairs({"Frame ID", "Box Pair"});
  numeric_pairs.append_row({std::int64_t{1}, std::int64_t{12}});
  numeric_pairs.append_row({std::int64_t{2}, std::int64_t{12}});
  expect_error(numeric_pairs, gap, ContentError(""), "\"Box Pair\" values must be text, got 12");
}

}  // namespace

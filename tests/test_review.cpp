#include <kovra_utils/review.hpp>

#include "capture.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>

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
  for (const auto& cell : cells) table.set(table.index_of(cell.row), table.index_of(cell.col), cell.value);
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
  clip[9] = record(kAreas, {{"Box5", "Box0", 100.0}, {"Box0", "Box5", 2.675},
                            {"Box3", "Box5", 80.125}, {"Box0", "Box3", 80.01}});

  CoutCapture out;
  const auto report = kovra_utils::generate_tracking_report(clip, dir.path().string());

  const std::string path = (dir.path() / "tracking_question_report.csv").string();
  EXPECT_EQ(out.text(), "Generating tracking question report...\n\n"
                        "Tracking question report saved to " + path + "\n");
  EXPECT_EQ(read_text(path),
            kHeader +
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
  const Case cases[] = {{80.0, 80, false}, {80.01, 80, true}, {50.0, 49.99, true},
                        {50.0, 50, false}, {std::nan(""), 0, false}};
  for (const auto& c : cases) {
    TempDir dir;
    ClipData clip;
    clip[0] = record(kAreas, {{"Box3", "Box5", c.cell}});
    CoutCapture out;
    const auto report = kovra_utils::generate_tracking_report(clip, dir.path().string(), c.threshold);
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

TEST(GenerateTrackingReport, RecordWithoutIntersectionTableFailsBeforeAnyOutput) {
  TempDir dir;
  ClipData clip;
  clip[0] = record({{"Box0", 0}});
  clip[3] = record({{"Box0", 5}});
  clip[3].intersections_df.reset();
  CoutCapture out;
  try {
    kovra_utils::generate_tracking_report(clip, dir.path().string());
    FAIL() << "expected ContentError";
  } catch (const ContentError& error) {
    EXPECT_EQ(std::string(error.what()),
              "frame 3 has no intersection table (the clip must be loaded whole)");
  }
  EXPECT_EQ(out.text(), "");
  EXPECT_FALSE(std::filesystem::exists(dir / "tracking_question_report.csv"));
}

TEST(GenerateTrackingReport, OverlappingBoxWithoutAreaIsNamed) {
  TempDir dir;
  ClipData clip;
  clip[2] = record(kAreas, {{"Box0", "Box5", 90.0}});
  clip[2].mask_areas.erase("Box5");
  CoutCapture out;
  try {
    kovra_utils::generate_tracking_report(clip, dir.path().string());
    FAIL() << "expected std::out_of_range";
  } catch (const std::out_of_range& error) {
    EXPECT_EQ(std::string(error.what()), "frame 2: mask_areas has no key 'Box5'");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "tracking_question_report.csv"));
}

TEST(GenerateTrackingReport, MissingFolderFailsAfterFirstMessage) {
  TempDir dir;
  ClipData clip;
  clip[0] = record({{"Box0", 0}});
  const std::string missing = (dir / "missing").string();
  CoutCapture out;
  EXPECT_THROW(kovra_utils::generate_tracking_report(clip, missing), FileError);
  EXPECT_EQ(out.text(), "Generating tracking question report...\n\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST(GenerateTrackingReport, UnwritableFolderKeepsEarlierReport) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  TempDir dir;
  write_text(dir / "tracking_question_report.csv", "earlier");
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read |
                                               std::filesystem::perms::owner_exec);
  ClipData clip;
  clip[0] = record({{"Box0", 0}});
  CoutCapture out;
  try {
    kovra_utils::generate_tracking_report(clip, dir.path().string());
    FAIL() << "expected FileError";
  } catch (const FileError& error) {
    EXPECT_NE(std::string(error.what()).find(dir.path().string()), std::string::npos);
  }
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
  EXPECT_EQ(read_text(dir / "tracking_question_report.csv"), "earlier");
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
  const auto runs =
      kovra_utils::find_continuous_frames(findings(frames_of("Box3", c.frames)), "Box ID",
                                          c.n_consecutive);
  if (c.expected.empty()) {
    EXPECT_TRUE(runs.empty());
  } else {
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs.at(std::string("Box3")), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindContinuousFramesRuns,
    testing::Values(
        RunsCase{"GapDropsShortRun", {4, 5, 6, 9, 10}, 3, {{4, 5, 6}}},
        RunsCase{"ShorterMinimumKeepsBoth", {4, 5, 6, 9, 10}, 2, {{4, 5, 6}, {9, 10}}},
        RunsCase{"RepeatSplitsRun", {4, 5, 5, 6}, 2, {{4, 5}, {5, 6}}},
        RunsCase{"RepeatTooShort", {4, 5, 5, 6}, 3, {}},
        RunsCase{"UnsortedRows", {6, 4, 5}, 3, {{4, 5, 6}}},
        RunsCase{"ExactlyMinimum", {7, 8}, 2, {{7, 8}}},
        RunsCase{"OneKeepsSingles", {9, 3, 3}, 1, {{3}, {3}, {9}}},
        RunsCase{"ZeroKeepsSingles", {2}, 0, {{2}}},
        RunsCase{"NegativeFrames", {-1, 0, 1}, 3, {{-1, 0, 1}}},
        RunsCase{"ExtremeValuesDoNotJoin",
                 {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()},
                 1,
                 {{std::numeric_limits<std::int64_t>::min()},
                  {std::numeric_limits<std::int64_t>::max()}}}),
    [](const auto& info) { return info.param.name; });

TEST(FindContinuousFrames, GroupsInValueOrderWithoutAbsentOnes) {
  auto rows = frames_of("Box10-Box2", {1, 2});
  for (auto& row : frames_of("Box1-Box3", {5, 6})) rows.push_back(row);
  for (auto& row : frames_of("Box2-Box9", {1})) rows.push_back(row);
  rows.emplace_back(Value{}, std::int64_t{3});
  rows.emplace_back(Value{}, Value{});  // an ungrouped row may hold anything
  const auto runs = kovra_utils::find_continuous_frames(findings(rows, "Box Pair"), "Box Pair", 2);
  std::vector<Value> keys;
  for (const auto& [key, value] : runs) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<Value>{std::string("Box1-Box3"), std::string("Box10-Box2")}));
}

TEST(FindContinuousFrames, IntegerGroupsSortNumerically) {
  const std::vector<std::pair<Value, Value>> rows = {
      {std::int64_t{10}, std::int64_t{0}},
      {std::int64_t{2}, std::int64_t{0}},
      {std::int64_t{10}, std::int64_t{1}},
      {std::int64_t{2}, std::int64_t{1}}};
  const auto runs = kovra_utils::find_continuous_frames(findings(rows, "Track"), "Track", 2);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs.begin()->first, Value(std::int64_t{2}));
  EXPECT_EQ(runs.at(std::int64_t{10}), (FrameRuns{{0, 1}}));
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

}  // namespace

#include <kovra_utils/behaviour.hpp>

#include "capture.hpp"
#include "expect_error.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>
#include <random>

namespace {

using kovra_utils::BehaviourOptions;
using kovra_utils::BehaviourTables;
using kovra_utils::ClipData;
using kovra_utils::FrameRecord;
using kovra_utils::Mask;
using kovra_utils::Table;
using kovra_utils::Value;
using kovra_test::TempDir;

// Pixels (x, y) set on a plane of `size`.
Mask pixels(cv::Size size, const std::vector<cv::Point>& points) {
  cv::Mat plane = cv::Mat::zeros(size, CV_8U);
  for (const cv::Point& p : points) plane.at<uchar>(p) = 1;
  return Mask::from_dense(plane);
}

Mask rect(cv::Size size, cv::Rect r) {
  cv::Mat plane = cv::Mat::zeros(size, CV_8U);
  plane(r).setTo(1);
  return Mask::from_dense(plane);
}

// A clip from per-position maps of box key -> mask; frame indices 100, 101, ...
ClipData clip_of(const std::vector<std::vector<std::pair<std::string, Mask>>>& positions) {
  ClipData clip;
  for (std::size_t p = 0; p < positions.size(); ++p) {
    FrameRecord record;
    record.frame_index = 100 + static_cast<std::int64_t>(p);
    for (const auto& [key, mask] : positions[p]) record.masks_dict[key] = mask;
    clip[static_cast<std::int64_t>(p)] = record;
  }
  return clip;
}

bool absent(const Table& table, std::size_t row, const std::string& column) {
  return std::holds_alternative<std::monostate>(table.at(row, column));
}

std::vector<double> column_numbers(const Table& table, const std::string& column) {
  std::vector<double> values;
  for (std::size_t r = 0; r < table.row_count(); ++r) values.push_back(table.number(r, column));
  return values;
}

// Rows of the bout table of one zone as (start_position, end_position).
std::vector<std::pair<std::int64_t, std::int64_t>> bout_spans(const Table& bouts, const std::string& zone) {
  std::vector<std::pair<std::int64_t, std::int64_t>> spans;
  for (std::size_t r = 0; r < bouts.row_count(); ++r) {
    if (bouts.text(r, "zone") == zone) {
      spans.emplace_back(bouts.integer(r, "start_position"), bouts.integer(r, "end_position"));
    }
  }
  return spans;
}

std::filesystem::path write_zone_file(const TempDir& dir, const std::string& name, const std::string& content) {
  const auto path = dir / name;
  kovra_test::write_text(path, content);
  return path;
}

const std::string kTroughShapes =
    R"({"shapes": [{"label": "trough", "points": [[10, 0], [29, 0], [29, 2], [10, 2]]}]})";

// ---- zones ----------------------------------------------------------------------------------

TEST(ReadZones, BothFormsGiveThePenMaskRaster) {
  TempDir dir;
  const cv::Size frame(40, 20);
  const auto shapes = write_zone_file(dir, "zones.json",
                                      R"({"shapes": [
        {"label": "feeder", "points": [[2.9, 1.7], [8.2, 1], [8, 6.99]]},
        {"label": "drinker", "points": [[30, 10], [36, 10], [36, 14], [30, 14]]},
        {"label": "feeder", "points": [[20, 15], [24, 15], [24, 18]]}]})");
  const auto geojson = write_zone_file(dir, "zones.geojson", R"({"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {"name": "feeder"},
         "geometry": {"type": "Polygon", "coordinates": [[[2.9, 1.7], [8.2, 1], [8, 6.99], [2.9, 1.7]]]}},
        {"type": "Feature", "properties": {"name": "drinker"},
         "geometry": {"type": "Polygon", "coordinates": [[[30, 10], [36, 10], [36, 14], [30, 14], [30, 10]],
                                                          [[32, 11], [34, 11], [34, 13], [32, 13], [32, 11]]]}},
        {"type": "Feature", "properties": {"name": "feeder"},
         "geometry": {"type": "Polygon", "coordinates": [[[20, 15], [24, 15], [24, 18]]]}}]})");
  // Points truncated toward zero, filled by fillPoly, shapes of one label joined.
  cv::Mat feeder = cv::Mat::zeros(frame, CV_8U);
  cv::fillPoly(feeder, std::vector<std::vector<cv::Point>>{{{2, 1}, {8, 1}, {8, 6}}}, 1);
  cv::fillPoly(feeder, std::vector<std::vector<cv::Point>>{{{20, 15}, {24, 15}, {24, 18}}}, 1);
  cv::Mat drinker = cv::Mat::zeros(frame, CV_8U);
  drinker(cv::Rect(30, 10, 7, 5)).setTo(1);

  const auto from_shapes = kovra_utils::read_zones(shapes, frame);
  ASSERT_EQ(from_shapes.size(), 2u);
  EXPECT_EQ(from_shapes[0].name, "feeder");
  EXPECT_EQ(from_shapes[0].outlines.size(), 2u);
  EXPECT_EQ(from_shapes[0].raster, Mask::from_dense(feeder));
  EXPECT_EQ(from_shapes[1].raster, Mask::from_dense(drinker));

  const auto from_geojson = kovra_utils::read_zones(geojson, frame);
  ASSERT_EQ(from_geojson.size(), 2u);
  EXPECT_EQ(from_geojson[0].raster, Mask::from_dense(feeder));
  // The hole's fillPoly pixels are cut out.
  drinker(cv::Rect(32, 11, 3, 3)).setTo(0);
  EXPECT_EQ(from_geojson[1].raster, Mask::from_dense(drinker));
}

TEST(ReadZones, ZoneReachingPastTheFrameIsClipped) {
  TempDir dir;
  const auto path = write_zone_file(dir, "z.json", R"({"shapes": [{"label": "a", "points": [[-5, -5], [3, -5], [3, 2], [-5, 2]]}]})");
  EXPECT_EQ(kovra_utils::read_zones(path, {10, 10})[0].raster, rect({10, 10}, cv::Rect(0, 0, 4, 3)));
}

struct BadZoneFile {
  std::string content;
  std::vector<std::string> message_parts;
};

class ReadZonesRejects : public testing::TestWithParam<BadZoneFile> {};

TEST_P(ReadZonesRejects, NamingFileAndShape) {
  TempDir dir;
  const auto path = write_zone_file(dir, "bad.json", GetParam().content);
  std::vector<std::string> parts = GetParam().message_parts;
  parts.push_back(path.string());
  kovra_test::expect_error_containing<kovra_utils::ContentError>([&] { kovra_utils::read_zones(path, {50, 40}); }, parts);
}

const std::string kSquare = R"([[1, 1], [5, 1], [5, 5], [1, 5]])";

INSTANTIATE_TEST_SUITE_P(
    BadFiles, ReadZonesRejects,
    testing::Values(
        BadZoneFile{"{\"regions\": []}", {"not a zone file"}},
        BadZoneFile{"[1, 2]", {"not a zone file"}},
        BadZoneFile{"{\"shapes\": [", {}},
        BadZoneFile{R"({"type": "FeatureCollection"})", {"not a zone file"}},
        BadZoneFile{R"({"shapes": {"label": "a"}})", {"\"shapes\"", "expected an array"}},
        BadZoneFile{R"({"shapes": [{"label": "a", "points": )" + kSquare + R"(}, {"points": )" + kSquare + "}]}",
                    {"\"shapes\"[1].\"label\"", "needs a name"}},
        BadZoneFile{R"({"shapes": [{"label": "", "points": )" + kSquare + "}]}", {"\"shapes\"[0].\"label\""}},
        BadZoneFile{R"({"shapes": [{"label": 3, "points": )" + kSquare + "}]}", {"\"shapes\"[0].\"label\""}},
        BadZoneFile{R"({"shapes": [{"label": "a"}]})", {"\"shapes\"[0].\"points\"", "missing"}},
        BadZoneFile{R"({"shapes": [{"label": "a", "points": [[1, 1], [4, 4]]}]})",
                    {"\"shapes\"[0].\"points\"", "at least 3 points, got 2"}},
        BadZoneFile{R"({"shapes": [{"label": "a", "points": [[1, 1], [4, "x"], [2, 2]]}]})",
                    {"\"shapes\"[0].\"points\"[1]", "expected [x, y]"}},
        BadZoneFile{R"({"shapes": [{"label": "a", "points": [[1, 1], [1e300, 4], [2, 2]]}]})",
                    {"\"shapes\"[0].\"points\"[1]", "out of range"}},
        BadZoneFile{R"({"shapes": [{"label": "a", "points": [[60, 1], [70, 1], [70, 9]]}]})",
                    {"\"shapes\"[0]", "\"a\"", "entirely outside the 50 x 40 frame"}},
        BadZoneFile{R"({"shapes": [{"label": "a", "points": [[-9, -9], [-2, -9], [-2, -1]]}]})",
                    {"\"shapes\"[0]", "entirely outside"}},
        BadZoneFile{R"({"type": "FeatureCollection", "features": [{"type": "Feature", "properties": {},
                       "geometry": {"type": "Polygon", "coordinates": [)" + kSquare + "]}}]}",
                    {"\"features\"[0].\"properties\".\"name\"", "needs a name"}},
        BadZoneFile{R"({"type": "FeatureCollection", "features": [{"type": "Feature", "properties": {"name": "a"},
                       "geometry": {"type": "Point", "coordinates": [1, 2]}}]})",
                    {"\"features\"[0].\"geometry\"", "Polygon"}},
        BadZoneFile{R"({"type": "FeatureCollection", "features": [{"type": "Feature", "properties": {"name": "a"},
                       "geometry": {"type": "Polygon", "coordinates": [[[1, 1], [5, 1], [1, 1]]]}}]})",
                    {"\"features\"[0].\"geometry\".\"coordinates\"[0]", "at least 3 points, got 2"}}));

TEST(ReadZones, MissingFileIsAFileError) {
  kovra_test::expect_error_containing<kovra_utils::FileError>(
      [] { kovra_utils::read_zones("/nonexistent/zones.json", {10, 10}); }, "/nonexistent/zones.json");
}

// ---- zone visits ----------------------------------------------------------------------------

// A ten-pixel bar on row 1 starting at each column of `starts`; the trough covers columns 10..29,
// so the share inside is (starts + 10 - 10) / 10 columns.
ClipData walking_bar(const std::vector<int>& starts, const cv::Size frame = {30, 3}) {
  std::vector<std::vector<std::pair<std::string, Mask>>> positions;
  for (int x : starts) {
    positions.push_back(x < 0 ? std::vector<std::pair<std::string, Mask>>{}
                              : std::vector<std::pair<std::string, Mask>>{{"Box0", rect(frame, {x, 1, 10, 1})}});
  }
  return clip_of(positions);
}

TEST(ClipBehaviour, ZoneEdgeWithHysteresis) {
  TempDir dir;
  const auto zones = kovra_utils::read_zones(write_zone_file(dir, "z.json", kTroughShapes), {30, 3});
  // Shares 0, .3, .6 (enters), .3 (stays: >= leave), .1 (leaves), .3 (stays out), .5 (enters), .5.
  const ClipData clip = walking_bar({0, 3, 6, 3, 1, 3, 5, 5});
  BehaviourOptions options;
  options.merge_gap_s = 0;
  options.min_bout_s = 0;
  options.moving_speed_px_s = 3;
  auto tables = kovra_utils::clip_behaviour(clip, 1.0, zones, 10.0, options);
  EXPECT_EQ(column_numbers(tables.frames, "in_trough"), (std::vector<double>{0, .3, .6, .3, .1, .3, .5, .5}));
  EXPECT_EQ(bout_spans(tables.bouts, "trough"), (std::vector<std::pair<std::int64_t, std::int64_t>>{{2, 3}, {6, 7}}));
  // Steps 3, 3, 3 reach the moving speed; 2, 2, 2, 0 do not.
  EXPECT_EQ(bout_spans(tables.bouts, "moving"), (std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 3}}));
  EXPECT_EQ(tables.bouts.number(0, "start_s"), 12.0);
  EXPECT_EQ(tables.bouts.number(0, "end_s"), 14.0);
  EXPECT_EQ(tables.bouts.number(0, "mean_in"), (.6 + .3) / 2);
  EXPECT_EQ(tables.bouts.integer(1, "start_frame_index"), 106);
  EXPECT_TRUE(absent(tables.bouts, 2, "mean_in"));
  EXPECT_EQ(tables.summary.integer(0, "visits_trough"), 2);
  EXPECT_EQ(tables.summary.number(0, "seconds_in_trough"), 4.0);
  EXPECT_EQ(tables.summary.number(0, "latency_trough_s"), 2.0);  // from the clip's start
  EXPECT_EQ(tables.summary.number(0, "seconds_moving"), 3.0);
  EXPECT_EQ(tables.summary.number(0, "distance_px"), 15.0);
  EXPECT_EQ(tables.summary.number(0, "mean_speed_px_s"), 15.0 / 7);

  // A gap of two positions (two seconds) merges; the merged bout's mean covers every present
  // position inside it.
  options.merge_gap_s = 2;
  options.min_bout_s = 6;
  tables = kovra_utils::clip_behaviour(clip, 1.0, zones, 10.0, options);
  ASSERT_EQ(bout_spans(tables.bouts, "trough"), (std::vector<std::pair<std::int64_t, std::int64_t>>{{2, 7}}));
  EXPECT_DOUBLE_EQ(tables.bouts.number(0, "mean_in"), (.6 + .3 + .1 + .3 + .5 + .5) / 6);
  EXPECT_EQ(tables.bouts.number(0, "duration_s"), 6.0);
  // Shorter than the minimum: dropped, and the latency becomes empty.
  options.min_bout_s = 6.5;
  tables = kovra_utils::clip_behaviour(clip, 1.0, zones, 10.0, options);
  EXPECT_TRUE(bout_spans(tables.bouts, "trough").empty());
  EXPECT_TRUE(absent(tables.summary, 0, "latency_trough_s"));
  EXPECT_EQ(tables.summary.integer(0, "visits_trough"), 0);
}

TEST(ClipBehaviour, BoutBrokenByOneLostFrameIsMerged) {
  TempDir dir;
  const auto zones = kovra_utils::read_zones(write_zone_file(dir, "z.json", kTroughShapes), {30, 3});
  // Fully inside at positions 0..9 except position 4, where the tracker lost the animal.
  const ClipData clip = walking_bar({15, 15, 15, 15, -1, 15, 15, 15, 15, 15});
  auto tables = kovra_utils::clip_behaviour(clip, 0.5, zones);
  ASSERT_EQ(bout_spans(tables.bouts, "trough"), (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 9}}));
  EXPECT_EQ(tables.bouts.number(0, "end_s"), 5.0);
  EXPECT_EQ(tables.bouts.number(0, "mean_in"), 1.0);
  EXPECT_EQ(tables.summary.number(0, "seconds_present"), 4.5);
  EXPECT_EQ(tables.frames.row_count(), 9u);
  // The step after the loss does not join across it.
  EXPECT_TRUE(absent(tables.frames, 4, "step_px"));
  EXPECT_EQ(tables.frames.number(5, "step_px"), 0.0);
  // Without merging the loss splits the visit into two bouts of 2.0 and 2.5 s.
  BehaviourOptions options;
  options.merge_gap_s = 0.25;
  tables = kovra_utils::clip_behaviour(clip, 0.5, zones, 0, options);
  EXPECT_EQ(bout_spans(tables.bouts, "trough"), (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 3}, {5, 9}}));
}

// ---- distances and contacts -----------------------------------------------------------------

struct PairCase {
  std::string name;
  std::vector<cv::Point> a, b;
  double distance;
  bool contact;
};

class NearestDistance : public testing::TestWithParam<PairCase> {};

TEST_P(NearestDistance, BetweenPixelCentres) {
  const cv::Size frame(12, 10);
  const PairCase& c = GetParam();
  const auto tables = kovra_utils::clip_behaviour(
      clip_of({{{"Box0", pixels(frame, c.a)}, {"Box5", pixels(frame, c.b)}}}), 1.0);
  ASSERT_EQ(tables.frames.row_count(), 2u);
  EXPECT_EQ(tables.frames.text(0, "nearest_key"), "Box5");
  EXPECT_EQ(tables.frames.text(1, "nearest_key"), "Box0");
  EXPECT_EQ(tables.frames.number(0, "nearest_distance_px"), c.distance);
  EXPECT_EQ(tables.frames.number(1, "nearest_distance_px"), c.distance);
  // One frame of contact is shorter than the minimum bout; without a minimum it is one bout.
  BehaviourOptions options;
  options.min_bout_s = 0;
  const auto kept = kovra_utils::clip_behaviour(clip_of({{{"Box0", pixels(frame, c.a)}, {"Box5", pixels(frame, c.b)}}}),
                                                1.0, {}, 0, options);
  EXPECT_EQ(kept.contact_bouts.row_count(), c.contact ? 1u : 0u);
  if (c.contact) {
    EXPECT_EQ(kept.contact_bouts.integer(0, "object_id_a"), 1);
    EXPECT_EQ(kept.contact_bouts.integer(0, "object_id_b"), 6);
    EXPECT_EQ(kept.contacts.number(0, "6"), 1.0);
    EXPECT_EQ(kept.contacts.number(1, "1"), 1.0);
    EXPECT_EQ(kept.contacts.number(1, "6"), 0.0);
    EXPECT_EQ(kept.summary.integer(0, "partners"), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NearestDistance,
    testing::Values(PairCase{"SharedPixel", {{2, 2}, {3, 2}}, {{3, 2}, {3, 3}}, 0, true},
                    PairCase{"FourAdjacent", {{2, 2}}, {{3, 2}, {3, 3}}, 1, true},
                    PairCase{"Diagonal", {{2, 2}, {1, 2}}, {{3, 3}, {4, 4}}, std::sqrt(2.0), true},
                    PairCase{"TwoApart", {{2, 2}}, {{4, 2}}, 2, true},
                    PairCase{"KnightMove", {{2, 2}}, {{4, 3}}, std::sqrt(5.0), false},
                    PairCase{"FarCorners", {{0, 0}, {0, 1}, {1, 0}}, {{11, 9}, {8, 9}, {11, 5}}, std::sqrt(125.0), false},
                    // A ring around the other: the nearest pixels are on its inside.
                    PairCase{"Enclosed",
                             {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {1, 2}, {5, 2}, {1, 3}, {5, 3}, {1, 4}, {5, 4},
                              {1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}},
                             {{3, 3}}, 2, true}),
    [](const testing::TestParamInfo<PairCase>& info) { return info.param.name; });

TEST(ClipBehaviour, NearestTiesGoToTheFirstInBoxOrderAndAloneIsEmpty) {
  const cv::Size frame(20, 5);
  // Box7 and Box2 are both 3 pixels from Box4; Box2 comes first in box order.
  const ClipData clip = clip_of({{{"Box7", pixels(frame, {{13, 2}})}, {"Box4", pixels(frame, {{10, 2}})},
                                  {"Box2", pixels(frame, {{7, 2}})}},
                                 {{"Box4", pixels(frame, {{10, 2}})}, {"Box7", Mask(frame)}}});
  const auto tables = kovra_utils::clip_behaviour(clip, 1.0);
  ASSERT_EQ(tables.frames.row_count(), 4u);
  EXPECT_EQ(tables.frames.text(0, "box_key"), "Box2");
  EXPECT_EQ(tables.frames.text(1, "box_key"), "Box4");
  EXPECT_EQ(tables.frames.text(1, "nearest_key"), "Box2");
  EXPECT_EQ(tables.frames.text(2, "nearest_key"), "Box4");
  // At position 1 Box7's mask is clear: Box4 is alone.
  EXPECT_TRUE(absent(tables.frames, 3, "nearest_key"));
  EXPECT_TRUE(absent(tables.frames, 3, "nearest_distance_px"));
}

TEST(ClipBehaviour, EllipseOfARotatedBar) {
  const cv::Size frame(20, 20);
  std::vector<cv::Point> diagonal;
  for (int i = 2; i < 12; ++i) diagonal.emplace_back(i, i);
  const auto tables = kovra_utils::clip_behaviour(clip_of({{{"Box0", pixels(frame, diagonal)}}}), 1.0);
  // Ten pixels on a diagonal: x variance 8.25, y the same, covariance 8.25.
  EXPECT_DOUBLE_EQ(tables.frames.number(0, "major_axis_px"), 4 * std::sqrt(16.5));
  EXPECT_EQ(tables.frames.number(0, "minor_axis_px"), 0.0);
  EXPECT_DOUBLE_EQ(tables.frames.number(0, "orientation_deg"), 45.0);
  EXPECT_EQ(tables.frames.number(0, "centroid_x"), 6.5);
}

// ---- a day ----------------------------------------------------------------------------------

TEST(DayBehaviour, BoutAcrossAJoinedBoundaryAndNotAcrossAGap) {
  TempDir dir;
  const auto zones = kovra_utils::read_zones(write_zone_file(dir, "z.json", kTroughShapes), {30, 3});
  // Inside (share 1) for three frames, then share .3: in only while the memory holds.
  const ClipData first = walking_bar({20, 20, 20});
  const ClipData second = walking_bar({3, 3, 20});
  BehaviourOptions options;
  options.min_bout_s = 0;
  const auto joined = kovra_utils::day_behaviour({first, second}, {100, 103}, 1.0, zones, options);
  EXPECT_EQ(column_numbers(joined.frames, "position"), (std::vector<double>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(column_numbers(joined.frames, "time_s"), (std::vector<double>{100, 101, 102, 103, 104, 105}));
  EXPECT_EQ(joined.frames.number(3, "step_px"), 17.0);
  ASSERT_EQ(bout_spans(joined.bouts, "trough"), (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 5}}));
  EXPECT_EQ(joined.bouts.number(0, "end_s"), 106.0);
  EXPECT_EQ(joined.bouts.integer(0, "end_frame_index"), 102);

  // Seven seconds later: no step, no memory (share .3 is out), and the gap is above 2 s.
  const auto apart = kovra_utils::day_behaviour({first, second}, {100, 110}, 1.0, zones, options);
  EXPECT_EQ(column_numbers(apart.frames, "time_s"), (std::vector<double>{100, 101, 102, 110, 111, 112}));
  EXPECT_TRUE(absent(apart.frames, 3, "step_px"));
  EXPECT_EQ(bout_spans(apart.bouts, "trough"), (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 2}, {5, 5}}));
  EXPECT_EQ(apart.summary.number(0, "latency_trough_s"), 0.0);
  EXPECT_EQ(apart.summary.number(0, "seconds_present"), 6.0);

  // Two seconds later: the bouts merge by the gap rule, still without a joined step.
  const auto near = kovra_utils::day_behaviour({walking_bar({20, 20, 20}), walking_bar({20})}, {100, 105}, 1.0,
                                               zones, options);
  EXPECT_TRUE(absent(near.frames, 3, "step_px"));
  EXPECT_EQ(bout_spans(near.bouts, "trough"), (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 3}}));
  EXPECT_EQ(near.bouts.number(0, "duration_s"), 6.0);
}

TEST(DayBehaviour, RejectsBadArguments) {
  const ClipData clip = walking_bar({1});
  kovra_test::expect_error_containing<kovra_utils::ArgumentError>(
      [&] { kovra_utils::day_behaviour({clip, clip}, {0}, 1.0); }, "2 clips, 1 start times");
  kovra_test::expect_error_containing<kovra_utils::ArgumentError>(
      [&] { kovra_utils::day_behaviour({clip, clip}, {5, 1}, 1.0); }, "time order");
  kovra_test::expect_error_containing<kovra_utils::ArgumentError>([&] { kovra_utils::clip_behaviour(clip, 0.0); },
                                                                  "seconds_per_frame");
  BehaviourOptions options;
  options.leave = 0.6;
  kovra_test::expect_error_containing<kovra_utils::ArgumentError>(
      [&] { kovra_utils::clip_behaviour(clip, 1.0, {}, 0, options); }, "enter");
  options = {};
  options.pixels_per_metre = 0.0;
  kovra_test::expect_error_containing<kovra_utils::ArgumentError>(
      [&] { kovra_utils::clip_behaviour(clip, 1.0, {}, 0, options); }, "pixels_per_metre");
  ClipData bad_key = clip;
  bad_key.begin().value().masks_dict.clear();
  bad_key.begin().value().masks_dict["pig"] = rect({30, 3}, {0, 0, 2, 2});
  kovra_test::expect_error_containing<kovra_utils::ArgumentError>([&] { kovra_utils::clip_behaviour(bad_key, 1.0); },
                                                                  "\"pig\"");
  const kovra_utils::Zones small = {{"z", {}, rect({10, 10}, {0, 0, 3, 3})}};
  kovra_test::expect_error_containing<kovra_utils::ArgumentError>(
      [&] { kovra_utils::clip_behaviour(clip, 1.0, small); }, "zone \"z\"");
}

// ---- a random clip against a dense brute-force reference ------------------------------------

struct DenseAnimal {
  double area = 0, cx = 0, cy = 0, mu20 = 0, mu02 = 0, mu11 = 0;
  std::vector<cv::Point> points;
};

DenseAnimal dense_measure(const Mask& mask) {
  DenseAnimal d;
  const cv::Mat plane = mask.dense();
  for (int y = 0; y < plane.rows; ++y) {
    for (int x = 0; x < plane.cols; ++x) {
      if (plane.at<uchar>(y, x)) d.points.emplace_back(x, y);
    }
  }
  d.area = static_cast<double>(d.points.size());
  for (const auto& p : d.points) { d.cx += p.x; d.cy += p.y; }
  d.cx /= d.area;
  d.cy /= d.area;
  for (const auto& p : d.points) {
    d.mu20 += (p.x - d.cx) * (p.x - d.cx) / d.area;
    d.mu02 += (p.y - d.cy) * (p.y - d.cy) / d.area;
    d.mu11 += (p.x - d.cx) * (p.y - d.cy) / d.area;
  }
  return d;
}

double brute_distance(const DenseAnimal& a, const DenseAnimal& b) {
  double best = std::numeric_limits<double>::infinity();
  for (const auto& p : a.points) {
    for (const auto& q : b.points) best = std::min(best, std::hypot(p.x - q.x, p.y - q.y));
  }
  return best;
}

// Random blobs (ellipses, some split in two) wandering over a small frame.
ClipData random_clip(std::mt19937& rng, cv::Size frame, int positions, int animals) {
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<std::vector<std::pair<std::string, Mask>>> clip(static_cast<std::size_t>(positions));
  for (int a = 0; a < animals; ++a) {
    cv::Point2d at(unit(rng) * frame.width, unit(rng) * frame.height);
    for (int p = 0; p < positions; ++p) {
      at += cv::Point2d(unit(rng) * 6 - 3, unit(rng) * 6 - 3);
      if (unit(rng) < 0.1) continue;  // lost
      cv::Mat plane = cv::Mat::zeros(frame, CV_8U);
      cv::ellipse(plane, cv::Point(at), cv::Size(2 + static_cast<int>(unit(rng) * 8), 1 + static_cast<int>(unit(rng) * 5)),
                  unit(rng) * 180, 0, 360, 1, cv::FILLED);
      if (unit(rng) < 0.2) plane.col(std::clamp(static_cast<int>(at.x), 0, frame.width - 1)).setTo(0);
      clip[static_cast<std::size_t>(p)].emplace_back("Box" + std::to_string(a * 3), Mask::from_dense(plane));
    }
  }
  return clip_of(clip);
}

TEST(ClipBehaviour, RandomClipMatchesDenseBruteForce) {
  std::mt19937 rng(7);
  const cv::Size frame(64, 48);
  TempDir dir;
  const auto zones = kovra_utils::read_zones(
      write_zone_file(dir, "z.json", R"({"shapes": [{"label": "left", "points": [[0, 0], [25, 0], [18, 47], [0, 47]]}]})"),
      frame);
  const cv::Mat zone = zones[0].raster.dense();
  for (int round = 0; round < 4; ++round) {
    const ClipData clip = random_clip(rng, frame, 25, 6);
    const auto tables = kovra_utils::clip_behaviour(clip, 0.1, zones);
    std::size_t row = 0;
    for (const auto& [position, record] : clip) {
      std::vector<std::pair<std::string, DenseAnimal>> present;
      std::vector<std::string> keys;
      for (const auto& [key, mask] : record.masks_dict) keys.push_back(key);
      std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
        return std::stoi(a.substr(3)) < std::stoi(b.substr(3));
      });
      for (const auto& key : keys) {
        const Mask& mask = record.masks_dict.at(key);
        if (mask.area() > 0) present.emplace_back(key, dense_measure(mask));
      }
      for (std::size_t i = 0; i < present.size(); ++i, ++row) {
        const auto& [key, d] = present[i];
        ASSERT_LT(row, tables.frames.row_count());
        EXPECT_EQ(tables.frames.text(row, "box_key"), key);
        EXPECT_EQ(tables.frames.integer(row, "area"), static_cast<std::int64_t>(d.area));
        EXPECT_NEAR(tables.frames.number(row, "centroid_x"), d.cx, 1e-9);
        EXPECT_NEAR(tables.frames.number(row, "centroid_y"), d.cy, 1e-9);
        const double root = std::sqrt(std::pow((d.mu20 - d.mu02) / 2, 2) + d.mu11 * d.mu11);
        EXPECT_NEAR(tables.frames.number(row, "major_axis_px"), 4 * std::sqrt((d.mu20 + d.mu02) / 2 + root), 1e-6);
        std::int64_t inside = 0;
        for (const auto& p : d.points) inside += zone.at<uchar>(p);
        EXPECT_NEAR(tables.frames.number(row, "in_left"), static_cast<double>(inside) / d.area, 1e-12);
        double best = std::numeric_limits<double>::infinity();
        std::string nearest;
        for (std::size_t j = 0; j < present.size(); ++j) {
          if (j == i) continue;
          const double distance = brute_distance(d, present[j].second);
          if (distance < best) { best = distance; nearest = present[j].first; }
        }
        if (present.size() < 2) {
          EXPECT_TRUE(absent(tables.frames, row, "nearest_key"));
        } else {
          EXPECT_EQ(tables.frames.text(row, "nearest_key"), nearest) << "position " << position << " " << key;
          EXPECT_DOUBLE_EQ(tables.frames.number(row, "nearest_distance_px"), best);
        }
      }
    }
    EXPECT_EQ(row, tables.frames.row_count());
  }
}

TEST(WriteBehaviour, WritesTablesAndPictures) {
  TempDir dir;
  const auto zones = kovra_utils::read_zones(write_zone_file(dir, "z.json", kTroughShapes), {30, 3});
  const auto tables = kovra_utils::clip_behaviour(walking_bar({15, 15, 15, 15, 15, 16, 17}), 0.5, zones);
  kovra_utils::write_behaviour(tables, dir / "out", zones);
  for (const char* name : {"frames.csv", "bouts.csv", "contact_bouts.csv", "contacts.csv", "summary.csv",
                           "ethogram.png", "contacts.png", "trajectories.png"}) {
    EXPECT_TRUE(std::filesystem::exists(dir / "out" / name)) << name;
  }
  EXPECT_EQ(kovra_test::read_text(dir / "out" / "contacts.csv"), "object_id,1\n1,0.0\n");
  EXPECT_EQ(kovra_test::read_text(dir / "out" / "bouts.csv"),
            "object_id,box_key,zone,start_position,end_position,start_frame_index,end_frame_index,start_s,end_s,"
            "duration_s,mean_in\n1,Box0,trough,0,6,100,106,0.0,3.5,3.5,1.0\n");
  const cv::Mat ethogram = kovra_utils::draw_ethogram(tables, zones);
  EXPECT_EQ(ethogram.type(), CV_8UC3);
}

}  // namespace

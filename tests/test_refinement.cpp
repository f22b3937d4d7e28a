#include <kovra_utils/refinement.hpp>

#include "capture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

using kovra_test::CoutCapture;
using kovra_test::TempDir;
using kovra_utils::ArgumentError;
using kovra_utils::Centroid;
using kovra_utils::CentroidMap;
using kovra_utils::FileError;
using kovra_utils::MainBlob;
using kovra_utils::Mask;
using kovra_utils::Mask_Refinement;
using kovra_utils::VideoSegments;

const cv::Size kFrame(320, 240);

Mask rects_mask(const std::vector<cv::Rect>& rects, cv::Size size = kFrame) {
  cv::Mat plane = cv::Mat::zeros(size, CV_8U);
  for (const cv::Rect& rect : rects) plane(rect).setTo(1);
  return Mask::from_dense(plane);
}

cv::Mat rects_image(const std::vector<cv::Rect>& rects, cv::Size size = kFrame) {
  return rects_mask(rects, size).dense();
}

// get_main_blob followed by get_dis_to_main_and_prev_blob, as the clip loop runs them.
Mask refine(const Mask_Refinement& refinement, const Mask& mask, const CentroidMap& prev,
            std::int64_t frame_idx = 0, const VideoSegments& segments = {}) {
  const auto [num_labels, stats, centroids, min_area_threshold, max_distance_threshold, best_idx,
              labels] = refinement.get_main_blob(mask, prev, 1);
  return refinement.get_dis_to_main_and_prev_blob(num_labels, labels, stats, centroids,
                                                  max_distance_threshold, min_area_threshold,
                                                  best_idx, prev, 1, frame_idx, mask, segments);
}

template <class F>
std::string error_text(F&& call) {
  try {
    call();
  } catch (const ArgumentError& error) {
    return error.what();
  }
  return "no ArgumentError";
}

// ---------------------------------------------------------------------------------------------
// blob_shortest_distance
// ---------------------------------------------------------------------------------------------

struct DistanceCase {
  const char* name;
  std::vector<cv::Rect> first;
  std::vector<cv::Rect> second;
  double expected;
};

class BlobShortestDistance : public testing::TestWithParam<DistanceCase> {};

TEST_P(BlobShortestDistance, ComparesContourVertices) {
  const DistanceCase& c = GetParam();
  EXPECT_DOUBLE_EQ(
      Mask_Refinement::blob_shortest_distance(rects_image(c.first), rects_image(c.second)),
      c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlobShortestDistance,
    testing::Values(
        DistanceCase{"Identical", {{10, 10, 8, 8}}, {{10, 10, 8, 8}}, 0.0},
        DistanceCase{"SideBySide", {{0, 0, 10, 10}}, {{19, 0, 10, 10}}, 10.0},
        DistanceCase{"Diagonal", {{0, 0, 10, 10}}, {{12, 13, 5, 5}}, 5.0},
        // Only the square's corners are vertices: (9, 9) is nearest, not the edge pixel (9, 5).
        DistanceCase{"VerticesNotEdgePixels", {{0, 0, 10, 10}}, {{15, 5, 1, 1}}, std::sqrt(52.0)},
        // Every blob's contour is pooled.
        DistanceCase{
            "NearestOfSeveralBlobs", {{0, 0, 5, 5}, {100, 0, 5, 5}}, {{107, 0, 3, 3}}, 3.0},
        DistanceCase{"TouchesFrameBorder", {{0, 0, 10, kFrame.height}}, {{12, 0, 1, 1}}, 3.0},
        DistanceCase{"SecondEmpty", {{0, 0, 5, 5}}, {}, std::numeric_limits<double>::infinity()},
        DistanceCase{"FirstEmpty", {}, {{0, 0, 5, 5}}, std::numeric_limits<double>::infinity()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BlobShortestDistance, RejectsOtherImageTypes) {
  const cv::Mat floats = cv::Mat::zeros(kFrame, CV_32F);
  EXPECT_EQ(error_text([&] { Mask_Refinement::blob_shortest_distance(floats, floats); }),
            "blob_shortest_distance: blob masks must be 2-D 8-bit one-channel images, got type 5 "
            "with 2 dimensions");
}

// ---------------------------------------------------------------------------------------------
// get_main_blob
// ---------------------------------------------------------------------------------------------

// Rows of a stats/centroids pair, background first, components sorted, for comparing analyses
// that may number the components differently.
std::vector<std::vector<double>> label_rows(const cv::Mat& stats, const cv::Mat& centroids) {
  std::vector<std::vector<double>> rows;
  for (int r = 0; r < stats.rows; ++r) {
    std::vector<double> row;
    for (int c = 0; c < stats.cols; ++c) row.push_back(stats.at<int>(r, c));
    row.push_back(centroids.at<double>(r, 0));
    row.push_back(centroids.at<double>(r, 1));
    rows.push_back(row);
  }
  std::sort(rows.begin() + 1, rows.end());
  return rows;
}

class MainBlobFrameCoordinates : public testing::TestWithParam<std::vector<cv::Rect>> {};

TEST_P(MainBlobFrameCoordinates, MatchWholeFrameAnalysis) {
  cv::Mat plane = rects_image(GetParam());
  // A diagonal run and a ring make non-rectangular components and a hole.
  cv::line(plane, {200, 20}, {240, 60}, 1);
  cv::circle(plane, {150, 150}, 20, 1, 3);
  const Mask mask = Mask::from_dense(plane);
  const MainBlob blob = Mask_Refinement().get_main_blob(mask, {}, 1);

  cv::Mat dense_labels, dense_stats, dense_centroids;
  const int dense_count =
      cv::connectedComponentsWithStats(plane, dense_labels, dense_stats, dense_centroids, 8);
  ASSERT_EQ(blob.num_labels, dense_count);
  EXPECT_EQ(label_rows(blob.stats, blob.centroids), label_rows(dense_stats, dense_centroids));

  // Each label covers exactly the pixels of one whole-frame label.
  cv::Mat placed = cv::Mat::zeros(kFrame, CV_32S);
  blob.labels.image.copyTo(placed(cv::Rect(blob.labels.origin, blob.labels.image.size())));
  EXPECT_EQ(blob.labels.frame_size, kFrame);
  for (int label = 1; label < blob.num_labels; ++label) {
    cv::Point first;
    cv::minMaxLoc(placed == label, nullptr, nullptr, nullptr, &first);
    const int dense_label = dense_labels.at<int>(first);
    EXPECT_EQ(cv::countNonZero((placed == label) != (dense_labels == dense_label)), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Masks, MainBlobFrameCoordinates,
                         testing::Values(std::vector<cv::Rect>{{13, 7, 30, 21}},
                                         std::vector<cv::Rect>{{0, 0, 30, 21}, {200, 100, 30, 21}},
                                         std::vector<cv::Rect>{{0, 0, 320, 100}, {0, 0, 10, 200}},
                                         std::vector<cv::Rect>{{1, 0, 319, 240}}));

struct RatioCase {
  cv::Size main_size;
  double ratio;
};

class MainBlobThresholds : public testing::TestWithParam<RatioCase> {};

TEST_P(MainBlobThresholds, RatioSwitchesAtThousandPixels) {
  const RatioCase& c = GetParam();
  const Mask mask = rects_mask({{cv::Point(40, 40), c.main_size}, {200, 40, 5, 5}});
  const MainBlob blob = Mask_Refinement().get_main_blob(mask, {}, 1);
  const double area = c.main_size.area();
  EXPECT_EQ(blob.best_idx, 1);
  EXPECT_DOUBLE_EQ(blob.min_area_threshold, area * 0.3);
  EXPECT_DOUBLE_EQ(blob.max_distance_threshold, std::sqrt(area / std::numbers::pi) * c.ratio);
}

INSTANTIATE_TEST_SUITE_P(Areas, MainBlobThresholds,
                         testing::Values(RatioCase{{30, 30}, 1.5}, RatioCase{{37, 27}, 1.5},
                                         RatioCase{{40, 25}, 0.5}, RatioCase{{40, 30}, 0.5}));

struct ChoiceCase {
  const char* name;
  std::optional<Centroid> prev;
  int expected_area;
};

class MainBlobChoice : public testing::TestWithParam<ChoiceCase> {};

// Six components of areas 600, 500, 400, 300, 200 and 100 pixels in a row.
TEST_P(MainBlobChoice, PicksAmongFiveLargest) {
  const ChoiceCase& c = GetParam();
  const Mask mask = rects_mask({{0, 0, 20, 30},
                                {30, 0, 20, 25},
                                {60, 0, 20, 20},
                                {90, 0, 20, 15},
                                {120, 0, 20, 10},
                                {150, 0, 20, 5}});
  CentroidMap prev;
  if (c.prev) prev[1] = *c.prev;
  const MainBlob blob = Mask_Refinement().get_main_blob(mask, prev, 1);
  EXPECT_EQ(blob.stats.at<int>(blob.best_idx, cv::CC_STAT_AREA), c.expected_area);
}

INSTANTIATE_TEST_SUITE_P(
    Centroids, MainBlobChoice,
    testing::Values(ChoiceCase{"NoPreviousLargest", std::nullopt, 600},
                    ChoiceCase{"NearestOfFive", Centroid(99.5, 7.0), 300},
                    ChoiceCase{"FifthLargest", Centroid(129.5, 4.5), 200},
                    // The 100-pixel component is nearest, but only the five largest compete.
                    ChoiceCase{"SixthNeverChosen", Centroid(159.5, 2.0), 200}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MainBlobChoice, EqualAreasKeepLabelOrder) {
  const Mask mask = rects_mask({{10, 10, 10, 10}, {50, 10, 10, 10}, {90, 10, 10, 10}});
  const MainBlob blob = Mask_Refinement().get_main_blob(mask, {}, 1);
  EXPECT_EQ(blob.best_idx, 1);
  // A previous centroid exactly between the first two: the earlier label wins.
  const MainBlob between = Mask_Refinement().get_main_blob(mask, {{1, Centroid(34.5, 14.5)}}, 1);
  EXPECT_EQ(between.best_idx, 1);
}

TEST(MainBlobChoice, ClearMaskIsRejected) {
  EXPECT_EQ(error_text([] { Mask_Refinement().get_main_blob(Mask(kFrame), {}, 4); }),
            "get_main_blob: the mask of object 4 has no set pixel");
}

// ---------------------------------------------------------------------------------------------
// get_dis_to_main_and_prev_blob
// ---------------------------------------------------------------------------------------------

struct FragmentCase {
  const char* name;
  cv::Size main_size;
  cv::Size fragment_size;
  int gap;
  bool kept;
};

class FragmentRetention : public testing::TestWithParam<FragmentCase> {};

// The fragment lies to the right of the main blob, top edges aligned, `gap` columns between
// their nearest contour vertices.
TEST_P(FragmentRetention, KeepsLargeNearFragments) {
  const FragmentCase& c = GetParam();
  const cv::Rect main_rect(cv::Point(20, 20), c.main_size);
  const cv::Rect fragment(cv::Point(main_rect.br().x - 1 + c.gap, 20), c.fragment_size);
  const Mask mask = rects_mask({main_rect, fragment});
  const Mask expected = c.kept ? mask : rects_mask({main_rect});
  EXPECT_EQ(refine(Mask_Refinement(), mask, {}), expected);
}

INSTANTIATE_TEST_SUITE_P(Gaps, FragmentRetention,
                         testing::Values(
                             // 1200 pixels: limit 0.5 x 19.54 = 9.77.
                             FragmentCase{"Large9Kept", {40, 30}, {20, 20}, 9, true},
                             FragmentCase{"Large11Cleared", {40, 30}, {20, 20}, 11, false},
                             // 400 >= 360 passes, 350 < 360 fails however close.
                             FragmentCase{"TooSmallCleared", {40, 30}, {14, 25}, 2, false},
                             // 900 pixels: limit 1.5 x 16.93 = 25.39.
                             FragmentCase{"Small25Kept", {30, 30}, {15, 20}, 25, true},
                             FragmentCase{"Small26Cleared", {30, 30}, {15, 20}, 26, false},
                             // Exactly 1000 pixels: limit 0.5 x 17.84 = 8.92.
                             FragmentCase{"Thousand8Kept", {40, 25}, {15, 21}, 8, true},
                             FragmentCase{"Thousand9Cleared", {40, 25}, {15, 21}, 9, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct LimitCase {
  const char* name;
  double min_area_threshold;
  double max_distance_threshold;
  bool kept;
};

class InclusiveLimits : public testing::TestWithParam<LimitCase> {};

// A 400-pixel fragment 10 pixels from the main blob, judged with given limits.
TEST_P(InclusiveLimits, AreaAndGapAtTheLimitPass) {
  const LimitCase& c = GetParam();
  const cv::Rect main_rect(20, 20, 40, 30);
  const Mask mask = rects_mask({main_rect, {69, 20, 20, 20}});
  const Mask_Refinement refinement;
  const MainBlob blob = refinement.get_main_blob(mask, {}, 1);
  const Mask cleaned = refinement.get_dis_to_main_and_prev_blob(
      blob.num_labels, blob.labels, blob.stats, blob.centroids, c.max_distance_threshold,
      c.min_area_threshold, blob.best_idx, {}, 1, 0, mask, {});
  EXPECT_EQ(cleaned, c.kept ? mask : rects_mask({main_rect}));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, InclusiveLimits,
    testing::Values(LimitCase{"BothAtLimit", 400.0, 10.0, true},
                    LimitCase{"AreaJustAbove", std::nextafter(400.0, 500.0), 10.0, false},
                    LimitCase{"GapJustAbove", 400.0, std::nextafter(10.0, 0.0), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PreviousPosition, OneComponentNearPreviousCentroidIsKeptWhole) {
  const Mask mask = rects_mask({{100, 100, 30, 20}});
  EXPECT_EQ(refine(Mask_Refinement(), mask, {}), mask);
  EXPECT_EQ(refine(Mask_Refinement(), mask, {{1, Centroid(114.5 + 120, 109.5 + 160)}}), mask);
}

TEST(PreviousPosition, AppliesToMainBlobAndFragments) {
  // The fragment is close and large enough, but its centroid is too far from the previous one.
  const cv::Rect main_rect(20, 20, 40, 30);
  const Mask mask = rects_mask({main_rect, {65, 20, 20, 20}});
  const Mask_Refinement near{.MAX_PREV_DIST = 20};
  EXPECT_EQ(refine(near, mask, {{1, Centroid(39.5, 34.5)}}), rects_mask({main_rect}));
  EXPECT_EQ(refine(near, mask, {{2, Centroid(39.5, 34.5)}}), mask);  // another object's entry
}

struct FarCase {
  const char* name;
  std::int64_t frame_idx;
  bool first_frame;
};

class FarFromPrevious : public testing::TestWithParam<FarCase> {};

TEST_P(FarFromPrevious, FirstFrameRestoresInputElseClears) {
  const FarCase& c = GetParam();
  const Mask analysed = rects_mask({{100, 100, 20, 20}, {20, 100, 30, 30}});
  const Mask unclipped = rects_mask({{100, 100, 20, 20}, {20, 100, 30, 30}, {300, 0, 20, 20}});
  VideoSegments segments;
  segments[c.first_frame ? c.frame_idx : 0][3] = unclipped;
  segments[c.first_frame ? 99 : c.frame_idx][3] = unclipped;
  const CentroidMap prev{{3, Centroid(60.0, 115.0 + 250.0)}};  // >= 250 from both components

  const Mask_Refinement refinement;
  const MainBlob blob = refinement.get_main_blob(analysed, prev, 3);
  CoutCapture out;
  const Mask cleaned = refinement.get_dis_to_main_and_prev_blob(
      blob.num_labels, blob.labels, blob.stats, blob.centroids, blob.max_distance_threshold,
      blob.min_area_threshold, blob.best_idx, prev, 3, c.frame_idx, unclipped, segments);
  if (c.first_frame) {
    EXPECT_EQ(cleaned, unclipped);
    EXPECT_EQ(out.text(), "");
  } else {
    EXPECT_EQ(cleaned, Mask(kFrame));
    EXPECT_EQ(out.lines(), std::vector<std::string>{"clean frame12--obj_id3"});
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, FarFromPrevious,
                         testing::Values(FarCase{"FirstFrame", 12, true},
                                         FarCase{"LaterFrame", 12, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GetDisToMainAndPrevBlob, RejectsValuesThatDoNotFit) {
  const Mask mask = rects_mask({{10, 10, 5, 5}, {30, 10, 5, 5}});
  const Mask_Refinement refinement;
  const MainBlob b = refinement.get_main_blob(mask, {}, 1);
  const auto call = [&](int best_idx, const Mask& input) {
    return error_text([&] {
      refinement.get_dis_to_main_and_prev_blob(b.num_labels, b.labels, b.stats, b.centroids,
                                               b.max_distance_threshold, b.min_area_threshold,
                                               best_idx, {}, 1, 0, input, {});
    });
  };
  EXPECT_EQ(call(3, mask),
            "get_dis_to_main_and_prev_blob: best_idx must be a label from 1 to 2, "
            "got 3");
  EXPECT_EQ(call(0, mask),
            "get_dis_to_main_and_prev_blob: best_idx must be a label from 1 to 2, "
            "got 0");
  EXPECT_EQ(call(1, Mask(cv::Size(10, 10))),
            "get_dis_to_main_and_prev_blob: mask of 10 x 10 does not match labels of a frame of "
            "240 x 320");
  EXPECT_EQ(error_text([&] {
              refinement.get_dis_to_main_and_prev_blob(4, b.labels, b.stats, b.centroids, 1, 1, 1,
                                                       {}, 1, 0, mask, {});
            }),
            "get_dis_to_main_and_prev_blob: stats must be 32-bit integers of 4 x 5, got 3 x 5");
}

// ---------------------------------------------------------------------------------------------
// process_video_segments
// ---------------------------------------------------------------------------------------------

// A clip whose pen covers columns 0 .. 199 of the 320 x 240 frame, borders included.
class ProcessVideoSegments : public testing::Test {
 protected:
  ProcessVideoSegments() {
    kovra_test::write_text(pen_path(),
                           R"({"shapes": [{"points": [[0, 0], [199, 0], [199, 239], [0, 239]]}]})");
    refinement.custom_pen_json_path = pen_path();
  }

  std::string pen_path() const { return (dir / "pen.json").string(); }

  // Runs the refinement, returning the printed lines.
  std::vector<std::string> run(VideoSegments& segments) {
    CoutCapture out;
    refinement.process_video_segments(segments, "clips\\Camera61_0001", frame_names);
    return out.lines();
  }

  TempDir dir;
  Mask_Refinement refinement;
  std::vector<std::string> frame_names = std::vector<std::string>(10, "frames/0000.jpg");
};

TEST_F(ProcessVideoSegments, ClearMaskIsLeftWithoutPenLookup) {
  refinement.custom_pen_json_path = (dir / "missing.json").string();
  VideoSegments segments;
  segments[0][1] = Mask(kFrame);
  EXPECT_EQ(run(segments), std::vector<std::string>{});
  EXPECT_EQ(segments[0][1], Mask(kFrame));
  EXPECT_TRUE(refinement.prev_centroids.empty());
}

TEST_F(ProcessVideoSegments, MaskOutsidePenBecomesClearSilently) {
  VideoSegments segments;
  segments[0][1] = rects_mask({{250, 10, 20, 20}});
  EXPECT_EQ(run(segments), std::vector<std::string>{});
  EXPECT_EQ(segments[0][1], Mask(kFrame));
  EXPECT_TRUE(refinement.prev_centroids.empty());
}

TEST_F(ProcessVideoSegments, ClipsToPenKeepsMainBlobAndRecordsCentroid) {
  VideoSegments segments;
  segments[0][1] = rects_mask({{150, 50, 80, 40}, {20, 200, 3, 3}});
  EXPECT_EQ(run(segments), std::vector<std::string>{});
  EXPECT_EQ(segments[0][1], rects_mask({{150, 50, 50, 40}}));
  EXPECT_EQ(refinement.prev_centroids.at(1), Centroid(174.5, 69.5));
}

TEST_F(ProcessVideoSegments, CentroidsSteerLaterFramesAndLaterClips) {
  VideoSegments clip;
  clip[0][1] = rects_mask({{20, 20, 30, 30}});
  // The larger component is within reach too, but the nearer one continues the object.
  clip[1][1] = rects_mask({{22, 20, 30, 30}, {120, 150, 60, 60}});
  run(clip);
  EXPECT_EQ(clip[1][1], rects_mask({{22, 20, 30, 30}}));
  EXPECT_EQ(refinement.prev_centroids.at(1), Centroid(36.5, 34.5));

  // The next clip starts from that centroid: its first mask, 226.8 pixels away once clipped,
  // fails the test, so the tracker's unclipped mask is kept and gives the new centroid.
  VideoSegments next;
  next[5][1] = rects_mask({{150, 200, 80, 30}});
  EXPECT_EQ(run(next), std::vector<std::string>{});
  EXPECT_EQ(next[5][1], rects_mask({{150, 200, 80, 30}}));
  EXPECT_EQ(refinement.prev_centroids.at(1), Centroid(189.5, 214.5));
}

TEST_F(ProcessVideoSegments, JumpBeyondPreviousDistanceClearsLaterFrames) {
  VideoSegments segments;
  segments[0][7] = rects_mask({{20, 20, 30, 30}});
  segments[0][2] = rects_mask({{100, 100, 10, 10}});
  segments[3][7] = rects_mask({{150, 200, 40, 30}});  // 225 pixels from (34.5, 34.5)
  segments[4][7] = rects_mask({{151, 200, 40, 30}});
  segments[4][2] = Mask(kFrame);
  EXPECT_EQ(run(segments),
            (std::vector<std::string>{"clean frame3--obj_id7", "frame 3--obj_id7-- no mask",
                                      "clean frame4--obj_id7", "frame 4--obj_id7-- no mask"}));
  EXPECT_EQ(segments[3][7], Mask(kFrame));
  EXPECT_EQ(segments[4][7], Mask(kFrame));
  EXPECT_EQ(refinement.prev_centroids.at(7), Centroid(34.5, 34.5));

  std::vector<std::pair<std::int64_t, std::vector<std::int64_t>>> keys;
  for (const auto& [frame, objects] : segments) {
    keys.push_back({frame, {}});
    for (const auto& [object, mask] : objects) keys.back().second.push_back(object);
  }
  EXPECT_EQ(keys, (decltype(keys){{0, {7, 2}}, {3, {7}}, {4, {7, 2}}}));
}

TEST_F(ProcessVideoSegments, ErrorsPropagateAfterEarlierMasksChanged) {
  VideoSegments segments;
  segments[0][1] = rects_mask({{150, 50, 80, 40}});
  segments[20][1] = rects_mask({{10, 10, 5, 5}});
  try {
    run(segments);
    ADD_FAILURE() << "no std::out_of_range";
  } catch (const std::out_of_range& error) {
    EXPECT_THAT(error.what(), testing::HasSubstr("20"));
  }
  EXPECT_EQ(segments[0][1], rects_mask({{150, 50, 50, 40}}));

  refinement.custom_pen_json_path = (dir / "missing.json").string();
  try {
    run(segments);
    ADD_FAILURE() << "no FileError";
  } catch (const FileError& error) {
    EXPECT_THAT(error.what(), testing::HasSubstr("missing.json"));
  }
}

}  // namespace

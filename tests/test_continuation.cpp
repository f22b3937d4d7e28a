#include <kovra_utils/continuation.hpp>

#include <kovra_utils/annotation.hpp>

#include "capture.hpp"
#include "expect_error.hpp"
#include "model_doubles.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using kovra_utils::ArgumentError;
using kovra_utils::ContentError;
using kovra_utils::FeatureList;
using kovra_utils::Mask;

const cv::Size kFrame(120, 80);

Mask rect_mask(cv::Rect rect, cv::Size size = kFrame) {
  return Mask::from_crop(size, rect.tl(), cv::Mat::ones(rect.size(), CV_8U));
}

double cell(const cv::Mat& m, int r, int c) { return m.at<double>(r, c); }

using kovra_utils::BestLasteFrame;
using kovra_utils::ClipData;
using kovra_utils::FrameRecord;
using kovra_utils::MasksDict;

// ---- clip fixtures --------------------------------------------------------------------------

const cv::Size kPen(400, 100);

FrameRecord record_of(std::int64_t frame_index, const MasksDict& masks) {
  FrameRecord record;
  record.frame_index = frame_index;
  record.masks_dict = masks;
  record.mask_areas = kovra_utils::count_mask_areas(masks);
  return record;
}

// Ten separate masks: Box0 .. Box7 of 600 pixels in a row, Box8 and Box9 of 1000 pixels below.
MasksDict ten_clean_masks() {
  MasksDict masks;
  for (int i = 0; i < 8; ++i) masks["Box" + std::to_string(i)] = rect_mask({i * 40, 0, 30, 20}, kPen);
  masks["Box8"] = rect_mask({20, 40, 25, 40}, kPen);
  masks["Box9"] = rect_mask({100, 40, 25, 40}, kPen);
  return masks;
}

ClipData clip_of(std::int64_t first_key, std::int64_t last_key, const MasksDict& masks) {
  ClipData clip;
  for (std::int64_t key = first_key; key <= last_key; ++key) clip[key] = record_of(key, masks);
  return clip;
}

MasksDict with_mask(MasksDict masks, const std::string& key, const Mask& mask) {
  masks[key] = mask;
  return masks;
}

MasksDict without(MasksDict masks, const std::string& key) {
  masks.erase(key);
  return masks;
}

std::string no_valid_frame_line(int min_area, int max_attempts, int n_track) {
  return "No valid frame found with all masks area > " + std::to_string(min_area) +
         " in the last " + std::to_string(max_attempts) + " frames for " +
         std::to_string(n_track) + " tracks.";
}

// ---- find_best_laste_frame ------------------------------------------------------------------

TEST(FindBestLasteFrame, AcceptsCleanFrame599Silently) {
  ClipData clip = clip_of(0, 599, ten_clean_masks());
  kovra_test::CoutCapture out;
  const BestLasteFrame best = kovra_utils::find_best_laste_frame(clip);
  EXPECT_EQ(out.text(), "");
  ASSERT_TRUE(best.best_laste_frame.has_value());
  EXPECT_FALSE(best.not_last_frame);
  EXPECT_EQ(best.best_laste_frame->frame_index, 599);
}

TEST(FindBestLasteFrame, SwitchesBackPastAMaskOfExactlyMinArea) {
  ClipData clip = clip_of(0, 599, ten_clean_masks());
  clip[599].masks_dict["Box4"] = rect_mask({160, 0, 5, 2}, kPen);  // 10 pixels: not > 10
  kovra_test::CoutCapture out;
  const BestLasteFrame best = kovra_utils::find_best_laste_frame(clip);
  EXPECT_EQ(out.lines(), (std::vector<std::string>{
                             "Switched to frame key 598 due to small mask area in later frames."}));
  ASSERT_TRUE(best.best_laste_frame.has_value());
  EXPECT_EQ(best.best_laste_frame->frame_index, 598);
}

TEST(FindBestLasteFrame, ReportsTheSwitchForAnyLastKeyOtherThan599) {
  ClipData clip = clip_of(0, 450, ten_clean_masks());
  kovra_test::CoutCapture out;
  const BestLasteFrame best = kovra_utils::find_best_laste_frame(clip);
  EXPECT_EQ(out.lines(), (std::vector<std::string>{
                             "Switched to frame key 450 due to small mask area in later frames."}));
  EXPECT_EQ(best.best_laste_frame->frame_index, 450);
}

TEST(FindBestLasteFrame, WalksKeysInNumericOrderNotInsertionOrder) {
  ClipData clip;
  clip[12] = record_of(12, ten_clean_masks());
  clip[3] = record_of(3, ten_clean_masks());
  clip[7] = record_of(7, without(ten_clean_masks(), "Box0"));
  kovra_test::CoutCapture out;
  EXPECT_EQ(kovra_utils::find_best_laste_frame(clip).best_laste_frame->frame_index, 12);
}

struct OverlapCase {
  bool drop_one_shared_pixel;
  bool accepted;
};

class FindBestLasteFrameOverlap : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(FindBestLasteFrameOverlap, RejectsOverlapsOfHalfOrMore) {
  // Box9 (1000 pixels) shares 500 with Box8: 50 percent; one shared pixel less is 49.9 / 49.95.
  cv::Mat crop = cv::Mat::ones(40, 25, CV_8U);
  if (GetParam().drop_one_shared_pixel) crop.at<uchar>(0, 0) = 0;
  const Mask box8 = Mask::from_crop(kPen, {100, 60}, crop);
  ClipData clip = clip_of(0, 0, with_mask(ten_clean_masks(), "Box8", box8));
  kovra_test::CoutCapture out;
  const BestLasteFrame best = kovra_utils::find_best_laste_frame(clip, 10, 1);
  EXPECT_EQ(best.best_laste_frame.has_value(), GetParam().accepted);
  EXPECT_EQ(best.not_last_frame, !GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Boundary, FindBestLasteFrameOverlap,
                         ::testing::Values(OverlapCase{false, false}, OverlapCase{true, true}));

TEST(FindBestLasteFrame, RemovesStackedBoxesFromEveryCallerRecord) {
  ClipData clip = clip_of(0, 20, ten_clean_masks());
  kovra_test::CoutCapture out;
  const BestLasteFrame best = kovra_utils::find_best_laste_frame(clip, 10, 10, {"Box3", "Box7", "Box42"});
  ASSERT_TRUE(best.best_laste_frame.has_value());  // eight masks are enough for 8 tracks
  EXPECT_EQ(best.best_laste_frame->masks_dict.size(), 8u);
  for (const auto& [key, record] : clip) {
    EXPECT_FALSE(record.masks_dict.contains("Box3")) << key;
    EXPECT_FALSE(record.masks_dict.contains("Box7")) << key;
    EXPECT_EQ(record.masks_dict.size(), 8u) << key;
    EXPECT_EQ(record.mask_areas.size(), 10u) << key;  // stored areas are left alone
  }
}

// Nine good masks: enough only when the removal list lowers the track count to 9.
struct TrackCountCase {
  kovra_utils::BoxKeyList remove_stack_obs;
  bool accepted;
  int n_track;
};

class FindBestLasteFrameTrackCount : public ::testing::TestWithParam<TrackCountCase> {};

TEST_P(FindBestLasteFrameTrackCount, CountsPresentEntriesOnly) {
  ClipData clip = clip_of(0, 3, without(ten_clean_masks(), "Box9"));
  kovra_test::CoutCapture out;
  const BestLasteFrame best =
      kovra_utils::find_best_laste_frame(clip, 10, 10, GetParam().remove_stack_obs);
  EXPECT_EQ(best.best_laste_frame.has_value(), GetParam().accepted);
  const std::string expected_line =
      GetParam().accepted ? "Switched to frame key 3 due to small mask area in later frames."
                          : no_valid_frame_line(10, 10, GetParam().n_track);
  EXPECT_EQ(out.lines(), std::vector<std::string>{expected_line});
  EXPECT_EQ(clip[0].masks_dict.size(), 9u);  // null and empty keys remove nothing
}

INSTANTIATE_TEST_SUITE_P(
    Entries, FindBestLasteFrameTrackCount,
    ::testing::Values(TrackCountCase{{}, false, 10}, TrackCountCase{{std::nullopt}, false, 10},
                      TrackCountCase{{std::string()}, true, 9},
                      TrackCountCase{{std::nullopt, std::string("Box9")}, true, 9}));

TEST(FindBestLasteFrame, EmptyMasksDoNotCountAsTracksEvenWithNegativeMinArea) {
  ClipData clip = clip_of(0, 3, with_mask(ten_clean_masks(), "Box9", Mask(kPen)));
  kovra_test::CoutCapture out;
  const BestLasteFrame best = kovra_utils::find_best_laste_frame(clip, -1);
  EXPECT_FALSE(best.best_laste_frame.has_value());
  EXPECT_EQ(out.lines(), std::vector<std::string>{no_valid_frame_line(-1, 10, 10)});
}

TEST(FindBestLasteFrame, ExaminesAtMostMaxAttemptsFrames) {
  ClipData clip = clip_of(0, 9, ten_clean_masks());
  const ClipData bad = clip_of(10, 19, with_mask(ten_clean_masks(), "Box0", Mask(kPen)));
  for (const auto& [key, record] : bad) clip[key] = record;
  {
    kovra_test::CoutCapture out;
    const BestLasteFrame best = kovra_utils::find_best_laste_frame(clip);
    EXPECT_FALSE(best.best_laste_frame.has_value());
    EXPECT_TRUE(best.not_last_frame);
    EXPECT_EQ(out.lines(), std::vector<std::string>{no_valid_frame_line(10, 10, 10)});
  }
  kovra_test::CoutCapture out;
  EXPECT_EQ(kovra_utils::find_best_laste_frame(clip, 10, 11).best_laste_frame->frame_index, 9);
}

TEST(FindBestLasteFrame, ShortOrEmptyClipsAndNoAttemptsFailTheNormalWay) {
  struct Case {
    ClipData clip;
    std::int64_t max_attempts;
  };
  std::vector<Case> cases;
  cases.push_back({clip_of(0, 2, without(ten_clean_masks(), "Box1")), 10});
  cases.push_back({ClipData{}, 10});
  cases.push_back({clip_of(0, 5, ten_clean_masks()), 0});
  cases.push_back({clip_of(0, 5, ten_clean_masks()), -3});
  for (auto& c : cases) {
    kovra_test::CoutCapture out;
    const BestLasteFrame best = kovra_utils::find_best_laste_frame(c.clip, 7, c.max_attempts);
    EXPECT_TRUE(best.not_last_frame);
    EXPECT_FALSE(best.best_laste_frame.has_value());
    EXPECT_EQ(out.lines(), std::vector<std::string>{no_valid_frame_line(
                               7, static_cast<int>(c.max_attempts), 10)});
  }
}

// ---- find_boxes_with_small_area_from_last_video ---------------------------------------------

FrameRecord areas_record(std::int64_t frame_index,
                         const std::vector<std::pair<std::string, std::int64_t>>& areas) {
  FrameRecord record;
  record.frame_index = frame_index;
  for (const auto& [key, area] : areas) record.mask_areas[key] = area;
  return record;
}

TEST(FindBoxesWithSmallArea, ListsBoxesSmallInMoreThanMinCountFramesInFirstSmallOrder) {
  ClipData clip;
  for (std::int64_t key = 0; key <= 700; ++key) {
    const std::int64_t box2 = (key >= 530 && key < 631) ? 100 : 900;  // 101 frames at <= 100
    const std::int64_t box7 = (key >= 520 && key < 621) ? 50 : 900;   // 101 frames
    const std::int64_t box5 = (key >= 550 && key < 650) ? 10 : 900;   // exactly 100 frames
    clip[key] = areas_record(key, {{"Box2", box2}, {"Box5", box5}, {"Box7", box7}, {"Box4", 101}});
  }
  const auto before = clip[600].mask_areas;
  EXPECT_EQ(kovra_utils::find_boxes_with_small_area_from_last_video(clip),
            (std::vector<std::string>{"Box7", "Box2"}));
  EXPECT_EQ(clip[600].mask_areas, before);
}

TEST(FindBoxesWithSmallArea, ConsidersOnlyKeysAboveMinFrameId) {
  ClipData clip;
  clip[500] = areas_record(500, {{"Box1", 0}});
  clip[501] = areas_record(501, {{"Box2", 0}});
  EXPECT_EQ(kovra_utils::find_boxes_with_small_area_from_last_video(clip, 500, 100, 0),
            std::vector<std::string>{"Box2"});
}

TEST(FindBoxesWithSmallArea, DefaultsFindNothingInA600FrameClip) {
  ClipData clip;
  for (std::int64_t key = 0; key < 600; ++key) clip[key] = areas_record(key, {{"Box0", 0}});
  EXPECT_TRUE(kovra_utils::find_boxes_with_small_area_from_last_video(clip).empty());
}

// ---- matcher --------------------------------------------------------------------------------

using kovra_utils::MatcherResult;

// A frame of kPen size whose pixels are BGR (10, 20, 30) on disk, i.e. RGB (30, 20, 10).
std::string write_frame(const kovra_test::TempDir& dir, const std::string& name = "0007.png") {
  const std::string path = (dir / name).string();
  cv::imwrite(path, cv::Mat(kPen, CV_8UC3, cv::Scalar(10, 20, 30)));
  return path;
}

kovra_utils::Prediction prediction_of(const std::vector<Mask>& masks) {
  std::vector<cv::Mat> planes;
  for (const Mask& mask : masks) planes.push_back(mask.dense());
  return {kovra_test::stack_masks(planes), cv::Mat(), cv::Mat()};
}

std::vector<Mask> masks_of(const MasksDict& masks) {
  std::vector<Mask> out;
  for (const auto& [key, mask] : masks) out.push_back(mask);
  return out;
}

// The removal list that leaves only `kept` of Box0 .. Box9.
kovra_utils::BoxKeyList removing_all_but(const std::vector<std::string>& kept) {
  std::vector<std::string> removed;
  for (int i = 0; i < 10; ++i) {
    const std::string key = "Box" + std::to_string(i);
    if (std::find(kept.begin(), kept.end(), key) == kept.end()) removed.push_back(key);
  }
  return removed;
}

TEST(Matcher, PromptsWithTheOldBoxesAndAcceptsSeparateMasks) {
  kovra_test::TempDir dir;
  const std::vector<std::string> frame_names = {"unused0", "unused1", "unused2", "unused3",
                                                "unused4", "unused5", "unused6", write_frame(dir)};
  ClipData clip = clip_of(0, 5, ten_clean_masks());
  kovra_test::ScriptedPredictor predictor;
  predictor.predictions.push_back(prediction_of(masks_of(ten_clean_masks())));
  kovra_test::CoutCapture out;
  const MatcherResult result = kovra_utils::matcher(clip, frame_names, 7, &predictor);
  EXPECT_EQ(out.lines(), (std::vector<std::string>{
                             "Switched to frame key 5 due to small mask area in later frames.",
                             "ann_frame_idx [7] works for mask finding!!!"}));
  ASSERT_EQ(predictor.methods(), (std::vector<std::string>{"set_image", "predict"}));
  EXPECT_EQ(predictor.calls[0].argument.at<cv::Vec3b>(0, 0), cv::Vec3b(30, 20, 10));
  const cv::Mat& boxes = predictor.calls[1].argument;
  ASSERT_EQ(boxes.type(), CV_32S);
  ASSERT_EQ(boxes.size(), cv::Size(4, 10));
  EXPECT_EQ(cv::Vec4i(boxes.ptr<int>(1)), cv::Vec4i(40, 0, 69, 19));   // inclusive corners
  EXPECT_EQ(cv::Vec4i(boxes.ptr<int>(9)), cv::Vec4i(100, 40, 124, 79));
  EXPECT_FALSE(result.no_best_laste_frame);
  ASSERT_TRUE(result.masks.has_value());
  EXPECT_EQ(*result.masks, masks_of(ten_clean_masks()));
  EXPECT_EQ(*result.OBJECTS, std::vector<std::string>(10, "pig"));
  EXPECT_EQ(result.keep_box->size(), 10u);
  EXPECT_EQ(result.best_laste_frame->frame_index, 5);
}

TEST(Matcher, RenumbersTheKeptBoxesAndReachesTheCallerRecords) {
  kovra_test::TempDir dir;
  ClipData clip = clip_of(599, 599, ten_clean_masks());
  const MasksDict kept = clip[599].masks_dict;
  kovra_test::ScriptedPredictor predictor;
  predictor.predictions.push_back(prediction_of({kept.at("Box0"), kept.at("Box2"), kept.at("Box5")}));
  kovra_test::CoutCapture out;
  const MatcherResult result = kovra_utils::matcher(clip, {write_frame(dir)}, 0, &predictor,
                                                    removing_all_but({"Box0", "Box2", "Box5"}));
  EXPECT_EQ(out.lines(), std::vector<std::string>{"ann_frame_idx [0] works for mask finding!!!"});
  EXPECT_EQ(predictor.calls[1].argument.rows, 3);
  EXPECT_EQ(*result.keep_box, (std::vector<std::string>{"Box0", "Box2", "Box5"}));
  EXPECT_EQ(result.masks->size(), 3u);
  EXPECT_EQ(clip[599].masks_dict.size(), 3u);
}

// Two old tracks (Box0 of 600 pixels, Box1 of 600); the new masks decide the outcome.
struct AcceptanceCase {
  std::string name;
  std::vector<Mask> new_masks;
  std::int64_t min_area;
  bool accepted;
};

class MatcherAcceptance : public ::testing::TestWithParam<AcceptanceCase> {};

TEST_P(MatcherAcceptance, NeedsSeparateMasksOnePerTrackOfAtLeastMinArea) {
  kovra_test::TempDir dir;
  ClipData clip = clip_of(599, 599, ten_clean_masks());
  kovra_test::ScriptedPredictor predictor;
  predictor.predictions.push_back(prediction_of(GetParam().new_masks));
  kovra_test::CoutCapture out;
  const MatcherResult result =
      kovra_utils::matcher(clip, {write_frame(dir)}, 0, &predictor,
                           removing_all_but({"Box0", "Box1"}), GetParam().min_area);
  EXPECT_EQ(result.masks.has_value(), GetParam().accepted);
  EXPECT_EQ(result.no_best_laste_frame, !GetParam().accepted);
  if (GetParam().accepted) {
    EXPECT_EQ(out.lines(), std::vector<std::string>{"ann_frame_idx [0] works for mask finding!!!"});
  } else {
    EXPECT_EQ(out.text(), "ann_frame_idx [0] cannot work..\n\n");
    EXPECT_FALSE(result.OBJECTS || result.keep_box || result.best_laste_frame);
  }
}

Mask with_extra(cv::Rect base, cv::Rect extra) {
  cv::Mat plane = cv::Mat::zeros(kPen, CV_8U);
  plane(base).setTo(1);
  plane(extra).setTo(1);
  return Mask::from_dense(plane);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, MatcherAcceptance,
    ::testing::Values(
        AcceptanceCase{"AreaEqualToMinArea", {rect_mask({0, 0, 5, 2}, kPen), rect_mask({40, 0, 30, 20}, kPen)}, 10, true},
        AcceptanceCase{"AreaBelowMinArea", {rect_mask({0, 0, 3, 3}, kPen), rect_mask({40, 0, 30, 20}, kPen)}, 10, false},
        // Box1 of 200 pixels with 20 inside Box0 (10 percent), or of 202 with 22 (10.9 percent).
        AcceptanceCase{"OverlapOf10Percent", {rect_mask({0, 0, 50, 20}, kPen), with_extra({100, 0, 10, 18}, {49, 0, 1, 20})}, 10, true},
        AcceptanceCase{"OverlapAbove10Percent", {rect_mask({0, 0, 50, 20}, kPen), with_extra({100, 0, 10, 18}, {48, 0, 2, 11})}, 10, false},
        AcceptanceCase{"FewerMasksThanTracks", {rect_mask({0, 0, 30, 20}, kPen)}, 10, false}),
    [](const auto& info) { return info.param.name; });

TEST(Matcher, TakesASingleUnstackedMaskAsOne) {
  kovra_test::TempDir dir;
  ClipData clip = clip_of(599, 599, ten_clean_masks());
  kovra_test::ScriptedPredictor predictor;
  predictor.predictions.push_back({rect_mask({0, 0, 30, 20}, kPen).dense(), cv::Mat(), cv::Mat()});
  kovra_test::CoutCapture out;
  const MatcherResult result =
      kovra_utils::matcher(clip, {write_frame(dir)}, 0, &predictor, removing_all_but({"Box0"}));
  ASSERT_TRUE(result.OBJECTS.has_value());
  EXPECT_EQ(*result.OBJECTS, std::vector<std::string>{"pig"});
}

TEST(Matcher, WithoutALastFrameReportsAndNeverCallsThePredictor) {
  ClipData clip = clip_of(0, 3, without(ten_clean_masks(), "Box4"));
  kovra_test::ScriptedPredictor predictor;
  kovra_test::CoutCapture out;
  const MatcherResult result = kovra_utils::matcher(clip, {"missing.png"}, 0, &predictor);
  EXPECT_EQ(out.lines(), (std::vector<std::string>{no_valid_frame_line(10, 10, 10),
                                                   "Issue is from the laste frame, not enough "
                                                   "masks found."}));
  EXPECT_TRUE(predictor.calls.empty());
  EXPECT_TRUE(result.no_best_laste_frame);
  EXPECT_FALSE(result.masks || result.OBJECTS || result.keep_box || result.best_laste_frame);
}

TEST(Matcher, ShowsTheOldMasksOnceBeforeTheVerdictAlsoOnFailure) {
  kovra_test::TempDir dir;
  for (const bool succeed : {true, false}) {
    ClipData clip = clip_of(599, 599, ten_clean_masks());
    kovra_test::ScriptedPredictor predictor;
    predictor.predictions.push_back(
        prediction_of(succeed ? masks_of(ten_clean_masks()) : std::vector<Mask>{}));
    kovra_test::CoutCapture out;
    std::vector<std::string> printed_before;
    int shown = 0;
    kovra_utils::matcher(clip, {write_frame(dir)}, 0, &predictor, {}, 10, 10,
                         [&](const cv::Mat& image) {
                           ++shown;
                           printed_before = out.lines();
                           EXPECT_EQ(image.type(), CV_8UC4);
                           EXPECT_EQ(image.size(), kPen);
                         });
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(printed_before.empty());
    EXPECT_EQ(out.lines().size(), succeed ? 1u : 2u);
  }
}

TEST(Matcher, ReportsAMissingPredictorFrameOrImage) {
  kovra_test::TempDir dir;
  ClipData clip = clip_of(599, 599, ten_clean_masks());
  kovra_test::ScriptedPredictor predictor;
  kovra_test::CoutCapture out;
  kovra_test::expect_error_message<ArgumentError>([&] { kovra_utils::matcher(clip, {write_frame(dir)}, 0, nullptr); },
                        "matcher: an image_predictor is needed to segment frame 0");
  try {
    kovra_utils::matcher(clip, {write_frame(dir)}, 1, &predictor);
    ADD_FAILURE() << "no std::out_of_range";
  } catch (const std::out_of_range& error) {
    EXPECT_EQ(std::string(error.what()),
              "matcher: ann_frame_idx 1 is outside frame_names of 1 entries");
  }
  const std::string missing = (dir / "missing.jpg").string();
  try {
    kovra_utils::matcher(clip, {missing}, 0, &predictor);
    ADD_FAILURE() << "no FileError";
  } catch (const kovra_utils::FileError& error) {
    EXPECT_EQ(std::string(error.what()), "cannot read image file " + missing);
  }
  EXPECT_TRUE(predictor.calls.empty());
}

// ---- cal_masks_iou_scores -------------------------------------------------------------------

TEST(CalMasksIouScores, PairsOfNewRowsAndOldColumns) {
  const std::vector<Mask> masks_new = {rect_mask({0, 0, 10, 10}), rect_mask({50, 50, 10, 10}),
                                       Mask(kFrame)};
  const std::vector<Mask> masks_old = {rect_mask({0, 0, 10, 10}), rect_mask({5, 0, 10, 10})};
  const cv::Mat iou = kovra_utils::cal_masks_iou_scores(masks_new, masks_old);
  ASSERT_EQ(iou.type(), CV_64F);
  ASSERT_EQ(iou.size(), cv::Size(2, 3));
  EXPECT_EQ(cell(iou, 0, 0), 100.0 / (100.0 + 1e-6));  // identical, not exactly 1
  EXPECT_EQ(cell(iou, 0, 1), 50.0 / (150.0 + 1e-6));
  EXPECT_EQ(cell(iou, 1, 0), 0.0);  // disjoint
  EXPECT_EQ(cell(iou, 2, 0), 0.0);  // empty against a mask
  const cv::Mat empty_pair = kovra_utils::cal_masks_iou_scores({Mask(kFrame)}, {Mask(kFrame)});
  EXPECT_EQ(cell(empty_pair, 0, 0), 0.0);
}

TEST(CalMasksIouScores, EmptySideGivesEmptyMatrixOfTheOtherLength) {
  const cv::Mat iou = kovra_utils::cal_masks_iou_scores({}, {rect_mask({0, 0, 2, 2})});
  EXPECT_EQ(iou.rows, 0);
  EXPECT_EQ(iou.cols, 1);
}

TEST(SimilarityMeasures, RejectMasksOfDifferentSizes) {
  const std::vector<Mask> masks_new = {rect_mask({0, 0, 4, 4})};
  const std::vector<Mask> masks_old = {rect_mask({0, 0, 4, 4}), rect_mask({0, 0, 4, 4}, {30, 20})};
  kovra_test::expect_error_message<ArgumentError>([&] { kovra_utils::cal_masks_iou_scores(masks_new, masks_old); },
                        "cal_masks_iou_scores: all masks must be 80 x 120, masks_old[1] is 20 x 30");
  kovra_test::expect_error_message<ArgumentError>([&] { kovra_utils::cal_centroid_distance(masks_new, masks_old); },
                        "cal_centroid_distance: all masks must be 80 x 120, masks_old[1] is 20 x 30");
}

// ---- cal_centroid_distance ------------------------------------------------------------------

TEST(CalCentroidDistance, SimilarityFallsWithDistance) {
  // Centroids (10, 10) and (50, 10) against (10, 10).
  const std::vector<Mask> masks_new = {rect_mask({9, 9, 3, 3}), rect_mask({49, 9, 3, 3})};
  const std::vector<Mask> masks_old = {rect_mask({8, 8, 5, 5})};
  const cv::Mat sim = kovra_utils::cal_centroid_distance(masks_new, masks_old);
  ASSERT_EQ(sim.size(), cv::Size(1, 2));
  EXPECT_EQ(cell(sim, 0, 0), 1.0);
  EXPECT_EQ(cell(sim, 1, 0), 1.0 - 40.0 / (40.0 + 1e-6));
}

TEST(CalCentroidDistance, EmptyMaskScoresOnePixelBeyondTheFarthest) {
  const std::vector<Mask> masks_new = {rect_mask({9, 9, 3, 3}), rect_mask({29, 9, 3, 3})};
  const std::vector<Mask> masks_old = {rect_mask({9, 9, 3, 3}), Mask(kFrame)};
  const cv::Mat sim = kovra_utils::cal_centroid_distance(masks_new, masks_old);
  const double max_dist = 20.0 + 1.0;
  EXPECT_EQ(cell(sim, 0, 0), 1.0);
  EXPECT_EQ(cell(sim, 1, 0), 1.0 - 20.0 / (max_dist + 1e-6));
  EXPECT_EQ(cell(sim, 0, 1), 1.0 - max_dist / (max_dist + 1e-6));
  EXPECT_EQ(cell(sim, 1, 1), 1.0 - max_dist / (max_dist + 1e-6));
}

TEST(CalCentroidDistance, NoValidPairGivesNaNAndEmptySideIsAnError) {
  const cv::Mat sim = kovra_utils::cal_centroid_distance({Mask(kFrame)}, {Mask(kFrame), Mask(kFrame)});
  ASSERT_EQ(sim.size(), cv::Size(2, 1));
  EXPECT_TRUE(std::isnan(cell(sim, 0, 0)));
  EXPECT_TRUE(std::isnan(cell(sim, 0, 1)));
  kovra_test::expect_error_message<ArgumentError>([] { kovra_utils::cal_centroid_distance({}, {Mask(kFrame)}); },
                        "cal_centroid_distance: needs at least one new and one old mask, got 0 "
                        "new and 1 old");
}

// ---- cosine_scores_cal ----------------------------------------------------------------------

TEST(CosineScoresCal, ScoresValidPairsAndLeavesAbsentOnesAtMinusInfinity) {
  const FeatureList features_new = {std::vector<float>{1, 2, 3}, std::nullopt,
                                    std::vector<float>{0, 0, 0}};
  const FeatureList features_old = {std::vector<float>{2, 4, 6}, std::vector<float>{-1, -2, -3},
                                    std::nullopt};
  const cv::Mat scores = kovra_utils::cosine_scores_cal(features_new, features_old);
  ASSERT_EQ(scores.size(), cv::Size(3, 3));
  const double minus_inf = -std::numeric_limits<double>::infinity();
  EXPECT_DOUBLE_EQ(cell(scores, 0, 0), 1.0);
  EXPECT_DOUBLE_EQ(cell(scores, 0, 1), -1.0);
  EXPECT_EQ(cell(scores, 2, 0), 0.0);  // zero-norm vector
  for (int c = 0; c < 3; ++c) EXPECT_EQ(cell(scores, 1, c), minus_inf);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(cell(scores, r, 2), minus_inf);
}

TEST(CosineScoresCal, AllAbsentGivesMinusInfinityEverywhere) {
  const cv::Mat scores = kovra_utils::cosine_scores_cal({std::nullopt, std::nullopt}, {std::nullopt});
  ASSERT_EQ(scores.size(), cv::Size(1, 2));
  EXPECT_EQ(cv::countNonZero(scores == -std::numeric_limits<double>::infinity()), 2);
  kovra_test::expect_error_message<ArgumentError>(
      [] { kovra_utils::cosine_scores_cal({std::vector<float>{1, 2}}, {std::vector<float>{1}}); },
      "cosine_scores_cal: feature vectors must have one length, image_features_new[0] has 2 "
      "values and image_features_old[0] has 1");
}

// ---- generate_sam2_image_features -----------------------------------------------------------

cv::Mat textured_rgb(cv::Size size) {
  cv::Mat image(size, CV_8UC3);
  for (int r = 0; r < size.height; ++r) {
    for (int c = 0; c < size.width; ++c) {
      image.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uchar>((r * 7 + c * 3) % 256),
                                            static_cast<uchar>((r * c) % 256),
                                            static_cast<uchar>((c * 11) % 256));
    }
  }
  return image;
}

float tensor_at(const cv::Mat& tensor, int channel, int row, int col) {
  const int index[] = {0, channel, row, col};
  return tensor.at<float>(index);
}

TEST(GenerateSam2ImageFeatures, EncodesTheMaskedEnhancedCropWithoutTheLastRowAndColumn) {
  // A 257 x 257 extent leaves a 256 x 256 crop, so the encoder input is not resampled.
  const cv::Size size(300, 280);
  const cv::Mat image = textured_rgb(size);
  cv::Mat plane = cv::Mat::zeros(size, CV_8U);
  plane(cv::Rect(20, 10, 257, 257)).setTo(1);
  plane(cv::Rect(60, 50, 30, 40)).setTo(0);  // a hole, black in the encoder input
  kovra_test::ScriptedPredictor predictor;
  const FeatureList features =
      kovra_utils::generate_sam2_image_features(image, {Mask::from_dense(plane)}, predictor);

  ASSERT_EQ(predictor.methods(), (std::vector<std::string>{"set_image", "image_encoder"}));
  EXPECT_EQ(cv::countNonZero(predictor.calls[0].argument.reshape(1) != image.reshape(1)), 0);
  const cv::Mat& tensor = predictor.calls[1].argument;
  ASSERT_EQ(tensor.dims, 4);
  ASSERT_EQ(std::vector<int>(tensor.size.p, tensor.size.p + 4), (std::vector<int>{1, 3, 256, 256}));
  const cv::Mat expected = kovra_utils::enhance_dark_text(image(cv::Rect(20, 10, 256, 256)), 10);
  for (const cv::Point p : {cv::Point(0, 0), cv::Point(255, 255), cv::Point(100, 7), cv::Point(39, 39)}) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_FLOAT_EQ(tensor_at(tensor, c, p.y, p.x), expected.at<uchar>(p.y, p.x) / 255.0f);
    }
  }
  EXPECT_EQ(tensor_at(tensor, 0, 40, 40), 0.0f);  // inside the hole
  ASSERT_EQ(features.size(), 1u);
  ASSERT_TRUE(features[0].has_value());
  EXPECT_EQ(features[0]->size(), 4u);
}

TEST(GenerateSam2ImageFeatures, SmallAndFlatMasksGetNoFeatureAndNoEncoderCall) {
  const std::vector<Mask> masks = {rect_mask({0, 0, 3, 3}),    // 9 pixels
                                   rect_mask({5, 5, 12, 1}),   // one row
                                   rect_mask({30, 5, 1, 12}),  // one column
                                   Mask(kFrame), rect_mask({40, 40, 5, 2})};
  kovra_test::ScriptedPredictor predictor;
  const FeatureList features = kovra_utils::generate_sam2_image_features(
      cv::Mat(kFrame, CV_8UC3, cv::Scalar(90, 120, 30)), masks, predictor);
  ASSERT_EQ(features.size(), 5u);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(features[i].has_value()) << "mask " << i;
  EXPECT_TRUE(features[4].has_value());
  EXPECT_EQ(predictor.methods(), (std::vector<std::string>{"set_image", "image_encoder"}));
}

TEST(GenerateSam2ImageFeatures, MeanPoolsVisionFeaturesOverRowsAndColumns) {
  kovra_test::ScriptedPredictor predictor;
  predictor.encode = [](const cv::Mat&) {
    const int dims[] = {1, 2, 2, 3};
    cv::Mat out(4, dims, CV_32F);
    for (int i = 0; i < 12; ++i) out.ptr<float>()[i] = static_cast<float>(i);
    return out;
  };
  const FeatureList features = kovra_utils::generate_sam2_image_features(
      cv::Mat(kFrame, CV_8UC3, cv::Scalar(10, 20, 30)), {rect_mask({0, 0, 5, 5})}, predictor);
  ASSERT_TRUE(features[0].has_value());
  EXPECT_EQ(*features[0], (std::vector<float>{2.5f, 8.5f}));
}

TEST(GenerateSam2ImageFeatures, RejectsMasksOfAnotherSizeAndMalformedEncoderOutput) {
  kovra_test::ScriptedPredictor predictor;
  const cv::Mat image(kFrame, CV_8UC3, cv::Scalar::all(50));
  kovra_test::expect_error_message<ArgumentError>(
      [&] {
        kovra_utils::generate_sam2_image_features(image, {rect_mask({0, 0, 5, 5}, {10, 10})},
                                                  predictor);
      },
      "generate_sam2_image_features: masks must be 80 x 120 like the image, masks[0] is 10 x 10");
  predictor.encode = [](const cv::Mat&) { return cv::Mat(3, 4, CV_32F, cv::Scalar(1)); };
  EXPECT_THROW(kovra_utils::generate_sam2_image_features(image, {rect_mask({0, 0, 5, 5})}, predictor),
               ContentError);
}

}  // namespace

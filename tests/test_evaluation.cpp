// Tracking metrics, the assignment solver and identity repair.

#include "annotation_file.hpp"
#include "atomic_write.hpp"
#include "tracker_output.hpp"
#include "capture.hpp"
#include "expect_error.hpp"
#include "linear_assignment.hpp"

#include <kovra_utils/evaluation.hpp>
#include <kovra_utils/interop.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <random>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace kovra_utils;
using assignment::CostMatrix;
using kovra_test::expect_error_containing;
using kovra_test::read_text;
using kovra_test::TempDir;

// ---- assignment -----------------------------------------------------------------------------

struct AssignmentCase {
  const char* name;
  std::size_t rows, cols;
  std::vector<double> cost;
  std::vector<std::size_t> expected_rows, expected_cols;
};

class LinearSumAssignment : public ::testing::TestWithParam<AssignmentCase> {};

TEST_P(LinearSumAssignment, MatchesScipy) {
  const AssignmentCase& c = GetParam();
  CostMatrix cost(c.rows, c.cols);
  cost.values = c.cost;
  const auto result = assignment::linear_sum_assignment(cost);
  EXPECT_EQ(result.rows, c.expected_rows);
  EXPECT_EQ(result.cols, c.expected_cols);
}

// Expected pairs as scipy.optimize.linear_sum_assignment gives them.
INSTANTIATE_TEST_SUITE_P(
    Cases, LinearSumAssignment,
    ::testing::Values(
        AssignmentCase{"square", 3, 3, {4, 1, 3, 2, 0, 5, 3, 2, 2}, {0, 1, 2}, {1, 0, 2}},
        AssignmentCase{
            "constant_gives_identity", 3, 3, {1, 1, 1, 1, 1, 1, 1, 1, 1}, {0, 1, 2}, {0, 1, 2}},
        AssignmentCase{"wide", 2, 3, {5, 1, 1, 1, 5, 1}, {0, 1}, {1, 0}},
        AssignmentCase{"tall_sorted_by_row", 3, 2, {3, 1, 0, 4, 2, 0}, {1, 2}, {0, 1}},
        AssignmentCase{"integer_ties", 3, 3, {0, 1, 0, 1, 0, 0, 0, 0, 1}, {0, 1, 2}, {0, 2, 1}},
        AssignmentCase{"infinite_entries_avoided",
                       2,
                       2,
                       {std::numeric_limits<double>::infinity(), 1, 1, 3},
                       {0, 1},
                       {1, 0}},
        AssignmentCase{"empty", 0, 4, {}, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LinearSumAssignment, RejectsNanAndInfeasible) {
  CostMatrix nan_cost(1, 2);
  nan_cost.values = {0.0, std::nan("")};
  expect_error_containing<ArgumentError>([&] { assignment::linear_sum_assignment(nan_cost); },
                                         {"NaN"});
  CostMatrix infeasible(2, 2, std::numeric_limits<double>::infinity());
  infeasible(0, 0) = 1;
  expect_error_containing<ArgumentError>([&] { assignment::linear_sum_assignment(infeasible); },
                                         {"infeasible"});
}

// ---- metrics --------------------------------------------------------------------------------

// Tracks given as rectangles, scored as boxes or as masks of those rectangles (the two IoUs
// agree on rectangles whose box is [x, y, x + w, y + h]).
using RectTracks =
    std::vector<std::pair<std::int64_t, std::vector<std::pair<std::int64_t, cv::Rect>>>>;

const cv::Size plane(64, 48);
const cv::Rect A(0, 0, 10, 10), B(20, 0, 10, 10), C(40, 20, 10, 10), Z(0, 30, 10, 10);

TrackMasks as_masks(const RectTracks& tracks) {
  TrackMasks out;
  for (const auto& [frame, objects] : tracks) {
    auto& masks = out[frame];
    for (const auto& [id, r] : objects) {
      masks[id] = Mask::from_crop(plane, r.tl(), cv::Mat(r.size(), CV_8U, cv::Scalar(1)));
    }
  }
  return out;
}

// Boxes at the pixel edges of the masks: [x, y, x + w, y + h].
TrackBoxes as_boxes(const RectTracks& tracks) { return track_boxes(as_masks(tracks)); }

TrackingEvaluation evaluate(const RectTracks& predicted, const RectTracks& ground_truth,
                            bool masks) {
  return masks ? evaluate_tracking(as_masks(predicted), as_masks(ground_truth))
               : evaluate_tracking(as_boxes(predicted), as_boxes(ground_truth));
}

struct MetricCase {
  const char* name;
  RectTracks predicted, ground_truth;
  // Expected CLEAR counts: TP, FN, FP, IDSW, Frag, MT, PT, ML; then MOTA, MOTP.
  std::array<std::int64_t, 8> clear;
  double mota, motp;
  // Identity: IDTP, IDFN, IDFP, IDF1.
  std::array<std::int64_t, 3> identity;
  double idf1;
  // HOTA at every threshold (all similarities here are 0 or 1): DetA, AssA.
  double det_a, ass_a;
};

class Metrics : public ::testing::TestWithParam<std::tuple<MetricCase, bool>> {};

TEST_P(Metrics, HandWorked) {
  const auto& [c, masks] = GetParam();
  const TrackingEvaluation e = evaluate(c.predicted, c.ground_truth, masks);
  const std::array<std::int64_t, 8> clear = {e.CLEAR.CLR_TP, e.CLEAR.CLR_FN, e.CLEAR.CLR_FP,
                                             e.CLEAR.IDSW,   e.CLEAR.Frag,   e.CLEAR.MT,
                                             e.CLEAR.PT,     e.CLEAR.ML};
  EXPECT_EQ(clear, c.clear);
  EXPECT_DOUBLE_EQ(e.CLEAR.MOTA, c.mota);
  EXPECT_DOUBLE_EQ(e.CLEAR.MOTP, c.motp);
  const std::array<std::int64_t, 3> identity = {e.Identity.IDTP, e.Identity.IDFN, e.Identity.IDFP};
  EXPECT_EQ(identity, c.identity);
  EXPECT_DOUBLE_EQ(e.Identity.IDF1, c.idf1);
  for (std::size_t a = 0; a < hota_alpha_count; ++a) {
    EXPECT_DOUBLE_EQ(e.HOTA.DetA[a], c.det_a) << a;
    EXPECT_DOUBLE_EQ(e.HOTA.AssA[a], c.ass_a) << a;
    EXPECT_DOUBLE_EQ(e.HOTA.HOTA[a], std::sqrt(c.det_a * c.ass_a)) << a;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Metrics,
    ::testing::Combine(
        ::testing::Values(
            MetricCase{"perfect",
                       {{1, {{10, A}, {20, B}}}, {2, {{10, A}, {20, B}}}, {3, {{10, A}, {20, B}}}},
                       {{1, {{1, A}, {2, B}}}, {2, {{1, A}, {2, B}}}, {3, {{1, A}, {2, B}}}},
                       {6, 0, 0, 0, 0, 2, 0, 0},
                       1.0,
                       1.0,
                       {6, 0, 0},
                       1.0,
                       1.0,
                       1.0},
            // One track taken over by a second predicted id half way.
            MetricCase{"one_id_switch",
                       {{1, {{1, A}}}, {2, {{1, A}}}, {3, {{2, A}}}, {4, {{2, A}}}},
                       {{1, {{7, A}}}, {2, {{7, A}}}, {3, {{7, A}}}, {4, {{7, A}}}},
                       {4, 0, 0, 1, 0, 1, 0, 0},
                       0.75,
                       1.0,
                       {2, 2, 2},
                       0.5,
                       1.0,
                       0.5},
            // Lost for one frame while a false positive is elsewhere: two matched runs.
            MetricCase{"fragmented",
                       {{1, {{1, A}}}, {2, {{1, A}}}, {3, {{2, Z}}}, {4, {{1, A}}}, {5, {{1, A}}}},
                       {{1, {{7, A}}}, {2, {{7, A}}}, {3, {{7, A}}}, {4, {{7, A}}}, {5, {{7, A}}}},
                       {4, 1, 1, 0, 1, 0, 1, 0},
                       0.6,
                       1.0,
                       {4, 1, 1},
                       0.8,
                       4.0 / 6.0,
                       0.8},
            // A frame with no prediction at all does not close the matched run (the kit's
            // CLEAR skips such frames), so no fragment is counted.
            MetricCase{"gap_without_predictions",
                       {{1, {{1, A}}}, {2, {{1, A}}}, {4, {{1, A}}}, {5, {{1, A}}}},
                       {{1, {{7, A}}}, {2, {{7, A}}}, {3, {{7, A}}}, {4, {{7, A}}}, {5, {{7, A}}}},
                       {4, 1, 0, 0, 0, 0, 1, 0},
                       0.8,
                       1.0,
                       {4, 1, 0},
                       8.0 / 9.0,
                       0.8,
                       0.8},
            // Everything predicted is wrong: the kit returns early, MOTA stays 0.
            MetricCase{"false_positives_only",
                       {{1, {{1, A}, {2, B}}}, {2, {{1, A}}}},
                       {{1, {}}, {2, {}}},
                       {0, 0, 3, 0, 0, 0, 0, 0},
                       0.0,
                       0.0,
                       {0, 0, 3},
                       0.0,
                       0.0,
                       0.0},
            // An empty frame on both sides changes nothing.
            MetricCase{"empty_frame",
                       {{1, {{1, A}}}, {2, {}}, {3, {{1, A}}}},
                       {{1, {{7, A}}}, {2, {}}, {3, {{7, A}}}},
                       {2, 0, 0, 0, 0, 1, 0, 0},
                       1.0,
                       1.0,
                       {2, 0, 0},
                       1.0,
                       1.0,
                       1.0},
            // One animal never predicted.
            MetricCase{"ground_truth_never_predicted",
                       {{1, {{1, A}}}, {2, {{1, A}}}},
                       {{1, {{7, A}, {8, C}}}, {2, {{7, A}, {8, C}}}},
                       {2, 2, 0, 0, 0, 1, 0, 1},
                       0.5,
                       1.0,
                       {2, 2, 0},
                       2.0 / 3.0,
                       0.5,
                       1.0},
            // Two animals meet on one spot: the previous frame's pairs are kept, not swapped.
            MetricCase{"meeting_keeps_previous_pairs",
                       {{1, {{2, B}, {1, A}}}, {2, {{2, Z}, {1, Z}}}, {3, {{1, A}, {2, B}}}},
                       {{1, {{7, A}, {8, B}}}, {2, {{7, Z}, {8, Z}}}, {3, {{7, A}, {8, B}}}},
                       {6, 0, 0, 0, 0, 2, 0, 0},
                       1.0,
                       1.0,
                       {6, 0, 0},
                       1.0,
                       1.0,
                       1.0},
            // Nothing predicted: ground truth all missed, every track mostly lost.
            MetricCase{"nothing_predicted",
                       {},
                       {{1, {{7, A}, {8, B}}}},
                       {0, 2, 0, 0, 0, 0, 0, 2},
                       0.0,
                       0.0,
                       {0, 2, 0},
                       0.0,
                       0.0,
                       0.0}),
        ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "_masks" : "_boxes");
    });

TEST(EvaluateTracking, PartialOverlapCountsOnlyUpToItsThreshold) {
  // IoU 60 / 100 = 0.6: a match for alpha up to 0.6000000000000001 (within the kit's eps).
  const TrackBoxes gt = {{1, {{1, {0, 0, 10, 10}}}}};
  const TrackBoxes pred = {{1, {{1, {0, 0, 10, 6}}}}};
  const TrackingEvaluation e = evaluate_tracking(pred, gt);
  for (std::size_t a = 0; a < hota_alpha_count; ++a) {
    const bool matched = a <= 11;
    EXPECT_EQ(e.HOTA.HOTA_TP[a], matched ? 1 : 0) << a;
    EXPECT_DOUBLE_EQ(e.HOTA.LocA[a], matched ? 0.6 : 1.0) << a;
  }
  EXPECT_DOUBLE_EQ(hota_mean(e.HOTA.HOTA), 12.0 / 19.0);
  EXPECT_DOUBLE_EQ(e.HOTA.HOTALocA_0, 0.6);
  EXPECT_DOUBLE_EQ(e.CLEAR.MOTP, 0.6);
  EXPECT_EQ(e.Identity.IDTP, 1);
}

TEST(EvaluateTracking, SwappingSidesSwapsMissesAndFalsePositives) {
  const RectTracks one = {{1, {{1, A}, {2, B}}}, {2, {{1, A}, {2, C}}}, {3, {{2, A}}}};
  const RectTracks other = {{1, {{5, A}}}, {2, {{5, A}, {6, C}}}, {3, {{6, A}, {5, Z}}}};
  const TrackingEvaluation forward = evaluate(one, other, true);
  const TrackingEvaluation backward = evaluate(other, one, true);
  EXPECT_EQ(forward.CLEAR.CLR_FP, backward.CLEAR.CLR_FN);
  EXPECT_EQ(forward.CLEAR.CLR_FN, backward.CLEAR.CLR_FP);
  EXPECT_EQ(forward.Identity.IDFP, backward.Identity.IDFN);
  EXPECT_DOUBLE_EQ(forward.Identity.IDP, backward.Identity.IDR);
  EXPECT_DOUBLE_EQ(forward.Identity.IDF1, backward.Identity.IDF1);
  for (std::size_t a = 0; a < hota_alpha_count; ++a) {
    EXPECT_DOUBLE_EQ(forward.HOTA.DetRe[a], backward.HOTA.DetPr[a]);
    EXPECT_NEAR(forward.HOTA.HOTA[a], backward.HOTA.HOTA[a], 1e-12);
  }
}

TEST(EvaluateTracking, EmptyMasksAreNoDetectionUnlessKept) {
  TrackMasks gt = as_masks({{1, {{1, A}}}});
  TrackMasks pred = as_masks({{1, {{1, A}}}});
  pred[1][2] = Mask(plane);
  gt[1][3] = Mask(plane);
  const TrackingEvaluation dropped = evaluate_tracking(pred, gt);
  EXPECT_EQ(dropped.CLEAR.CLR_FP, 0);
  EXPECT_EQ(dropped.CLEAR.CLR_FN, 0);
  const TrackingEvaluation kept = evaluate_tracking(pred, gt, {.drop_empty_masks = false});
  EXPECT_EQ(kept.CLEAR.CLR_FP, 1);
  EXPECT_EQ(kept.CLEAR.CLR_FN, 1);
}

TEST(EvaluateTracking, RejectsMismatchedSizesAndNonFiniteBoxes) {
  TrackMasks gt = as_masks({{4, {{1, A}}}});
  TrackMasks pred;
  pred[4][2] = Mask::from_dense(cv::Mat(10, 10, CV_8U, cv::Scalar(1)));
  expect_error_containing<ArgumentError>([&] { evaluate_tracking(pred, gt); },
                                         {"frame 4", "identity 1", "identity 2"});
  const TrackBoxes boxes = {{3, {{9, {0, 0, NAN, 1}}}}};
  expect_error_containing<ArgumentError>([&] { evaluate_tracking(boxes, TrackBoxes{}); },
                                         {"predicted frame 3", "identity 9"});
  const TrackBoxes huge = {{2, {{4, {-1e308, -1e308, 1.7e308, 1.7e308}}}}};
  expect_error_containing<ArgumentError>([&] { evaluate_tracking(TrackBoxes{}, huge); },
                                         {"ground truth frame 2", "identity 4", "too large"});
}

// Random ellipse tracks on a small plane: identities swapped, dropped and split.
TrackMasks random_tracks(std::mt19937& random, bool perturb) {
  std::uniform_int_distribution<int> shift(-3, 3);
  std::uniform_real_distribution<double> chance(0, 1);
  TrackMasks tracks;
  for (int f = 1; f <= 30; ++f) {
    auto& objects = tracks[f];
    for (int a = 0; a < 6; ++a) {
      if (perturb && chance(random) < 0.1) continue;
      cv::Mat crop = cv::Mat::zeros(14, 20, CV_8U);
      cv::ellipse(crop, {10, 7}, {9, 5}, 20.0 * a + f, 0, 360, 1, cv::FILLED);
      const cv::Point at(4 + 12 * a + (perturb ? shift(random) : 0) + f % 5,
                         10 + 7 * (a % 3) + (perturb ? shift(random) : 0));
      std::int64_t id = a + 1;
      if (perturb && f > 15 && id <= 2) id = 3 - id;
      if (perturb && chance(random) < 0.15) id += 100 * f;  // a fragment
      objects[id] = Mask::from_crop(cv::Size(90, 40), at, crop);
    }
  }
  return tracks;
}

TEST(EvaluateTracking, RunLengthTracksScoreExactlyAsTheirMasks) {
  std::mt19937 random(11);
  for (int trial = 0; trial < 5; ++trial) {
    const TrackMasks gt = random_tracks(random, false);
    const TrackMasks pred = random_tracks(random, true);
    for (const bool drop : {true, false}) {
      const EvaluationOptions options{.drop_empty_masks = drop};
      EXPECT_EQ(evaluation_to_json(evaluate_tracking(track_rles(pred), track_rles(gt), options)),
                evaluation_to_json(evaluate_tracking(pred, gt, options)));
    }
  }
  TrackRles bad;
  bad[1][1] = Rle{2, 2, {1, 2}};
  expect_error_containing<ContentError>([&] { evaluate_tracking(bad, bad); }, {"sum to 3"});
}

#if !defined(__SANITIZE_ADDRESS__)
// The process's address space now, in bytes (0 when it cannot be read).
std::size_t address_space_in_use() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}
#endif

// Runs `work` in a child process that may grow its address space by at most `bytes`. The cap
// counts from what the process already holds: libraries differ by machine (OpenBLAS, where
// installed, reserves hundreds of megabytes at start-up). Under the address sanitizer, which
// reserves far more address space than it uses, the cap is left out.
template <class Work>
void expect_within_memory(std::size_t bytes, Work work) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
#if !defined(__SANITIZE_ADDRESS__)
    const std::size_t cap = address_space_in_use() + bytes;
    const rlimit limit{cap, cap};
    setrlimit(RLIMIT_AS, &limit);
#else
    (void)bytes;
#endif
    try {
      work();
    } catch (...) {
      _exit(3);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// A tracker giving each detection a new identity: the id tables must follow the pairs that
// share a frame, not the product of the identity counts.
TEST(EvaluateTracking, NewIdentityPerDetectionStaysSmall) {
  TrackBoxes gt, pred;
  std::int64_t next_id = 1;
  for (int f = 1; f <= 600; ++f) {
    for (int a = 0; a < 10; ++a) {
      const Box box{100.0 * a, 10.0, 100.0 * a + 60, 90.0};
      gt[f][a + 1] = box;
      pred[f][next_id++] = Box{box.x1 + 2, box.y1, box.x2 + 2, box.y2};
    }
  }
  expect_within_memory(std::size_t{400} << 20, [&] {
    const TrackingEvaluation e = evaluate_tracking(pred, gt);
    if (e.Identity.IDTP != 10 || e.Identity.IDFN != 5990 || e.Identity.IDFP != 5990 ||
        e.CLEAR.IDSW != 5990 || e.HOTA.HOTA_TP[0] != 6000) {
      _exit(4);
    }
  });
}

// A 27-byte MOTS line declares a 46341 x 46341 mask: scored in run-length form it costs next to
// nothing.
TEST(EvaluateTracking, HugeRunLengthPlanesNeedNoPlane) {
  const std::int64_t side = 46341;
  TrackRles tracks;
  tracks[1][1] = Rle{int(side), int(side), {0, side * side}};
  tracks[1][2] = Rle{int(side), int(side), {side * side}};
  tracks[2][1] = Rle{int(side), int(side), {side, side * (side - 1)}};
  expect_within_memory(std::size_t{400} << 20, [&] {
    const TrackingEvaluation e = evaluate_tracking(tracks, tracks);
    if (hota_mean(e.HOTA.HOTA) != 1.0 || e.CLEAR.CLR_TP != 2) _exit(4);
  });
}

TEST(EvaluateTracking, JsonUsesTheKitsFieldNames) {
  const auto e = evaluate({{1, {{1, A}}}}, {{1, {{1, A}}}}, false);
  const auto json = nlohmann::json::parse(evaluation_to_json(e));
  EXPECT_DOUBLE_EQ(json["HOTA"]["HOTA"].get<double>(), 1.0);
  EXPECT_EQ(json["HOTA"]["per_alpha"]["HOTA_TP"].size(), hota_alpha_count);
  EXPECT_DOUBLE_EQ(json["HOTA"]["alpha"][2].get<double>(), 0.15000000000000002);
  EXPECT_TRUE(json["HOTA"].contains("HOTA(0)"));
  EXPECT_EQ(json["CLEAR"]["CLR_TP"].get<int>(), 1);
  EXPECT_DOUBLE_EQ(json["CLEAR"]["MOTA"].get<double>(), 1.0);
  EXPECT_EQ(json["Identity"]["IDTP"].get<int>(), 1);
}

// ---- identity repair ------------------------------------------------------------------------

// A clip folder whose frame f holds detections with the given ids, plus members a rewrite must
// keep (a float, a nested object, a non-ASCII text).
void write_clip(const fs::path& folder, const std::map<int, std::vector<int>>& frames) {
  fs::create_directories(folder);
  for (const auto& [frame, ids] : frames) {
    nlohmann::ordered_json document = {{"image_path", "frame.jpg"},
                                       {"detections", nlohmann::ordered_json::array()}};
    for (const int id : ids) {
      document["detections"].push_back({{"object_id", id},
                                        {"score", 0.93},
                                        {"xyxy", {{1.5, 2, 3, 4}}},
                                        {"formatted_polygon", {"0 0.1 0.2 0.3 0.4 0.5 0.6"}},
                                        {"meta", {{"name", "Sau \xc3\xa4"}}}});
    }
    document["camera"] = "Cam61";
    kovra_test::write_text(folder / ("output_pp_" + std::to_string(frame) + ".json"),
                           annotation_file::to_indented_ascii_json(document));
  }
}

std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file() && entry.path().filename() != "kovra-identity-repair.lock")
      files[entry.path().lexically_relative(folder).string()] = read_text(entry.path());
  }
  return files;
}

// Object ids per frame as the files now hold them.
std::map<int, std::vector<int>> ids_in(const fs::path& folder) {
  std::map<int, std::vector<int>> out;
  for (const auto& path : tracker_output::ordered_annotation_files(folder.string())) {
    auto& ids = out[static_cast<int>(tracker_output::frame_number_of(path))];
    const auto document = nlohmann::json::parse(read_text(path));
    for (const auto& detection : document["detections"]) {
      ids.push_back(detection["object_id"].get<int>());
    }
  }
  return out;
}

TEST(SwapIdentities, SwapsInsideTheRangeAndTwiceRestoresTheBytes) {
  TempDir temp;
  const fs::path clip = temp / "clip";
  write_clip(clip, {{1, {1, 2}}, {2, {2, 1, 3}}, {3, {3}}, {4, {1}}, {5, {2, 1}}});
  const auto original = snapshot(clip);
  const IdentityRepair repair = swap_identities(clip.string(), 1, 2, 2, 4);
  EXPECT_EQ(repair.files, (std::vector<std::string>{(clip / "output_pp_2.json").string(),
                                                    (clip / "output_pp_4.json").string()}));
  EXPECT_EQ(repair.detections, (std::vector<std::int64_t>{2, 1}));
  EXPECT_EQ(ids_in(clip), (std::map<int, std::vector<int>>{
                              {1, {1, 2}}, {2, {1, 2, 3}}, {3, {3}}, {4, {2}}, {5, {2, 1}}}));
  const auto after = snapshot(clip);
  EXPECT_EQ(after.at("output_pp_3.json"), original.at("output_pp_3.json"));  // untouched
  EXPECT_NE(after.at("output_pp_2.json").find("\"meta\": {\n"), std::string::npos);
  swap_identities(clip.string(), 2, 1, 2, 4);
  EXPECT_EQ(snapshot(clip), original);
}

TEST(SwapIdentities, OpenRangeRunsToTheEnd) {
  TempDir temp;
  write_clip(temp.path(), {{1, {1, 2}}, {7, {1}}, {30, {2}}});
  const IdentityRepair repair = swap_identities(temp.path().string(), 1, 2, 7);
  EXPECT_EQ(repair.total_detections(), 2);
  EXPECT_EQ(ids_in(temp.path()),
            (std::map<int, std::vector<int>>{{1, {1, 2}}, {7, {2}}, {30, {1}}}));
}

TEST(ReassignIdentity, MergesAFragmentAndRefusesClashes) {
  TempDir temp;
  write_clip(temp.path(), {{1, {1, 2}}, {2, {5, 2}}, {3, {5, 1}}, {4, {5, 1}}});
  const auto original = snapshot(temp.path());
  expect_error_containing<ArgumentError>([&] { reassign_identity(temp.path().string(), 5, 1, 1); },
                                         {"identities 5 and 1", "frames 3-4", "nothing changed"});
  EXPECT_EQ(snapshot(temp.path()), original);
  const IdentityRepair repair = reassign_identity(temp.path().string(), 5, 1, 1, 2);
  EXPECT_EQ(repair.total_detections(), 1);
  EXPECT_EQ(ids_in(temp.path()),
            (std::map<int, std::vector<int>>{{1, {1, 2}}, {2, {1, 2}}, {3, {5, 1}}, {4, {5, 1}}}));
}

TEST(IdentityRepair, RejectsBadArgumentsAndChangesNothing) {
  TempDir temp;
  write_clip(temp.path(), {{1, {1, 2}}, {2, {1}}});
  const auto original = snapshot(temp.path());
  const std::string dir = temp.path().string();
  expect_error_containing<ArgumentError>([&] { swap_identities(dir, 3, 4, 0); },
                                         {"neither identity 3 nor 4", "from frame 0"});
  expect_error_containing<ArgumentError>([&] { swap_identities(dir, 1, 2, 5); },
                                         {"neither identity 1 nor 2"});
  expect_error_containing<ArgumentError>([&] { swap_identities(dir, 1, 1, 0); },
                                         {"two different identities, got 1 twice"});
  expect_error_containing<ArgumentError>([&] { swap_identities(dir, 1, 2, 3, 2); },
                                         {"empty range 3 to 2"});
  expect_error_containing<ArgumentError>([&] { reassign_identity(dir, 9, 1, 0); },
                                         {"identity 9 occurs nowhere"});
  EXPECT_EQ(snapshot(temp.path()), original);
}

TEST(IdentityRepair, MalformedObjectIdNamesTheFile) {
  TempDir temp;
  kovra_test::write_text(temp / "output_pp_1.json",
                         R"({"image_path": "x", "detections": [{"object_id": "one"}]})");
  expect_error_containing<ContentError>(
      [&] { swap_identities(temp.path().string(), 1, 2, 0); },
      {"\"detections\"[0].\"object_id\"", "output_pp_1.json", "expected integer"});
}

struct JournalCase {
  const char* state;
  bool swapped;  // whether the clip ends swapped
  RepairRecovery recovery;
};

class InterruptedRepair : public ::testing::TestWithParam<JournalCase> {};

TEST_P(InterruptedRepair, IsSettledByTheNextCall) {
  TempDir temp;
  write_clip(temp.path(), {{1, {1, 2}}, {2, {1}}});
  const auto original = snapshot(temp.path());
  swap_identities(temp.path().string(), 1, 2, 0);
  const auto swapped = snapshot(temp.path());
  // Rebuild the state of a run killed after its new files and journal were written and the
  // first file switched.
  for (const auto& [name, content] : original) kovra_test::write_text(temp / name, content);
  kovra_test::write_text(temp / "output_pp_1.json", swapped.at("output_pp_1.json"));
  kovra_test::write_text(temp / "output_pp_2.json.kovra-new", swapped.at("output_pp_2.json"));
  kovra_test::write_text(atomic_write::temporary_path_of(temp / "output_pp_2.json.kovra-new"),
                         "partial");
  kovra_test::write_text(temp / "kovra-identity-repair.journal",
                         std::string(R"({"state": ")") + GetParam().state +
                             R"(", "files": ["output_pp_1.json", "output_pp_2.json"]})");
  if (std::string(GetParam().state) == "prepared") {
    kovra_test::write_text(temp / "output_pp_1.json", original.at("output_pp_1.json"));
    kovra_test::write_text(temp / "output_pp_1.json.kovra-new", swapped.at("output_pp_1.json"));
  }
  EXPECT_EQ(finish_identity_repair(temp.path().string()), GetParam().recovery);
  EXPECT_EQ(snapshot(temp.path()), GetParam().swapped ? swapped : original);
  EXPECT_EQ(finish_identity_repair(temp.path().string()), RepairRecovery::nothing);
}

INSTANTIATE_TEST_SUITE_P(
    States, InterruptedRepair,
    ::testing::Values(JournalCase{"committed", true, RepairRecovery::completed},
                      JournalCase{"prepared", false, RepairRecovery::rolled_back}),
    [](const auto& info) { return std::string(info.param.state); });

TEST(IdentityRepair, JournalPathsMustStayInsideTheClip) {
  TempDir temp;
  write_clip(temp / "clip", {{1, {1}}});
  kovra_test::write_text(temp / "outside.json.kovra-new", "x");
  kovra_test::write_text(temp / "clip" / "kovra-identity-repair.journal",
                         R"({"state": "committed", "files": ["../outside.json"]})");
  expect_error_containing<ContentError>([&] { finish_identity_repair((temp / "clip").string()); },
                                        {"\"files\"[0]", "inside the clip folder"});
  EXPECT_FALSE(fs::exists(temp / "outside.json"));
}

TEST(IdentityRepair, JournalPathsThroughLinkedFoldersAreRefused) {
  TempDir temp;
  write_clip(temp / "clip", {{1, {1}}});
  fs::create_directories(temp / "elsewhere");
  kovra_test::write_text(temp / "elsewhere" / "victim.json", "precious");
  kovra_test::write_text(temp / "elsewhere" / "victim.json.kovra-new", "planted");
  fs::create_directory_symlink(temp / "elsewhere", temp / "clip" / "sub");
  for (const char* state : {"committed", "prepared"}) {
    kovra_test::write_text(temp / "clip" / "kovra-identity-repair.journal",
                           std::string(R"({"state": ")") + state +
                               R"(", "files": ["output_pp_1.json", "sub/victim.json"]})");
    expect_error_containing<ContentError>(
        [&] { finish_identity_repair((temp / "clip").string()); },
        {"kovra-identity-repair.journal", "\"files\"[1]", "symbolic link"});
    EXPECT_EQ(read_text(temp / "elsewhere" / "victim.json"), "precious");
    EXPECT_EQ(read_text(temp / "elsewhere" / "victim.json.kovra-new"), "planted");
  }
}

// Holds the folder's repair lock as another process would.
class HeldRepairLock {
 public:
  explicit HeldRepairLock(const fs::path& folder)
      : fd_(::open((folder / "kovra-identity-repair.lock").c_str(), O_RDWR | O_CREAT, 0644)) {
    EXPECT_EQ(::flock(fd_, LOCK_EX), 0);
  }
  ~HeldRepairLock() { ::close(fd_); }

 private:
  int fd_;
};

TEST(IdentityRepair, FailsAtOnceOnALockedFolderWhenAskedNotToWait) {
  TempDir temp;
  write_clip(temp.path(), {{1, {1, 2}}});
  const auto original = snapshot(temp.path());
  const std::string dir = temp.path().string();
  {
    HeldRepairLock held(temp.path());
    const std::vector<std::string> parts = {dir, "busy", "kovra-identity-repair.lock"};
    expect_error_containing<FileError>([&] { swap_identities(dir, 1, 2, 0, {}, false); }, parts);
    expect_error_containing<FileError>([&] { reassign_identity(dir, 1, 3, 0, {}, false); }, parts);
    expect_error_containing<FileError>([&] { finish_identity_repair(dir, false); }, parts);
    EXPECT_EQ(snapshot(temp.path()), original);
  }
  EXPECT_EQ(swap_identities(dir, 1, 2, 0, {}, false).total_detections(), 2);
}

// Two processes repair one folder at the same moment, many times over: the second waits for the
// first, and both repairs land.
TEST(IdentityRepair, TwoRepairsAtOnceBothLand) {
  TempDir temp;
  std::map<int, std::vector<int>> frames;
  for (int f = 0; f < 8; ++f) frames[f] = {1, 2, 3, 4, 5};
  write_clip(temp.path(), frames);
  const std::string dir = temp.path().string();
  for (int round = 0; round < 20; ++round) {
    std::vector<pid_t> children;
    for (const auto& [a, b] : {std::pair{2, 3}, std::pair{4, 5}}) {
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        try {
          swap_identities(dir, a, b, 0);
        } catch (...) {
          _exit(2);
        }
        _exit(0);
      }
      children.push_back(child);
    }
    for (const pid_t child : children) {
      int status = 0;
      waitpid(child, &status, 0);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    const std::vector<int> expected =
        round % 2 == 0 ? std::vector<int>{1, 3, 2, 5, 4} : std::vector<int>{1, 2, 3, 4, 5};
    for (const auto& [frame, ids] : ids_in(temp.path())) {
      ASSERT_EQ(ids, expected) << "round " << round << ", frame " << frame;
    }
    ASSERT_FALSE(fs::exists(temp / "kovra-identity-repair.journal"));
  }
}

TEST(IdentityRepair, ReadersSettleAnInterruptedRepairFirst) {
  TempDir temp;
  write_clip(temp.path(), {{1, {1, 2}}, {2, {1}}});
  const std::string swapped = [&] {
    TempDir other;
    write_clip(other.path(), {{1, {1, 2}}, {2, {1}}});
    swap_identities(other.path().string(), 1, 2, 0);
    return read_text(other / "output_pp_1.json");
  }();
  kovra_test::write_text(temp / "output_pp_1.json.kovra-new", swapped);
  kovra_test::write_text(temp / "kovra-identity-repair.journal",
                         R"({"state": "committed", "files": ["output_pp_1.json"]})");
  { const auto lock = tracker_output::lock_for_reading(temp.path().string()); }
  EXPECT_EQ(read_text(temp / "output_pp_1.json"), swapped);
  EXPECT_FALSE(fs::exists(temp / "kovra-identity-repair.journal"));

  kovra_test::write_text(temp / "kovra-identity-repair.journal", R"({"state": "sideways"})");
  expect_error_containing<ContentError>(
      [&] { tracker_output::lock_for_reading(temp.path().string()); },
      {"kovra-identity-repair.journal"});
}

// A child process swaps two ids over a long clip and is killed at a random moment; the next call
// must leave every file either as before or swapped, never a mix.
TEST(IdentityRepair, SurvivesAKillAtAnyMoment) {
  TempDir temp;
  std::map<int, std::vector<int>> frames;
  for (int f = 0; f < 120; ++f) frames[f] = {1, 2, 3};
  write_clip(temp.path(), frames);
  const auto original = snapshot(temp.path());
  const std::string dir = temp.path().string();

  const auto start = std::chrono::steady_clock::now();
  swap_identities(dir, 1, 2, 0);
  const auto duration = std::chrono::steady_clock::now() - start;
  const auto swapped = snapshot(temp.path());
  swap_identities(dir, 1, 2, 0);
  ASSERT_EQ(snapshot(temp.path()), original);

  std::mt19937 random(7);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  int ended_swapped = 0, ended_original = 0;
  for (int run = 0; run < 24; ++run) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        swap_identities(dir, 1, 2, 0);
      } catch (...) {
        _exit(2);
      }
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (span + 1)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    finish_identity_repair(dir);
    const auto now = snapshot(temp.path());
    ASSERT_TRUE(now == original || now == swapped) << "run " << run << " left a mixed clip";
    (now == original ? ended_original : ended_swapped) += 1;
  }
  EXPECT_GT(ended_original + ended_swapped, 0);
}

}  // namespace

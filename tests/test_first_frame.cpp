#include <kovra_utils/first_frame.hpp>

#include "capture.hpp"
#include "geometry.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <random>

namespace {

using kovra_utils::ArgumentError;
using kovra_utils::Box;
using kovra_utils::ContentError;
using kovra_utils::DetectionResult;
using kovra_utils::FileError;
using kovra_utils::Mask;
using kovra_utils::PenPolygon;
using testing::HasSubstr;

std::string pen_json(const std::string& points) {
  return R"({"version": "5", "shapes": [{"label": "pen", "points": )" + points + "}]}";
}

// A square pen [100, 300] x [100, 300].
const PenPolygon kSquarePen = {{100, 100}, {300, 100}, {300, 300}, {100, 300}};

// ---- get_pen_json_path ----------------------------------------------------------------------

struct PenPathCase {
  std::string video_dir;
  std::optional<std::string> file;  // expected file name in PEN_JSON_DIR, absent for none
};

class PenPath : public testing::TestWithParam<PenPathCase> {};

TEST_P(PenPath, FindsCameraInBackslashPath) {
  const PenPathCase& c = GetParam();
  const auto path = kovra_utils::get_pen_json_path(c.video_dir);
  if (c.file) {
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, std::string(kovra_utils::PEN_JSON_DIR) + "/" + *c.file);
  } else {
    EXPECT_FALSE(path.has_value()) << *path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PenPath,
    testing::Values(PenPathCase{R"(frames\Camera62_0930\clip05)", "Cam62.json"},
                    PenPathCase{R"(frames\Camera61\clip)", "Cam61.json"},
                    PenPathCase{R"(Camera70_a\Camera61_b)", "Cam70.json"},
                    PenPathCase{R"(x\Camera66_2_3)", "Cam66.json"},
                    PenPathCase{R"(frames\Camera63_x\clip)", std::nullopt},
                    PenPathCase{R"(frames\camera61_x)", std::nullopt},
                    PenPathCase{"data/Camera65_1/clip", std::nullopt},
                    PenPathCase{"", std::nullopt}));

TEST(PenPathCustom, ReturnedUnchanged) {
  EXPECT_EQ(kovra_utils::get_pen_json_path(R"(a\Camera61_1)", "my/pen.json"), "my/pen.json");
  EXPECT_EQ(kovra_utils::get_pen_json_path("nothing", ""), "");
}

// ---- draw_pen -------------------------------------------------------------------------------

TEST(DrawPen, ReadsFirstShapeAsIs) {
  kovra_test::TempDir dir;
  kovra_test::write_text(dir / "pen.json",
                         R"({"shapes": [{"points": [[1.5, 2], [10, 2.25], [10, 20]]},
                                        {"points": [[0, 0], [1, 1], [2, 0]]}]})");
  const auto pen = kovra_utils::draw_pen("unused.jpg", (dir / "pen.json").string());
  EXPECT_FALSE(pen.image.has_value());
  EXPECT_EQ(pen.polygon_points, (PenPolygon{{1.5, 2}, {10, 2.25}, {10, 20}}));
}

TEST(DrawPen, DrawsClosedRedOutlineOnRgbFrame) {
  kovra_test::TempDir dir;
  kovra_test::write_text(dir / "pen.json", pen_json("[[10, 10], [50, 10], [50, 40], [10, 40]]"));
  const cv::Mat frame(60, 80, CV_8UC3, cv::Scalar(0, 80, 0));  // BGR green
  cv::imwrite((dir / "f.png").string(), frame);
  const auto pen = kovra_utils::draw_pen((dir / "f.png").string(), (dir / "pen.json").string(),
                                         true);
  ASSERT_TRUE(pen.image.has_value());
  EXPECT_EQ(pen.polygon_points.size(), 4U);
  const cv::Mat& image = *pen.image;
  EXPECT_EQ(image.type(), CV_8UC3);
  EXPECT_EQ(image.at<cv::Vec3b>(25, 10), cv::Vec3b(255, 0, 0));  // closing edge, RGB red
  EXPECT_EQ(image.at<cv::Vec3b>(10, 30), cv::Vec3b(255, 0, 0));
  EXPECT_EQ(image.at<cv::Vec3b>(25, 30), cv::Vec3b(0, 80, 0));  // inside untouched
}

struct BadPenCase {
  std::string content;
  std::string message_part;
};

class DrawPenRejects : public testing::TestWithParam<BadPenCase> {};

TEST_P(DrawPenRejects, MalformedFileWithContentError) {
  kovra_test::TempDir dir;
  const std::string path = (dir / "pen.json").string();
  kovra_test::write_text(path, GetParam().content);
  try {
    kovra_utils::draw_pen("unused.jpg", path);
    FAIL() << "no error";
  } catch (const ContentError& e) {
    EXPECT_THAT(e.what(), HasSubstr(GetParam().message_part));
    EXPECT_THAT(e.what(), HasSubstr(path));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DrawPenRejects,
    testing::Values(BadPenCase{"{not json", "not valid JSON"},
                    BadPenCase{R"({"polygons": []})", "\"shapes\" missing"},
                    BadPenCase{R"({"shapes": []})", "No shapes found in the JSON file."},
                    BadPenCase{R"({"shapes": null})", "No shapes found in the JSON file."},
                    BadPenCase{R"({"shapes": [{"label": "pen"}]})", "\"points\" missing"},
                    BadPenCase{pen_json(R"([[1, 2], [3], [4, 5]])"), "\"points\"[1]"},
                    BadPenCase{pen_json(R"([[1, 2], ["3", 4], [4, 5]])"), "\"points\"[1]"},
                    BadPenCase{pen_json("[[1, 2], [3, 4]]"), "at least 3 points, got 2"}));

TEST(DrawPen, MissingOrAbsentFileIsFileError) {
  EXPECT_THROW(kovra_utils::draw_pen("x.jpg", "/nonexistent/pen.json"), FileError);
  EXPECT_THROW(kovra_utils::draw_pen("x.jpg", std::nullopt), FileError);
}

// ---- calculate_pen_intersection_ratio -------------------------------------------------------

struct RatioCase {
  Box box;
  double ratio;
};

class PenRatio : public testing::TestWithParam<RatioCase> {};

TEST_P(PenRatio, ExactShareInsideSquarePen) {
  const auto result =
      kovra_utils::calculate_pen_intersection_ratio(kSquarePen, {GetParam().box}, 40);
  ASSERT_EQ(result.intersection_ratio_list.size(), 1U);
  EXPECT_DOUBLE_EQ(result.intersection_ratio_list[0], GetParam().ratio);
}

INSTANTIATE_TEST_SUITE_P(Cases, PenRatio,
                         testing::Values(RatioCase{{150, 150, 200, 200}, 100.0},
                                         RatioCase{{400, 400, 450, 450}, 0.0},
                                         RatioCase{{250, 150, 350, 250}, 50.0},
                                         RatioCase{{350, 250, 250, 150}, 50.0},  // corners swapped
                                         RatioCase{{280.5, 100, 300.5, 110}, 97.5},
                                         RatioCase{{150, 150, 150, 200}, 0.0},  // zero area
                                         RatioCase{{150, 150, 150, 150}, 0.0}));

TEST(PenRatioThreshold, IsInclusive) {
  // 40 % and 39.9 % inside, then half inside against three thresholds.
  const std::vector<Box> boxes = {{260, 150, 360, 250}, {260.1, 150, 360.1, 250}};
  const auto at_40 = kovra_utils::calculate_pen_intersection_ratio(kSquarePen, boxes, 40);
  EXPECT_EQ(at_40.in_pen_index, (std::vector<bool>{true, false}));
  const std::vector<Box> half = {{250, 150, 350, 250}};
  EXPECT_TRUE(kovra_utils::calculate_pen_intersection_ratio(kSquarePen, half, 50).in_pen_index[0]);
  EXPECT_FALSE(kovra_utils::calculate_pen_intersection_ratio(kSquarePen, half, 60).in_pen_index[0]);
}

TEST(PenRatioNonConvex, ClipsAgainstTheRealOutline) {
  // An L: the square [0, 200]^2 without its top-right quarter [100, 200] x [0, 100].
  const PenPolygon l_pen = {{0, 0}, {100, 0}, {100, 100}, {200, 100}, {200, 200}, {0, 200}};
  const auto result = kovra_utils::calculate_pen_intersection_ratio(
      l_pen, {{50, 50, 150, 150}, {120, 20, 180, 80}, {0, 0, 200, 200}}, 40);
  EXPECT_DOUBLE_EQ(result.intersection_ratio_list[0], 75.0);
  EXPECT_DOUBLE_EQ(result.intersection_ratio_list[1], 0.0);
  EXPECT_DOUBLE_EQ(result.intersection_ratio_list[2], 75.0);
}

TEST(PenRatioRejects, EmptyBoxesAndNonFiniteCoordinates) {
  EXPECT_THROW(kovra_utils::calculate_pen_intersection_ratio(kSquarePen, {}, 40), ArgumentError);
  EXPECT_THROW(kovra_utils::calculate_pen_intersection_ratio(
                   kSquarePen, {{0, 0, std::numeric_limits<double>::quiet_NaN(), 5}}, 40),
               ArgumentError);
  EXPECT_THROW(kovra_utils::calculate_pen_intersection_ratio({{0, 0}, {1, 1}}, {{0, 0, 1, 1}}, 40),
               ContentError);
}

// ---- get_in_pen_mask ------------------------------------------------------------------------

cv::Mat dense_pen(const std::vector<cv::Point>& polygon, cv::Size size) {
  cv::Mat plane = cv::Mat::zeros(size, CV_8U);
  cv::fillPoly(plane, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(1));
  return plane;
}

TEST(FillPolygonWindow, MatchesFillPolyOnWholePlaneForRandomPolygonsAndWindows) {
  std::mt19937 random(7);
  const cv::Size plane(97, 83);
  std::uniform_int_distribution<int> coordinate(-40, 140);
  std::uniform_int_distribution<int> count(3, 9);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<cv::Point> polygon(static_cast<std::size_t>(count(random)));
    for (auto& p : polygon) p = {coordinate(random), coordinate(random)};
    const cv::Mat expected = dense_pen(polygon, plane);
    std::uniform_int_distribution<int> x(0, plane.width - 1);
    std::uniform_int_distribution<int> y(0, plane.height - 1);
    const cv::Point a(x(random), y(random));
    const cv::Point b(x(random), y(random));
    const cv::Rect window(cv::Point(std::min(a.x, b.x), std::min(a.y, b.y)),
                          cv::Point(std::max(a.x, b.x) + 1, std::max(a.y, b.y) + 1));
    const cv::Mat got = kovra_utils::geometry::fill_polygon_window(polygon, plane, window);
    ASSERT_EQ(cv::countNonZero(got != expected(window)), 0) << "trial " << trial;
  }
}

TEST(GetInPenMask, KeepsOnlyPixelsInsideTruncatedPen) {
  kovra_test::TempDir dir;
  const std::string path = (dir / "pen.json").string();
  kovra_test::write_text(path, pen_json("[[10.9, 10.9], [60.2, 10], [60, 50.7], [10, 50]]"));
  cv::Mat plane = cv::Mat::zeros(70, 90, CV_8U);
  plane(cv::Rect(40, 30, 40, 30)).setTo(1);
  const Mask mask = Mask::from_dense(plane);
  const Mask in_pen = kovra_utils::get_in_pen_mask(1, mask, path, {"a.jpg", "b.jpg"});
  const cv::Mat expected = plane & dense_pen({{10, 10}, {60, 10}, {60, 50}, {10, 50}}, {90, 70});
  EXPECT_EQ(in_pen, Mask::from_dense(expected));
  EXPECT_TRUE(in_pen.at(50, 60));   // border pixel counts as inside
  EXPECT_FALSE(in_pen.at(51, 60));
  EXPECT_EQ(in_pen.size(), mask.size());
}

TEST(GetInPenMask, RejectsBadIndexAndMissingPen) {
  kovra_test::TempDir dir;
  const std::string path = (dir / "pen.json").string();
  kovra_test::write_text(path, pen_json("[[0, 0], [5, 0], [5, 5]]"));
  const Mask mask(cv::Size(8, 8));
  EXPECT_THROW(kovra_utils::get_in_pen_mask(2, mask, path, {"a", "b"}), std::out_of_range);
  EXPECT_THROW(kovra_utils::get_in_pen_mask(-1, mask, path, {"a", "b"}), std::out_of_range);
  EXPECT_THROW(kovra_utils::get_in_pen_mask(0, mask, std::nullopt, {"a"}), FileError);
  EXPECT_TRUE(kovra_utils::get_in_pen_mask(0, mask, path, {"a"}).is_clear());
}

// ---- process_gdino_results and calculate_iou ------------------------------------------------

TEST(ProcessGdinoResults, SortsByTopThenLeftAndCarriesScoresAndLabels) {
  const DetectionResult raw{{0.1, 0.2, 0.3},
                            {"pig", "pig", "pig"},
                            {{5, 50, 9, 60}, {30, 10, 40, 20}, {20, 10, 25, 30}}};
  const auto kept = kovra_utils::process_gdino_results({raw});
  EXPECT_EQ(kept.boxes, (std::vector<Box>{{20, 10, 25, 30}, {30, 10, 40, 20}, {5, 50, 9, 60}}));
  EXPECT_EQ(kept.scores, (std::vector<double>{0.3, 0.2, 0.1}));
}

TEST(ProcessGdinoResults, EqualCornersKeepInputOrder) {
  const DetectionResult raw{{0.1, 0.2}, {"pig", "pig"}, {{1, 1, 5, 5}, {1, 1, 9, 9}}};
  EXPECT_EQ(kovra_utils::process_gdino_results({raw}).scores, (std::vector<double>{0.1, 0.2}));
}

struct LabelCase {
  std::vector<std::string> labels;
  std::string target;
  std::vector<std::string> kept;
};

class GdinoLabels : public testing::TestWithParam<LabelCase> {};

TEST_P(GdinoLabels, KeepsTargetRowsOrAllWhenNoneMatches) {
  DetectionResult raw;
  for (std::size_t i = 0; i < GetParam().labels.size(); ++i) {
    raw.scores.push_back(0.5);
    raw.boxes.push_back({0, static_cast<double>(i), 1, 10});
  }
  raw.labels = GetParam().labels;
  EXPECT_EQ(kovra_utils::process_gdino_results({raw}, GetParam().target).labels, GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GdinoLabels,
    testing::Values(LabelCase{{"pig", "pig", ""}, "pig", {"pig", "pig"}},
                    LabelCase{{"", ""}, "pig", {"", ""}},
                    LabelCase{{}, "pig", {}},
                    LabelCase{{"pig", "pig pig", "Pig"}, "pig", {"pig"}},
                    LabelCase{{"pig", "pig"}, "sow", {"pig", "pig"}}));

TEST(ProcessGdinoResults, RejectsMissingEntryAndMisalignedSequences) {
  EXPECT_THROW(kovra_utils::process_gdino_results({}), std::out_of_range);
  const DetectionResult misaligned{{0.5}, {"pig", "pig"}, {{0, 0, 1, 1}}};
  EXPECT_THROW(kovra_utils::process_gdino_results({misaligned}), ContentError);
}

struct IouCase {
  Box a;
  Box b;
  double iou;
};

class Iou : public testing::TestWithParam<IouCase> {};

TEST_P(Iou, MatchesDefinition) {
  EXPECT_DOUBLE_EQ(kovra_utils::calculate_iou(GetParam().a, GetParam().b), GetParam().iou);
}

INSTANTIATE_TEST_SUITE_P(Cases, Iou,
                         testing::Values(IouCase{{0, 0, 10, 10}, {0, 0, 10, 10}, 1.0},
                                         IouCase{{0, 0, 10, 10}, {10, 0, 20, 10}, 0.0},
                                         IouCase{{0, 0, 10, 10}, {5, 0, 15, 10}, 1.0 / 3.0},
                                         IouCase{{3, 3, 3, 3}, {3, 3, 3, 3}, 0.0},
                                         IouCase{{0, 0, 4, 4}, {1, 1, 3, 3}, 0.25}));

}  // namespace

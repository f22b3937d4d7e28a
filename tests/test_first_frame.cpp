#include <kovra_utils/first_frame.hpp>

#include "capture.hpp"
#include "geometry.hpp"
#include "model_doubles.hpp"

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

std::vector<int> red_columns(const cv::Mat& rgb, int row) {
  std::vector<int> columns;
  for (int c = 0; c < rgb.cols; ++c) {
    if (rgb.at<cv::Vec3b>(row, c) == cv::Vec3b(255, 0, 0)) columns.push_back(c);
  }
  return columns;
}

// The outline is 3 pixels wide across each edge, not 5.
TEST(DrawPen, OutlineIsThreePixelsWide) {
  kovra_test::TempDir dir;
  kovra_test::write_text(dir / "pen.json", pen_json("[[10, 10], [50, 10.7], [50, 40], [10, 40]]"));
  cv::imwrite((dir / "f.png").string(), cv::Mat(60, 80, CV_8UC3, cv::Scalar(0, 80, 0)));
  const auto pen = kovra_utils::draw_pen((dir / "f.png").string(), (dir / "pen.json").string(),
                                         true);
  ASSERT_TRUE(pen.image.has_value());
  EXPECT_EQ(red_columns(*pen.image, 25), (std::vector<int>{9, 10, 11, 49, 50, 51}));
  cv::Mat column_30 = pen.image->col(30).clone().reshape(3, 1);
  EXPECT_EQ(red_columns(column_30, 0), (std::vector<int>{9, 10, 11, 39, 40, 41}));
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
                    BadPenCase{pen_json("[[1, 2], [3, 4]]"), "at least 3 points, got 2"},
                    BadPenCase{pen_json("[[1, 2], [3, 1e999], [4, 5]]"), "cannot read JSON"},
                    BadPenCase{pen_json("[[1, 2], " + std::string(30000, '[') +
                                        std::string(30000, ']') + ", [4, 5]]"),
                               "nested deeper than 256 levels"}));

// A malformed point is quoted in the message only in part, however large or deep it is.
TEST(DrawPen, MessageQuotesABoundedPartOfAMalformedPoint) {
  kovra_test::TempDir dir;
  std::string long_point = "[1";
  for (int i = 0; i < 20000; ++i) long_point += ", 1";
  long_point += "]";
  const std::string deep_point = std::string(200, '[') + std::string(200, ']');
  for (const std::string& point : {long_point, deep_point}) {
    kovra_test::write_text(dir / "pen.json", pen_json("[[1, 2], " + point + ", [4, 5]]"));
    try {
      kovra_utils::draw_pen("unused.jpg", (dir / "pen.json").string());
      FAIL() << "no error";
    } catch (const ContentError& e) {
      EXPECT_THAT(e.what(), HasSubstr("\"points\"[1]"));
      EXPECT_LT(std::string(e.what()).size(), 300u) << e.what();
    }
  }
}

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

// ---- initializer ----------------------------------------------------------------------------

constexpr int kWidth = 300;
constexpr int kHeight = 200;

// A clip of `count` PNG frames, frame i filled with RGB (200, 100, i), a pen covering a large
// square around them, and scripted models.
class Initializer : public testing::Test {
 protected:
  void make_frames(int count) {
    for (int i = 0; i < count; ++i) {
      const std::string path = (dir / (std::to_string(1000 + i) + ".png")).string();
      cv::imwrite(path, cv::Mat(kHeight, kWidth, CV_8UC3, cv::Scalar(i, 100, 200)));
      frames.push_back(path);
    }
  }

  void SetUp() override {
    kovra_test::write_text(pen_path, pen_json("[[-5000, -5000], [5000, -5000], [5000, 5000], "
                                              "[-5000, 5000]]"));
    make_frames(30);
    // Default segmentation: each box's rectangle, clipped to the frame.
    predictor.respond = [](const cv::Mat& box) {
      std::vector<cv::Mat> planes;
      for (int r = 0; r < box.rows; ++r) {
        cv::Mat plane = cv::Mat::zeros(kHeight, kWidth, CV_8U);
        const cv::Rect rect(cv::Point(static_cast<int>(box.at<double>(r, 0)),
                                      static_cast<int>(box.at<double>(r, 1))),
                            cv::Point(static_cast<int>(box.at<double>(r, 2)),
                                      static_cast<int>(box.at<double>(r, 3))));
        plane(rect & cv::Rect(0, 0, kWidth, kHeight)).setTo(1);
        planes.push_back(plane);
      }
      return kovra_utils::Prediction{kovra_test::stack_masks(planes), {}, {}};
    };
  }

  // `count` separate 10 x 10 boxes in one row, all labelled "pig".
  static DetectionResult separate_boxes(int count, double first_score = 0.9) {
    DetectionResult result;
    for (int i = 0; i < count; ++i) {
      result.boxes.push_back({20.0 * i, 5, 20.0 * i + 10, 15});
      result.scores.push_back(first_score - 0.01 * i);
      result.labels.push_back("pig");
    }
    return result;
  }

  kovra_utils::InitializerResult run(std::int64_t start_index = 0, std::int64_t step = 10,
                                     std::int64_t close_set_num = 2) {
    return kovra_utils::initializer(R"(frames\Camera61_1\clip)", frames, detector, detector,
                                    "cuda:0", predictor, start_index, step, 0.3, close_set_num,
                                    pen_path);
  }

  kovra_test::TempDir dir;
  std::string pen_path = (dir / "pen.json").string();
  std::vector<std::string> frames;
  kovra_test::ScriptedDetector detector;
  kovra_test::ScriptedPredictor predictor;
};

// Scores a torch detector gives are float32: printed as numpy prints them, not widened.
TEST_F(Initializer, PrintsFloat32ScoresInTheirShortestForm) {
  DetectionResult result = separate_boxes(2);
  result.scores = {static_cast<double>(0.9F), static_cast<double>(0.8F)};
  result.float32_scores = true;
  detector.results = {result};
  kovra_test::CoutCapture out;
  run(0, 10, 2);
  EXPECT_EQ(out.lines().back(), "[0.9 0.8]");
}

// A frame with alpha reaches the detector as RGBA; the segmentation still gets RGB.
TEST_F(Initializer, HandsTheDetectorAnRgbaFrameAsStored) {
  cv::imwrite(frames[0], cv::Mat(kHeight, kWidth, CV_8UC4, cv::Scalar(0, 100, 200, 77)));
  detector.results = {separate_boxes(2)};
  run(0, 10, 2);
  ASSERT_EQ(detector.calls[0].argument.type(), CV_8UC4);
  EXPECT_EQ(detector.calls[0].argument.at<cv::Vec4b>(0, 0), cv::Vec4b(200, 100, 0, 77));
  EXPECT_EQ(predictor.calls[0].argument.type(), CV_8UC3);
}

TEST_F(Initializer, AcceptsFirstFrameWithExpectedCountAndCallsModelsInOrder) {
  detector.results = {separate_boxes(2)};
  kovra_test::CoutCapture out;
  const auto result = run(0, 10, 2);
  EXPECT_EQ(out.lines(),
            (std::vector<std::string>{"Using pen JSON path: " + pen_path,
                                      "Boxes will be kept: [0 1], totally 2 keys",
                                      "ann_frame_idx [0] works!!!", "[0.9 0.89]"}));
  ASSERT_TRUE(result.masks.has_value());
  EXPECT_EQ(result.masks->size(), 2U);
  EXPECT_EQ(result.masks->at(1).bounds(), cv::Rect(20, 5, 10, 10));
  EXPECT_EQ(result.OBJECTS, (std::vector<std::string>{"pig", "pig"}));
  EXPECT_EQ(result.ann_frame_idx, 0);
  ASSERT_TRUE(result.annotated_frame.has_value());
  EXPECT_EQ(result.annotated_frame->type(), CV_8UC4);
  EXPECT_EQ(result.annotated_frame->size(), cv::Size(kWidth, kHeight));

  EXPECT_EQ(detector.methods(),
            (std::vector<std::string>{"processor", "to", "network", "post_process"}));
  EXPECT_EQ(detector.texts, std::vector<std::string>{"pig."});
  EXPECT_EQ(detector.devices, std::vector<std::string>{"cuda:0"});
  EXPECT_EQ(detector.text_thresholds, std::vector<double>{0.3});
  EXPECT_EQ(detector.target_sizes, (std::vector<std::pair<int, int>>{{kHeight, kWidth}}));
  EXPECT_EQ(detector.calls[0].argument.at<cv::Vec3b>(0, 0), cv::Vec3b(200, 100, 0));  // RGB

  ASSERT_EQ(predictor.methods(), (std::vector<std::string>{"set_image", "predict"}));
  EXPECT_EQ(predictor.calls[0].argument.at<cv::Vec3b>(0, 0), cv::Vec3b(200, 100, 0));  // RGB
  const cv::Mat& boxes = predictor.calls[1].argument;
  EXPECT_EQ(boxes.type(), CV_64F);
  EXPECT_EQ(boxes.size(), cv::Size(4, 2));
  EXPECT_EQ(boxes.at<double>(1, 0), 20.0);
}

TEST_F(Initializer, AnnotatedFrameOfAnRgbaFileKeepsItsAlpha) {
  cv::imwrite(frames[0], cv::Mat(kHeight, kWidth, CV_8UC4, cv::Scalar(0, 100, 200, 60)));
  detector.results = {separate_boxes(2)};
  kovra_test::CoutCapture out;
  const auto result = run(0, 10, 2);
  ASSERT_TRUE(result.annotated_frame.has_value());
  const cv::Vec4b untouched = result.annotated_frame->at<cv::Vec4b>(kHeight - 1, kWidth - 1);
  EXPECT_EQ(untouched, cv::Vec4b(200, 100, 0, 60));  // RGBA, alpha as stored
}

TEST_F(Initializer, TriesEveryStepAndReportsEachRejection) {
  detector.results = {DetectionResult{}, separate_boxes(3), separate_boxes(1)};
  kovra_test::CoutCapture out;
  const auto result = run(5, 10, 2);
  EXPECT_EQ(out.lines(), (std::vector<std::string>{
                             "Using pen JSON path: " + pen_path,
                             "No boxes found in frame 5. Skipping to next frame.",
                             "Boxes will be kept: [0 1 2], totally 3 keys",
                             "ann_frame_idx [15] cannot work, too many bbx found..", "",
                             "Boxes will be kept: [0], totally 1 keys",
                             "ann_frame_idx [25] cannot work, too few bbx found..", ""}));
  EXPECT_FALSE(result.masks || result.OBJECTS || result.ann_frame_idx || result.annotated_frame);
  ASSERT_EQ(detector.calls.size(), 12U);
  for (int tried = 0; tried < 3; ++tried) {
    // The frame index is in the blue channel: the detector gets RGB.
    EXPECT_EQ(detector.calls[4 * tried].argument.at<cv::Vec3b>(0, 0)[2], 5 + 10 * tried);
  }
}

TEST_F(Initializer, EmptyFrameRangeTriesNothing) {
  kovra_test::CoutCapture out;
  EXPECT_FALSE(run(30).ann_frame_idx.has_value());
  EXPECT_EQ(out.lines(), std::vector<std::string>{"Using pen JSON path: " + pen_path});
  EXPECT_TRUE(detector.calls.empty());
}

TEST_F(Initializer, RejectsBadFrameRangeBeforeTryingAFrame) {
  for (const auto& [start, step] : std::vector<std::pair<int, int>>{{0, 0}, {0, -10}, {-1, 10}}) {
    kovra_test::CoutCapture out;
    EXPECT_THROW(run(start, step), ArgumentError) << start << " " << step;
  }
  EXPECT_TRUE(detector.calls.empty());
}

TEST_F(Initializer, KeepsBoxesAtLeastFortyPercentInPenAndOfPlausibleSize) {
  // Pen [0, 100] x [0, 500000]: a box [60, y, 160, y + h] is 40 % inside, [60.1, ...] 39.9 %.
  kovra_test::write_text(pen_path, pen_json("[[0, 0], [100, 0], [100, 500000], [0, 500000]]"));
  DetectionResult raw;
  raw.boxes = {{60, 10, 160, 20},      // 40 % in the pen: kept
               {60.1, 30, 160.1, 40},  // 39.9 %: dropped
               // Upper half (y1 < 100) allows areas below 1 500 000, lower half below 4 000 000.
               {0, 99.99, 10, 99.99 + 149999.0},   // upper, area 1 499 990: kept
               {20, 99, 30, 99 + 150000.0},        // upper, area 1 500 000: dropped
               {40, 100, 50, 100 + 399999.0},      // lower, area 3 999 990: kept
               {50, 101, 60, 101 + 400000.0}};     // lower, area 4 000 000: dropped
  raw.scores = {0.9, 0.8, 0.7, 0.6, 0.5, 0.4};
  raw.labels = std::vector<std::string>(6, "pig");
  detector.results = {raw};
  predictor.respond = nullptr;
  predictor.predictions = {kovra_utils::Prediction{
      kovra_test::stack_masks({cv::Mat::zeros(kHeight, kWidth, CV_8U),
                               cv::Mat::zeros(kHeight, kWidth, CV_8U),
                               cv::Mat::zeros(kHeight, kWidth, CV_8U)}),
      {},
      {}}};
  kovra_test::CoutCapture out;
  run(0, 100, 3);
  const cv::Mat& boxes = predictor.calls.at(1).argument;
  ASSERT_EQ(boxes.rows, 3);
  EXPECT_EQ(boxes.at<double>(0, 0), 60.0);
  EXPECT_EQ(boxes.at<double>(1, 1), 99.99);
  EXPECT_EQ(boxes.at<double>(2, 1), 100.0);
}

TEST_F(Initializer, WithoutBoxesLeftSkipsSegmentationAndEndsTooFew) {
  DetectionResult outside;
  outside.boxes = {{6000, 6000, 6010, 6010}};
  outside.scores = {0.9};
  outside.labels = {"sow"};  // no "pig" at all: the box still goes to the pen filter
  detector.results = {outside};
  kovra_test::CoutCapture out;
  run(0, 100, 1);
  EXPECT_EQ(out.lines(), (std::vector<std::string>{
                             "Using pen JSON path: " + pen_path,
                             "Boxes will be kept: [], totally 0 keys",
                             "ann_frame_idx [0] cannot work, too few bbx found..", ""}));
  EXPECT_TRUE(predictor.calls.empty());
}

// Masks given directly, with the scores of their boxes.
struct DuplicateCase {
  std::string name;
  std::vector<cv::Rect> masks;
  std::vector<double> scores;
  std::string kept_line;
};

class InitializerDuplicates : public Initializer,
                              public testing::WithParamInterface<DuplicateCase> {};

TEST_P(InitializerDuplicates, RemovesByTableAndScores) {
  const DuplicateCase& c = GetParam();
  DetectionResult raw;
  std::vector<cv::Mat> planes;
  for (std::size_t i = 0; i < c.masks.size(); ++i) {
    raw.boxes.push_back({0, static_cast<double>(i), 10, 10 + static_cast<double>(i)});
    raw.scores.push_back(c.scores[i]);
    raw.labels.push_back("pig");
    cv::Mat plane = cv::Mat::zeros(kHeight, kWidth, CV_8U);
    plane(c.masks[i]).setTo(1);
    planes.push_back(plane);
  }
  detector.results = {raw};
  predictor.respond = nullptr;
  predictor.predictions = {kovra_utils::Prediction{kovra_test::stack_masks(planes), {}, {}}};
  kovra_test::CoutCapture out;
  run(0, 100, 99);
  EXPECT_EQ(out.lines().at(1), c.kept_line);
}

// A: 100 x 100 = 10 000 pixels. B: 200 x 100 = 20 000 pixels.
const cv::Rect kA(0, 0, 100, 100);
const cv::Rect kB800(92, 0, 200, 100);   // 800 pixels of A: exactly 8 % of A, 4 % of B
const cv::Rect kB801(91, 11, 200, 100);  // 801 pixels of A: 8.01 % of A

INSTANTIATE_TEST_SUITE_P(
    Cases, InitializerDuplicates,
    testing::Values(
        DuplicateCase{"ExactlyEightKeepsBoth", {kA, kB800}, {0.5, 0.9},
                      "Boxes will be kept: [0 1], totally 2 keys"},
        DuplicateCase{"AboveEightDropsLowerScoredRow", {kA, kB801}, {0.5, 0.9},
                      "Boxes will be kept: [1], totally 1 keys"},
        DuplicateCase{"AboveEightDropsLowerScoredColumn", {kA, kB801}, {0.9, 0.5},
                      "Boxes will be kept: [0], totally 1 keys"},
        DuplicateCase{"EqualScoresDropTheRow", {kA, kB801}, {0.7, 0.7},
                      "Boxes will be kept: [1], totally 1 keys"},
        DuplicateCase{"EqualScoresBothCellsDropBoth",
                      {cv::Rect(0, 0, 50, 50), cv::Rect(10, 10, 50, 50)},
                      {0.7, 0.7},
                      "Boxes will be kept: [], totally 0 keys"},
        // Box0 covers Box1 (Box0 higher), Box1 covers Box2 (Box1 higher): both 1 and 2 go.
        DuplicateCase{"EarlierRemovalsStillDecide",
                      {cv::Rect(0, 0, 100, 50), cv::Rect(60, 0, 100, 50), cv::Rect(130, 0, 100, 50)},
                      {0.9, 0.8, 0.7},
                      "Boxes will be kept: [0], totally 1 keys"}),
    [](const testing::TestParamInfo<DuplicateCase>& info) { return info.param.name; });

TEST_F(Initializer, RenumbersKeptMasksAfterRemoval) {
  // Eleven separate masks; mask 4 lies inside mask 3 and scores higher, so index 3 goes.
  DetectionResult raw = separate_boxes(11);
  raw.scores[4] = 0.99;
  std::vector<cv::Mat> planes;
  for (int i = 0; i < 11; ++i) {
    cv::Mat plane = cv::Mat::zeros(kHeight, kWidth, CV_8U);
    plane(i == 4 ? cv::Rect(60, 100, 10, 10) : cv::Rect(20 * i, 100, 10 + (i == 3) * 5, 10))
        .setTo(1);
    planes.push_back(plane);
  }
  detector.results = {raw};
  predictor.respond = nullptr;
  predictor.predictions = {kovra_utils::Prediction{kovra_test::stack_masks(planes), {}, {}}};
  kovra_test::CoutCapture out;
  const auto result = run(0, 10, 10);
  EXPECT_EQ(out.lines().at(1), "Boxes will be kept: [ 0  1  2  4  5  6  7  8  9 10], totally 10 keys");
  ASSERT_TRUE(result.masks.has_value());
  EXPECT_EQ(result.masks->at(3).bounds(), cv::Rect(60, 100, 10, 10));
  EXPECT_EQ(result.masks->at(4).bounds(), cv::Rect(100, 100, 10, 10));
}

TEST_F(Initializer, PropagatesFileAndModelErrors) {
  {
    kovra_test::CoutCapture out;
    frames[0] = (dir / "missing.jpg").string();
    EXPECT_THROW(run(), FileError);
  }
  {
    kovra_test::CoutCapture out;
    make_frames(1);
    frames = {frames.back()};
    detector.results = {separate_boxes(1)};
    EXPECT_THROW(kovra_utils::initializer(R"(frames\Camera99_1)", frames, detector, detector,
                                          "cpu", predictor),
                 FileError);  // no pen file for an unknown camera
  }
  {
    kovra_test::CoutCapture out;
    detector.results = {separate_boxes(2)};
    predictor.respond = nullptr;
    predictor.predictions = {kovra_utils::Prediction{
        kovra_test::stack_masks({cv::Mat::zeros(kHeight, kWidth, CV_8U)}), {}, {}}};
    try {
      run();
      FAIL() << "no error";
    } catch (const ContentError& e) {
      EXPECT_STREQ(e.what(), "segmentation returned 1 masks for 2 boxes");
    }
  }
}

}  // namespace

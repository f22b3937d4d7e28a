#include <kovra_utils/visual.hpp>

#include "capture.hpp"
#include "expect_error.hpp"
#include "image_files.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using kovra_test::CoutCapture;
using kovra_test::read_text;
using kovra_test::TempDir;
using kovra_test::write_text;
using kovra_utils::ContentError;
using kovra_utils::FileError;
using kovra_utils::fix_polygon_scaling;
using kovra_utils::retrieve_annotation;
using nlohmann::json;

// A frame of one RGB colour written as PNG.
fs::path write_frame(const TempDir& dir, cv::Size size, cv::Vec3b rgb,
                     const std::string& name = "frame.png") {
  const fs::path path = dir / name;
  cv::imwrite(path.string(), cv::Mat(size, CV_8UC3, cv::Scalar(rgb[2], rgb[1], rgb[0])));
  return path;
}

// Polygon string of the pixel rectangle [x0, x1] x [y0, y1] on a frame of `size`.
std::string rect_polygon(cv::Size size, int x0, int y0, int x1, int y1) {
  std::string out = "0";
  for (const auto& [x, y] : {std::pair{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}) {
    for (const double value : {x / double(size.width), y / double(size.height)}) {
      out.append(" ").append(std::to_string(value));
    }
  }
  return out;
}

json detection(int object_id, const std::string& polygon, json xyxy = json::array()) {
  if (xyxy.empty()) xyxy = json::array({json::array({1, 2, 3, 4})});
  return {{"object_id", object_id}, {"xyxy", xyxy}, {"formatted_polygon", {polygon}}};
}

fs::path write_annotation(const TempDir& dir, const fs::path& image, const json& detections,
                          const std::string& name = "ann.json") {
  const fs::path path = dir / name;
  write_text(path, json{{"image_path", image.string()}, {"detections", detections}}.dump());
  return path;
}

// ---- fix_polygon_scaling: values ------------------------------------------------------------

struct RepairCase {
  const char* name;
  cv::Size frame;
  std::string polygon;
  std::string repaired;
};

class FixPolygonScalingValues : public testing::TestWithParam<RepairCase> {};

TEST_P(FixPolygonScalingValues, RewritesCoordinatesWithSixDecimals) {
  const RepairCase& c = GetParam();
  TempDir dir;
  const fs::path image = write_frame(dir, c.frame, {0, 0, 0});
  const fs::path file = dir / "ann.json";
  write_text(file, json{{"image_path", image.string()},
                        {"detections", {{{"formatted_polygon", {c.polygon}}}}}}
                       .dump());
  fix_polygon_scaling(file.string());
  EXPECT_EQ(json::parse(read_text(file))["detections"][0]["formatted_polygon"][0], c.repaired);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FixPolygonScalingValues,
    testing::Values(
        RepairCase{"SwappedBecomesCentre", {640, 480}, "0 0.666667 0.375", "0 0.500000 0.500000"},
        RepairCase{"CorrectIsStillScaled", {640, 480}, "0 0.5 0.5", "0 0.375000 0.666667"},
        RepairCase{"SquareKeepsValues", {50, 50}, "pig-7 0.5 0.25 1 0", "pig-7 0.500000 "
                                                                         "0.250000 1.000000 "
                                                                         "0.000000"},
        RepairCase{"IdentifierOnly", {640, 480}, "12", "12"}),
    [](const auto& info) { return info.param.name; });

TEST(FixPolygonScaling, IsNotIdempotentAndCanWriteElsewhere) {
  TempDir dir;
  const fs::path image = write_frame(dir, {640, 480}, {0, 0, 0});
  const fs::path file = write_annotation(dir, image, json::array({detection(1, "0 0.5 0.5")}));
  const std::string original = read_text(file);
  fix_polygon_scaling(file.string(), (dir / "once.json").string());
  EXPECT_EQ(read_text(file), original);
  fix_polygon_scaling((dir / "once.json").string());
  EXPECT_EQ(json::parse(read_text(dir / "once.json"))["detections"][0]["formatted_polygon"][0],
            "0 0.281250 0.888889");
}

// ---- fix_polygon_scaling: document layout ---------------------------------------------------

TEST(FixPolygonScaling, WritesIndentedAsciiDocumentInReadOrder) {
  TempDir dir;
  const fs::path image = write_frame(dir, {20, 20}, {0, 0, 0});
  const fs::path file = dir / "ann.json";
  write_text(file, R"({"zeta": {"b": 1, "a": [true, false, null]}, "image_path": ")" +
                       image.string() + R"(",
  "detections": [{"object_id": 3, "score": 0.1, "tiny": 1e-05, "big": 1e16, "whole": 25.0,
                  "formatted_polygon": ["0 0.5 0.5"], "note": "Sch\u00f6n \"pig\"\t\ud83d\udc16\u007f\u0001/",
                  "empty": [], "none": {}, "huge": 18446744073709551615, "neg": -0.0}],
  "ünïcode key": "ok"})");
  fix_polygon_scaling(file.string());
  const std::string expected = R"({
    "zeta": {
        "b": 1,
        "a": [
            true,
            false,
            null
        ]
    },
    "image_path": ")" + image.string() + R"(",
    "detections": [
        {
            "object_id": 3,
            "score": 0.1,
            "tiny": 1e-05,
            "big": 1e+16,
            "whole": 25.0,
            "formatted_polygon": [
                "0 0.500000 0.500000"
            ],
            "note": "Sch\u00f6n \"pig\"\t\ud83d\udc16\u007f\u0001/",
            "empty": [],
            "none": {},
            "huge": 18446744073709551615,
            "neg": -0.0
        }
    ],
    "\u00fcn\u00efcode key": "ok"
})";
  EXPECT_EQ(read_text(file), expected);
}

// ---- fix_polygon_scaling: failures ----------------------------------------------------------

TEST(FixPolygonScaling, UnreadableImageIsReportedAndNothingWritten) {
  TempDir dir;
  const fs::path missing = dir / "missing.png";
  const fs::path file = write_annotation(dir, missing, json::array({detection(1, "0 0.5 0.5")}));
  const std::string original = read_text(file);
  CoutCapture capture;
  fix_polygon_scaling(file.string(), (dir / "out.json").string());
  EXPECT_EQ(capture.text(), "Error loading image: cannot open image " + missing.string() +
                                ": No such file or directory\n");
  EXPECT_EQ(read_text(file), original);
  EXPECT_FALSE(fs::exists(dir / "out.json"));
}

TEST(FixPolygonScaling, WritesIntegersBeyond64BitsBackExactly) {
  TempDir dir;
  const fs::path image = write_frame(dir, {64, 48}, {0, 0, 0});
  const fs::path file = dir / "ann.json";
  write_text(file, R"({"image_path": ")" + image.string() +
                       R"(", "big": [123456789012345678901234567890, -98765432109876543210],
                       "detections": [], "small": 18446744073709551615})");
  fix_polygon_scaling(file.string());
  const std::string written = read_text(file);
  for (const char* literal :
       {"123456789012345678901234567890,", "-98765432109876543210\n", "18446744073709551615\n"}) {
    EXPECT_NE(written.find(literal), std::string::npos) << literal << " in\n" << written;
  }
}

struct RepairFailure {
  const char* name;
  std::string content;  // "IMAGE" stands for the frame's path
  std::string fragment;
};

class FixPolygonScalingFailures : public testing::TestWithParam<RepairFailure> {};

TEST_P(FixPolygonScalingFailures, ThrowsAndLeavesTargetUntouched) {
  TempDir dir;
  const fs::path image = write_frame(dir, {64, 48}, {0, 0, 0});
  std::string content = GetParam().content;
  if (const auto at = content.find("IMAGE"); at != std::string::npos) {
    content.replace(at, 5, image.string());
  }
  const fs::path file = dir / "ann.json";
  write_text(file, content);
  kovra_test::expect_error_containing<ContentError>([&] { fix_polygon_scaling(file.string()); },
                             GetParam().fragment);
  EXPECT_EQ(read_text(file), content);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FixPolygonScalingFailures,
    testing::Values(
        RepairFailure{"NoImagePath", "{\"detections\": []}", "\"image_path\" in "},
        RepairFailure{"NoDetections", R"({"image_path": "IMAGE"})", "\"detections\" in "},
        RepairFailure{"NoPolygons", R"({"image_path": "IMAGE", "detections": [{}]})",
                      "\"detections\"[0].\"formatted_polygon\" in "},
        RepairFailure{"OddCount",
                      R"({"image_path": "IMAGE", "detections": [{"formatted_polygon":
                          ["0 0.1 0.2", "1 0.1 0.2 0.3"]}]})",
                      "\"detections\"[0].\"formatted_polygon\"[1] in "},
        RepairFailure{"NumberOverflow",
                      R"({"image_path": "IMAGE", "detections": [], "x": [1e999]})",
                      "cannot read JSON"},
        RepairFailure{"DeepNesting",
                      R"({"image_path": "IMAGE", "detections": [], "x": )" +
                          std::string(12000, '[') + std::string(12000, ']') + "}",
                      "nested deeper than 256 levels"},
        RepairFailure{"EmptyString",
                      R"({"image_path": "IMAGE", "detections": [{"formatted_polygon": [" "]}]})",
                      "empty polygon string"}),
    [](const auto& info) { return info.param.name; });

// ---- retrieve_annotation --------------------------------------------------------------------

const cv::Size kFrame(40, 30);
const cv::Vec3b kFrameRgb(10, 20, 30);
const cv::Vec4b kFramePixel(10, 20, 30, 255);
const std::string kSquare = "0 0.1 0.1 0.5 0.1 0.5 0.5";

class RetrieveAnnotation : public testing::Test {
 protected:
  // Object 1 covers pixels [5, 15] x [5, 15], object 2 [10, 25] x [10, 20]; they overlap.
  fs::path two_objects() {
    return write_annotation(dir_, frame_,
                            json::array({detection(1, rect_polygon(kFrame, 5, 5, 15, 15)),
                                         detection(2, rect_polygon(kFrame, 10, 10, 25, 20))}));
  }
  cv::Mat frame_rgba() const { return cv::Mat(kFrame, CV_8UC4, cv::Scalar(10, 20, 30, 255)); }

  TempDir dir_;
  fs::path frame_ = write_frame(dir_, kFrame, kFrameRgb);
};

int count_differences(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  return cv::countNonZero(diff.reshape(1));
}

TEST_F(RetrieveAnnotation, LaterObjectReplacesEarlierWhereTheyOverlap) {
  const cv::Mat picture = retrieve_annotation(two_objects().string());
  ASSERT_EQ(picture.type(), CV_8UC4);
  ASSERT_EQ(picture.size(), kFrame);
  const cv::Vec4b first_only = picture.at<cv::Vec4b>(6, 6);
  const cv::Vec4b second_only = picture.at<cv::Vec4b>(19, 24);
  EXPECT_EQ(picture.at<cv::Vec4b>(12, 12), second_only);
  EXPECT_EQ(picture.at<cv::Vec4b>(15, 15), second_only);
  EXPECT_EQ(first_only[3], 255);
  EXPECT_EQ(picture.at<cv::Vec4b>(0, 0), kFramePixel);
  EXPECT_EQ(picture.at<cv::Vec4b>(29, 39), kFramePixel);
  // Only the two filled rectangles differ from the frame: 121 + 176 - 36 overlap pixels.
  cv::Mat changed;
  cv::compare(picture.reshape(1, kFrame.height * kFrame.width),
              frame_rgba().reshape(1, kFrame.height * kFrame.width), changed, cv::CMP_NE);
  cv::reduce(changed, changed, 1, cv::REDUCE_MAX);
  EXPECT_EQ(cv::countNonZero(changed), 121 + 176 - 36);
  // Colours come fresh from a process-wide generator on every call.
  const cv::Vec4b again = retrieve_annotation(two_objects().string()).at<cv::Vec4b>(6, 6);
  const cv::Vec4b third = retrieve_annotation(two_objects().string()).at<cv::Vec4b>(6, 6);
  EXPECT_FALSE(again == first_only && third == first_only);
}

TEST_F(RetrieveAnnotation, DrawsOnlySelectedIdentitiesAndNothingGivesTheFrame) {
  const fs::path file = two_objects();
  const cv::Mat only_second = retrieve_annotation(file.string(), std::nullopt, false,
                                                  std::set<std::int64_t>{2});
  EXPECT_EQ(only_second.at<cv::Vec4b>(6, 6), kFramePixel);
  EXPECT_NE(only_second.at<cv::Vec4b>(12, 12), kFramePixel);
  const cv::Mat none = retrieve_annotation(file.string(), std::nullopt, false,
                                           std::set<std::int64_t>{9});
  EXPECT_EQ(count_differences(none, frame_rgba()), 0);
  const fs::path empty = write_annotation(dir_, frame_, json::array(), "empty.json");
  EXPECT_EQ(count_differences(retrieve_annotation(empty.string()), frame_rgba()), 0);
}

TEST_F(RetrieveAnnotation, BoxDrawingAddsOpaqueOutlineAndCaptionTab) {
  const json box = json::array({json::array({0, 0, 1, 1}), json::array({8.7, 20.2, 30, 27})});
  const fs::path file = write_annotation(
      dir_, frame_, json::array({detection(1, rect_polygon(kFrame, 10, 22, 20, 25), box)}));
  const cv::Mat picture = retrieve_annotation(file.string(), std::nullopt, true);
  // The last box counts: outline from (8, 20) to (30, 27), corners truncated.
  const cv::Vec4b outline = picture.at<cv::Vec4b>(27, 30);
  EXPECT_NE(outline, kFramePixel);
  EXPECT_EQ(picture.at<cv::Vec4b>(20, 8), outline);
  EXPECT_EQ(picture.at<cv::Vec4b>(21, 9), outline);
  EXPECT_EQ(picture.at<cv::Vec4b>(22, 10), picture.at<cv::Vec4b>(23, 12)) << "fill inside";
  EXPECT_NE(picture.at<cv::Vec4b>(22, 10), outline);
  EXPECT_EQ(picture.at<cv::Vec4b>(0, 0), kFramePixel) << "the first box is not drawn";
  json bare = detection(1, kSquare);
  bare["xyxy"] = json::array();
  const fs::path boxless = write_annotation(dir_, frame_, json::array({bare}), "boxless.json");
  EXPECT_NO_THROW(retrieve_annotation(boxless.string())) << "the box is needed only to draw it";
  // The tab sits above the box's top-left corner, in the box colour, with caption ink that
  // blends the box colour towards white.
  EXPECT_EQ(picture.at<cv::Vec4b>(19, 8), outline);
  int ink = 0;
  for (int y = 0; y < 20; ++y) {
    for (int x = 8; x < 40; ++x) {
      const cv::Vec4b pixel = picture.at<cv::Vec4b>(y, x);
      if (pixel == outline || pixel == kFramePixel) continue;
      ++ink;
      for (int channel = 0; channel < 3; ++channel) EXPECT_GE(pixel[channel], outline[channel]);
    }
  }
  EXPECT_GT(ink, 10);
}

TEST_F(RetrieveAnnotation, PngSaveKeepsAlphaAndUnknownFormatFails) {
  // A frame with a transparent corner stays transparent where nothing is drawn.
  cv::Mat bgra(kFrame, CV_8UC4, cv::Scalar(30, 20, 10, 255));
  bgra(cv::Rect(30, 0, 10, 10)).setTo(cv::Scalar(30, 20, 10, 0));
  cv::imwrite((dir_ / "alpha.png").string(), bgra);
  const fs::path file = write_annotation(
      dir_, dir_ / "alpha.png", json::array({detection(1, rect_polygon(kFrame, 5, 5, 15, 15))}));
  const fs::path saved = dir_ / "out" / "picture.png";
  fs::create_directories(saved.parent_path());
  const cv::Mat picture = retrieve_annotation(file.string(), saved.string());
  EXPECT_EQ(picture.at<cv::Vec4b>(2, 35), cv::Vec4b(10, 20, 30, 0));
  cv::Mat reread = cv::imread(saved.string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(reread.type(), CV_8UC4);
  cv::cvtColor(reread, reread, cv::COLOR_BGRA2RGBA);
  EXPECT_EQ(count_differences(reread, picture), 0);
  kovra_test::expect_error_containing<FileError>(
      [&] { retrieve_annotation(file.string(), (dir_ / "picture.nope").string()); },
      "no image format for extension '.nope'");
  EXPECT_FALSE(fs::exists(dir_ / "picture.nope"));
}

struct RenderFailure {
  const char* name;
  json detections;
  bool box_drawing;
  std::string fragment;
};

class RetrieveAnnotationFailures : public RetrieveAnnotation,
                                   public testing::WithParamInterface<RenderFailure> {};

TEST_P(RetrieveAnnotationFailures, ThrowsContentErrorAndSavesNothing) {
  const RenderFailure& c = GetParam();
  const fs::path file = write_annotation(dir_, frame_, c.detections);
  const fs::path saved = dir_ / "picture.png";
  kovra_test::expect_error_containing<ContentError>(
      [&] {
        retrieve_annotation(file.string(), saved.string(), c.box_drawing,
                            std::set<std::int64_t>{1});
      },
      c.fragment);
  EXPECT_FALSE(fs::exists(saved));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RetrieveAnnotationFailures,
    testing::Values(
        RenderFailure{"ObjectIdOfUndrawnDetection",
                      json::array({{{"xyxy", json::array()}, {"formatted_polygon", json::array()}}}),
                      false, "\"detections\"[0].\"object_id\" in "},
        RenderFailure{"NoBoxes", json::array({{{"object_id", 1}, {"formatted_polygon", {kSquare}}}}),
                      false, "\"detections\"[0].\"xyxy\" in "},
        RenderFailure{"ThreeValueBox",
                      json::array({detection(1, kSquare, json::array({json::array({1, 2, 3})}))}),
                      false, "\"detections\"[0].\"xyxy\"[0] in "},
        RenderFailure{"OddCount", json::array({detection(5, "x"), detection(1, "0 0.1 0.2 0.3")}),
                      false, "\"detections\"[1].\"formatted_polygon\"[0] in "},
        RenderFailure{"EmptyBoxListWithBoxDrawing",
                      json::array({{{"object_id", 1}, {"xyxy", json::array()},
                                    {"formatted_polygon", {kSquare}}}}),
                      true, "\"detections\"[0].\"xyxy\" in "},
        RenderFailure{"FarVertex", json::array({detection(1, "0 1e12 0.5 0.5 0.5 0.1 0.1")}),
                      false, "is out of range"},
        RenderFailure{"FarBoxCorner",
                      json::array({detection(1, kSquare, json::array({json::array({1, 2, 3, 1e30})}))}),
                      true, "\"detections\"[0].\"xyxy\" in "}),
    [](const auto& info) { return info.param.name; });

TEST_F(RetrieveAnnotation, RefusesFramesOverThePixelLimitBeforeDecoding) {
  const fs::path huge = dir_ / "huge.png";
  write_text(huge, kovra_test::png_header_only(30000, 30000));
  const fs::path file = write_annotation(dir_, huge, json::array({detection(1, kSquare)}));
  kovra_test::expect_error_containing<FileError>([&] { retrieve_annotation(file.string()); },
                                                 {huge.string(), "too large"});
  write_text(file, R"({"image_path": ")" + frame_.string() +
                       R"(", "detections": [{"object_id": 1, "xyxy": [[1, 2, 1e999, 4]],
                       "formatted_polygon": []}]})");
  kovra_test::expect_error_containing<ContentError>(
      [&] { retrieve_annotation(file.string(), std::nullopt, true); },
      {file.string(), "cannot read JSON"});
}

TEST_F(RetrieveAnnotation, UnreadableFilesAreFileErrors) {
  kovra_test::expect_error_containing<FileError>([&] { retrieve_annotation((dir_ / "none.json").string()); },
                          "none.json");
  kovra_test::expect_error_containing<FileError>([&] { fix_polygon_scaling((dir_ / "none.json").string()); },
                          "none.json");
  const fs::path file =
      write_annotation(dir_, dir_ / "gone.png", json::array({detection(1, kSquare)}));
  kovra_test::expect_error_containing<FileError>([&] { retrieve_annotation(file.string()); },
                          "cannot open image " + (dir_ / "gone.png").string());
}

}  // namespace

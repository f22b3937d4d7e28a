#include <kovra_utils/annotation.hpp>
#include <kovra_utils/cancellation.hpp>

#include "annotation_file.hpp"
#include "capture.hpp"
#include "expect_error.hpp"
#include "image_files.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <charconv>
#include <cstring>
#include <random>

#include <sys/stat.h>

namespace {

using kovra_test::CoutCapture;
using kovra_test::TempDir;
using kovra_test::write_text;
using kovra_utils::ArgumentError;
using kovra_utils::ContentError;
using kovra_utils::FileError;
using kovra_utils::Mask;
using kovra_utils::MaskAreas;
using kovra_utils::MasksDict;
using nlohmann::json;

json detection(std::optional<int> object_id, std::vector<std::string> polygons) {
  json d = {{"xyxy", json::array({json::array({0, 0, 1, 1})})}, {"formatted_polygon", polygons}};
  if (object_id) d["object_id"] = *object_id;
  return d;
}

std::string annotation_text(const std::vector<json>& detections,
                            const std::string& image_path = "frame.jpg") {
  return json{{"image_path", image_path}, {"detections", detections}}.dump(4);
}

// --- rasterisation ---------------------------------------------------------------------------

TEST(ProcessJsonAndGenerateMasks, FillsSquareWithBoundaryPixels) {
  TempDir dir;
  write_text(dir / "a.json",
             annotation_text({detection(1, {"7 0.0 0.0 0.5 0.0 0.5 0.5 0.0 0.5"})}));
  const auto result =
      kovra_utils::process_json_and_generate_masks((dir / "a.json").string(), 100, 200);
  EXPECT_EQ(result.image_path, "frame.jpg");
  ASSERT_EQ(result.masks.size(), 1u);
  EXPECT_EQ(result.boxkeys, (std::vector<std::int64_t>{0}));
  const Mask& mask = result.masks[0];
  EXPECT_EQ(mask.size(), cv::Size(200, 100));
  EXPECT_EQ(mask.bounds(), cv::Rect(0, 0, 101, 51));
  EXPECT_EQ(mask.area(), 101 * 51);
}

TEST(ProcessJsonAndGenerateMasks, DetectionsKeepOrderIdsAndEmptyPolygons) {
  TempDir dir;
  write_text(dir / "a.json", annotation_text({detection(3, {"0 0.1 0.1 0.3 0.1 0.3 0.3"}),
                                              detection(std::nullopt, {}), detection(3, {"0"}),
                                              detection(1, {"0 0.4999 0.5"})}));
  const auto result =
      kovra_utils::process_json_and_generate_masks((dir / "a.json").string(), 10, 10);
  EXPECT_EQ(result.boxkeys, (std::vector<std::int64_t>{2, -1, 2, 0}));
  ASSERT_EQ(result.masks.size(), 4u);
  EXPECT_FALSE(result.masks[0].is_clear());
  EXPECT_TRUE(result.masks[1].is_clear());
  EXPECT_TRUE(result.masks[2].is_clear());
  // Truncation, not rounding: 0.4999 * 10 is column 4.
  EXPECT_EQ(result.masks[3].bounds(), cv::Rect(4, 5, 1, 1));
}

TEST(ProcessJsonAndGenerateMasks, NoDetectionsGivesNoMasks) {
  TempDir dir;
  write_text(dir / "a.json", annotation_text({}));
  const auto result =
      kovra_utils::process_json_and_generate_masks((dir / "a.json").string(), 10, 10);
  EXPECT_TRUE(result.masks.empty());
  EXPECT_TRUE(result.boxkeys.empty());
}

// The crop rasteriser must match filling the whole plane, also for polygons that leave it,
// self-intersect, or are split in several parts.
TEST(ProcessJsonAndGenerateMasks, MatchesFullPlaneFill) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> coordinate(-0.3, 1.3);
  const int height = 37;
  const int width = 53;
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> polygons;
    cv::Mat expected = cv::Mat::zeros(height, width, CV_8U);
    for (int part = 0; part < 1 + round % 3; ++part) {
      std::string text = "0";
      std::vector<cv::Point> vertices;
      for (int v = 0; v < 1 + round % 7; ++v) {
        const double x = coordinate(random);
        const double y = coordinate(random);
        for (const double value : {x, y}) text.append(" ").append(std::to_string(value));
        vertices.emplace_back(static_cast<int>(std::stod(std::to_string(x)) * width),
                              static_cast<int>(std::stod(std::to_string(y)) * height));
      }
      cv::fillPoly(expected, std::vector<std::vector<cv::Point>>{vertices}, 1);
      polygons.push_back(text);
    }
    TempDir dir;
    write_text(dir / "a.json", annotation_text({detection(1, polygons)}));
    const auto result =
        kovra_utils::process_json_and_generate_masks((dir / "a.json").string(), height, width);
    ASSERT_EQ(cv::countNonZero(result.masks[0].dense() != expected), 0) << "round " << round;
  }
}

TEST(ProcessJsonAndGenerateMasks, NarrowPolygonKeepsItsLastColumn) {
  TempDir dir;
  write_text(dir / "a.json",
             annotation_text({detection(1, {"0 0.0 0.6 0.5 0.6 0.0 0.0 0.0 0.8"})}));
  const auto result =
      kovra_utils::process_json_and_generate_masks((dir / "a.json").string(), 5, 4);
  EXPECT_EQ(result.masks[0].area(), 9);
}

// Python reads a token that underflows as 0.0, and one that overflows as inf.
TEST(ProcessJsonAndGenerateMasks, UnderflowingTokenIsZero) {
  TempDir dir;
  write_text(dir / "a.json",
             annotation_text({detection(1, {"0 1e-400 0.5 0.5 -1e-400 0.5 0.9"})}));
  const auto result =
      kovra_utils::process_json_and_generate_masks((dir / "a.json").string(), 10, 10);
  EXPECT_EQ(result.masks[0].box(), (std::array<int, 4>{0, 0, 5, 9}));
  write_text(dir / "b.json", annotation_text({detection(1, {"0 1e999 0.5 0.5 0.5 0.5 0.9"})}));
  kovra_test::expect_error_containing<ContentError>(
      [&] { kovra_utils::process_json_and_generate_masks((dir / "b.json").string(), 10, 10); },
      {"(inf) is not a finite number"});
}

// Coordinates take a short path for plain decimals; every token must read bit for bit as
// from_chars reads it, including those just past the short path's limits.
TEST(ParsePolygon, CoordinatesReadAsFromChars) {
  std::mt19937_64 random(11);
  const auto digits = [&](int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += static_cast<char>('0' + random() % 10);
    return text;
  };
  std::vector<std::string> tokens = {"0",      "-0",     "-0.000", "1.",  ".5", "-.5",
                                     "0.5e1",  "1e-400", "9007199254740993",
                                     "9007199254740992", "0.9007199254740993",
                                     "1.0000000000000000000000001", "123456789012345678901"};
  for (int i = 0; i < 20000; ++i) {
    std::string token = random() % 4 == 0 ? "-" : "";
    token += digits(static_cast<int>(random() % 8));
    token += ".";
    token += digits(static_cast<int>(random() % 26));
    if (token == "." || token == "-.") token += "0";
    tokens.push_back(token);
  }
  std::string text = "0";
  for (const std::string& token : tokens) text += " " + token + " " + token;
  std::vector<double> coordinates;
  kovra_utils::annotation_file::parse_polygon(text, coordinates, "\"formatted_polygon\"", "f.json");
  ASSERT_EQ(coordinates.size(), 2 * tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    double expected = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), expected);
    if (error == std::errc::result_out_of_range) continue;  // covered by UnderflowingTokenIsZero
    ASSERT_EQ(end, token.data() + token.size()) << token;
    EXPECT_EQ(std::memcmp(&coordinates[2 * i], &expected, sizeof expected), 0)
        << token << " read as " << coordinates[2 * i] << ", from_chars gives " << expected;
  }
}

struct BadAnnotation {
  std::string name;
  std::string content;
  std::vector<std::string> message_parts;
};

class RejectsBadAnnotation : public testing::TestWithParam<BadAnnotation> {};

TEST_P(RejectsBadAnnotation, WithContentErrorNamingFileAndMember) {
  TempDir dir;
  const std::string path = (dir / "output_pp_1.json").string();
  write_text(path, GetParam().content);
  std::vector<std::string> parts = GetParam().message_parts;
  parts.push_back(path);
  kovra_test::expect_error_containing<ContentError>(
      [&] { kovra_utils::process_json_and_generate_masks(path, 10, 10); }, parts);
}

INSTANTIATE_TEST_SUITE_P(
    Annotation, RejectsBadAnnotation,
    testing::Values(
        BadAnnotation{"not_json", "{\"image_path\": ", {"not valid JSON"}},
        BadAnnotation{
            "no_image_path", R"({"detections": []})", {"\"image_path\"", "missing member"}},
        BadAnnotation{
            "no_detections", R"({"image_path": "a.jpg"})", {"\"detections\"", "missing member"}},
        BadAnnotation{"detections_not_array",
                      R"({"image_path": "a.jpg", "detections": {}})",
                      {"\"detections\"", "expected array"}},
        BadAnnotation{"image_path_not_text",
                      R"({"image_path": 3, "detections": []})",
                      {"\"image_path\"", "expected string"}},
        BadAnnotation{
            "no_polygon",
            R"({"image_path": "a", "detections": [{"formatted_polygon": []}, {"object_id": 2}]})",
            {"\"detections\"[1].\"formatted_polygon\"", "missing member"}},
        BadAnnotation{
            "odd_count",
            R"({"image_path": "a", "detections": [{"formatted_polygon": ["0 0.1 0.2", "0 0.1 0.2 0.3"]}]})",
            {"\"detections\"[0].\"formatted_polygon\"[1]", "odd number of coordinates (3)"}},
        BadAnnotation{"bad_token",
                      R"({"image_path": "a", "detections": [{"formatted_polygon": ["0 0.1 x2"]}]})",
                      {"\"formatted_polygon\"[0]", "'x2' is not a number"}},
        BadAnnotation{
            "nan",
            R"({"image_path": "a", "detections": [{"formatted_polygon": ["0 nan 0.2"]}]})",
            {"\"formatted_polygon\"[0]", "(nan) is not a finite number"}},
        BadAnnotation{
            "inf",
            R"({"image_path": "a", "detections": [{"formatted_polygon": ["0 0.2 -inf"]}]})",
            {"(-inf) is not a finite number"}},
        BadAnnotation{
            "huge",
            R"({"image_path": "a", "detections": [{"formatted_polygon": ["0 1e9 0.2"]}]})",
            {"(1000000000.0) scales outside the 32-bit vertex range"}},
        BadAnnotation{
            "object_id_float",
            R"({"image_path": "a", "detections": [{"object_id": 1.5, "formatted_polygon": []}]})",
            {"\"detections\"[0].\"object_id\"", "expected integer"}},
        BadAnnotation{"number_overflow", "1e999", {"number overflow"}},
        BadAnnotation{"box_overflow",
                      R"({"image_path": "a", "detections": [{"xyxy": [[0, 0, 1e999, 1]]}]})",
                      {"number overflow"}},
        BadAnnotation{"polygon_not_text",
                      R"({"image_path": "a", "detections": [{"formatted_polygon": [[0.1, 0.2]]}]})",
                      {"\"formatted_polygon\"[0]", "expected string, got array"}}),
    [](const testing::TestParamInfo<BadAnnotation>& info) { return info.param.name; });

// Well-formed files of unusual shape, which a fast reader may take differently from the rest:
// they read like any other file.
struct UnusualAnnotation {
  std::string name;
  std::string content;
  std::string image_path;
  std::vector<std::int64_t> boxkeys;
  std::string error;  // a part of the message when the file is rejected
};

class ReadsUnusualAnnotation : public testing::TestWithParam<UnusualAnnotation> {};

TEST_P(ReadsUnusualAnnotation, AsAnyOtherFile) {
  TempDir dir;
  const std::string path = (dir / "output_pp_1.json").string();
  write_text(path, GetParam().content);
  if (!GetParam().error.empty()) {
    kovra_test::expect_error_containing<ContentError>(
        [&] { kovra_utils::process_json_and_generate_masks(path, 10, 10); },
        {GetParam().error, path});
    return;
  }
  const auto result = kovra_utils::process_json_and_generate_masks(path, 10, 10);
  EXPECT_EQ(result.image_path, GetParam().image_path);
  EXPECT_EQ(result.boxkeys, GetParam().boxkeys);
}

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

const std::string kPolygon = R"("formatted_polygon": ["0 0.1 0.1 0.5 0.5"])";

INSTANTIATE_TEST_SUITE_P(
    Annotation, ReadsUnusualAnnotation,
    testing::Values(
        UnusualAnnotation{"byte_order_mark",
                          "\xEF\xBB\xBF{\"image_path\": \"p\", \"detections\": [{\"object_id\": 1, " +
                              kPolygon + "}]}",
                          "p",
                          {0}, ""},
        UnusualAnnotation{"escaped_member_names",
                          R"({"image\u005fpath": "p", "detections": [{"object\u005fid": 2, )" +
                              kPolygon + "}]}",
                          "p",
                          {1}, ""},
        UnusualAnnotation{"later_members_replace_earlier",
                          R"({"image_path": "a", "detections": [{)" + kPolygon +
                              R"(}], "image_path": "b", "detections": [{"formatted_polygon": [],
                                 "object_id": 5, "object_id": 7}]})",
                          "b",
                          {6}, ""},
        UnusualAnnotation{"integer_beyond_64_bits_elsewhere",
                          R"({"meta": 18446744073709551616, "image_path": "p", "detections": [{)" +
                              kPolygon + "}]}",
                          "p",
                          {-1}, ""},
        UnusualAnnotation{"deep_nesting_elsewhere",
                          R"({"meta": )" + nested_arrays(2000) +
                              R"(, "image_path": "p", "detections": []})",
                          "p",
                          {}, ""},
        UnusualAnnotation{"largest_object_id",
                          R"({"image_path": "p", "detections": [{"object_id": 9223372036854775807, )" +
                              kPolygon + "}]}",
                          "p",
                          {9223372036854775806}, ""},
        UnusualAnnotation{"negative_zero_object_id",
                          R"({"image_path": "p", "detections": [{"object_id": -0, )" + kPolygon +
                              "}]}",
                          "p",
                          {-1}, ""},
        UnusualAnnotation{"object_id_beyond_64_bits",
                          R"({"image_path": "p", "detections": [{"object_id": 9223372036854775808, )" +
                              kPolygon + "}]}",
                          "",
                          {},
                          "\"detections\"[0].\"object_id\" in"},
        UnusualAnnotation{"most_negative_object_id",
                          R"({"image_path": "p", "detections": [{"object_id": -9223372036854775808, )" +
                              kPolygon + "}]}",
                          "",
                          {},
                          "value outside the 64-bit integer range"},
        UnusualAnnotation{"content_error_before_broken_syntax",
                          R"({"image_path": 3, "detections": [)",
                          "",
                          {},
                          "\"image_path\" in"},
        UnusualAnnotation{"text_after_the_document",
                          R"({"image_path": "p", "detections": []} x)",
                          "",
                          {},
                          "not valid JSON"}),
    [](const testing::TestParamInfo<UnusualAnnotation>& info) { return info.param.name; });

TEST(ProcessJsonAndGenerateMasks, IgnoresOtherMembersAtAnyDepth) {
  TempDir dir;
  write_text(dir / "a.json",
             R"({"meta": {"detections": 5, "image_path": [1]}, "image_path": "p.jpg",
                 "detections": [{"extra": [{"formatted_polygon": 1}], "object_id": 4,
                                 "formatted_polygon": ["0 0.1 0.1 0.5 0.5"]}]})");
  const auto result =
      kovra_utils::process_json_and_generate_masks((dir / "a.json").string(), 10, 10);
  EXPECT_EQ(result.image_path, "p.jpg");
  EXPECT_EQ(result.boxkeys, (std::vector<std::int64_t>{3}));
  EXPECT_FALSE(result.masks[0].is_clear());
}

TEST(ProcessJsonAndGenerateMasks, MissingFileAndNegativeSize) {
  kovra_test::expect_error_containing<FileError>(
      [] { kovra_utils::process_json_and_generate_masks("/nonexistent/output_pp_1.json", 10, 10); },
      "/nonexistent/output_pp_1.json");
  kovra_test::expect_error_containing<ArgumentError>(
      [] { kovra_utils::process_json_and_generate_masks("x.json", -1, 10); }, "-1 x 10");
}

// --- overlap measures ------------------------------------------------------------------------

Mask rect_mask(cv::Rect rect, cv::Size size = {20, 20}) {
  cv::Mat plane = cv::Mat::zeros(size, CV_8U);
  plane(rect).setTo(1);
  return Mask::from_dense(plane);
}

TEST(IntersectionBetweenMasks, MeasuresEachPairAgainstBothAreas) {
  MasksDict masks;
  masks["Box0"] = rect_mask({0, 0, 10, 10});  // 100 pixels
  masks["Box1"] = rect_mask({5, 5, 10, 5});   // 50 pixels, 25 shared
  const auto table =
      kovra_utils::intersection_between_masks(masks, kovra_utils::count_mask_areas(masks));
  EXPECT_EQ(table.at("Box0", "Box1"), 25.0);
  EXPECT_EQ(table.at("Box1", "Box0"), 50.0);
  EXPECT_EQ(table.at("Box0", "Box0"), 0.0);
  EXPECT_EQ(table.at("Box1", "Box1"), 0.0);
  EXPECT_THROW(table.at("Box0", "Box9"), std::out_of_range);
}

TEST(IntersectionBetweenMasks, SmallMaskRuleLooksAtTheLaterKey) {
  const Mask speck = rect_mask({3, 3, 1, 1});
  const Mask large = rect_mask({0, 0, 10, 10});
  MasksDict speck_first;
  speck_first["Box0"] = speck;
  speck_first["Box1"] = large;
  auto table = kovra_utils::intersection_between_masks(speck_first,
                                                       kovra_utils::count_mask_areas(speck_first));
  EXPECT_EQ(table.at("Box0", "Box1"), 100.0);
  EXPECT_EQ(table.at("Box1", "Box0"), 1.0);

  MasksDict speck_last;
  speck_last["Box1"] = large;
  speck_last["Box0"] = speck;
  table = kovra_utils::intersection_between_masks(speck_last,
                                                  kovra_utils::count_mask_areas(speck_last));
  EXPECT_EQ(table.max(), 0.0);
}

TEST(IntersectionBetweenMasks, UsesStatedAreasAndCountsWithoutMap) {
  MasksDict masks;
  masks["Box0"] = rect_mask({0, 0, 20, 20});
  masks["Box1"] = rect_mask({0, 0, 10, 10});
  MaskAreas stated{{"Box0", 400}, {"Box1", 200}};
  EXPECT_EQ(kovra_utils::intersection_between_masks(masks, stated).at("Box1", "Box0"), 50.0);
  // An absent or empty map means the true counts.
  EXPECT_EQ(kovra_utils::intersection_between_masks(masks).at("Box1", "Box0"), 100.0);
  EXPECT_EQ(kovra_utils::intersection_between_masks(masks, MaskAreas{}).at("Box0", "Box1"), 25.0);
  EXPECT_THROW(kovra_utils::intersection_between_masks(masks, MaskAreas{{"Box0", 400}}),
               std::out_of_range);
}

TEST(IntersectionBetweenMasks, OneThirdIsDividedBeforeScaling) {
  EXPECT_EQ(kovra_utils::calculate_masks_intersection_new(rect_mask({0, 0, 1, 1}),
                                                          rect_mask({0, 0, 3, 1}), 3, 3)
                .result_1,
            33.33333333333333);
  EXPECT_EQ(
      kovra_utils::calculate_masks_intersection(Mask(cv::Size(20, 20)), rect_mask({0, 0, 3, 1})),
      0.0);
  EXPECT_EQ(
      kovra_utils::calculate_masks_intersection(rect_mask({1, 1, 2, 2}), rect_mask({0, 0, 5, 5})),
      100.0);
  kovra_test::expect_error_containing<ArgumentError>(
      [] {
        kovra_utils::calculate_masks_intersection(rect_mask({0, 0, 1, 1}),
                                                  rect_mask({0, 0, 1, 1}, {5, 5}));
      },
      {"20 x 20", "5 x 5"});
}

TEST(IntersectionBetweenMasks, SingleAndEmptySets) {
  MasksDict one;
  one["Box0"] = rect_mask({0, 0, 2, 2});
  const auto single = kovra_utils::intersection_between_masks(one);
  EXPECT_EQ(single.size(), 1u);
  EXPECT_EQ(single.at(0, 0), 0.0);
  EXPECT_TRUE(kovra_utils::intersection_between_masks(MasksDict{}).empty());
}

// --- tracker output loading ------------------------------------------------------------------

class TrackerOutput : public testing::Test {
 protected:
  void SetUp() override {
    image_path_ = (dir_ / "frame.jpg").string();
    cv::imwrite(image_path_, cv::Mat(cv::Size(40, 30), CV_8UC3, cv::Scalar(10, 20, 30)));
  }

  // An annotation file whose single detection covers `column` (so files can be told apart).
  void write_frame(const std::string& relative, int column, const std::string& image = "") {
    const double x = (column + 0.5) / 40.0;
    write_text(dir_ / relative, annotation_text({detection(1, {"0 " + std::to_string(x) + " 0.1 " +
                                                               std::to_string(x) + " 0.5"})},
                                                image.empty() ? image_path_ : image));
  }

  kovra_utils::LoadedClip load(std::int64_t ixx = 0) {
    return kovra_utils::get_kovra_annotation_data("unused", false, ixx, dir_.path().string());
  }

  TempDir dir_;
  std::string image_path_;
};

TEST_F(TrackerOutput, OrdersFilesNumericallyRootFirstThenSubfoldersByName) {
  write_frame("output_pp_10.json", 1);
  write_frame("output_pp_9.json", 2);
  write_frame("output_pp_100.json", 3);
  write_frame("b/output_pp_0.json", 4);
  write_frame("a/output_pp_5.json", 5);
  write_frame("a/deeper/output_pp_1.json", 6);
  write_frame("notes.json", 7);
  write_frame("output_pp_final.json", 8);
  write_frame("output_pp_7.JSON", 9);
  const auto loaded = load();
  ASSERT_TRUE(loaded.kovra_annotation_data);
  const auto& clip = *loaded.kovra_annotation_data;
  std::vector<std::int64_t> frame_indices;
  std::vector<int> columns;
  for (const auto& [position, record] : clip) {
    EXPECT_EQ(position, static_cast<std::int64_t>(frame_indices.size()));
    frame_indices.push_back(record.frame_index);
    columns.push_back(record.masks_dict.at("Box0").bounds().x);
    EXPECT_TRUE(record.intersections_df.has_value());
    EXPECT_EQ(record.image_path, image_path_);
  }
  EXPECT_EQ(frame_indices, (std::vector<std::int64_t>{9, 10, 100, 5, 1, 0}));
  EXPECT_EQ(columns, (std::vector<int>{2, 1, 3, 5, 6, 4}));
  EXPECT_EQ(clip.at(0).json_path, dir_.path().string() + "/output_pp_9.json");
  EXPECT_EQ(clip.at(4).json_path, dir_.path().string() + "/a/deeper/output_pp_1.json");
  ASSERT_TRUE(loaded.last_frame);
  EXPECT_EQ(loaded.last_frame->frame_index, 0);
}

// A clip's crops share large blocks of memory: a mask kept after its clip (read on two threads)
// is gone still holds its own pixels, those a fresh load gives.
TEST_F(TrackerOutput, MasksOutliveTheirClip) {
  for (int i = 0; i < 40; ++i) write_frame("output_pp_" + std::to_string(i) + ".json", i % 40);
  Mask kept;
  {
    const auto clip = kovra_utils::get_kovra_annotation_data("unused", false, 0,
                                                             dir_.path().string(), 2);
    kept = clip.kovra_annotation_data->at(7).masks_dict.at("Box0");
  }
  const Mask again = kovra_utils::get_kovra_annotation_data("unused", false, 0,
                                                            dir_.path().string())
                         .kovra_annotation_data->at(7)
                         .masks_dict.at("Box0");
  EXPECT_EQ(kept, again);
  EXPECT_EQ(kept.bounds(), cv::Rect(7, 3, 1, 13));
  EXPECT_EQ(cv::countNonZero(kept.dense()), kept.area());
}

// A load on several threads stops at the calling thread's cancellation check too.
TEST_F(TrackerOutput, ThreadedLoadStopsWhenCancelled) {
  for (int i = 0; i < 40; ++i) write_frame("output_pp_" + std::to_string(i) + ".json", i % 40);
  int checks = 0;
  const kovra_utils::CancellationCheck stop([&] {
    if (++checks == 3) throw std::runtime_error("stopped");
  });
  EXPECT_THROW(
      kovra_utils::get_kovra_annotation_data("unused", false, 0, dir_.path().string(), 2),
      std::runtime_error);
  EXPECT_EQ(checks, 3);
}

TEST_F(TrackerOutput, LoadClipRaisesWhereTheLoaderPrintsAndWarns) {
  const std::string root = dir_.path().string();
  kovra_test::expect_error_containing<FileError>(
      [&] { kovra_utils::load_clip(root + "/missing"); }, {root + "/missing", "does not exist"});
  kovra_test::expect_error_containing<FileError>(
      [&] { kovra_utils::load_clip(root); }, {"no annotation files", root});
  write_frame("output_pp_0.json", 1);
  write_frame("output_pp_1.json", 2);
  {
    CoutCapture out;
    EXPECT_EQ(kovra_utils::load_clip(root).size(), 2U);
    EXPECT_EQ(out.text(), "");
  }
  write_frame("second/output_pp_01.json", 3);  // numbers compare as numbers: 01 is 1
  const std::string first = root + "/output_pp_1.json";
  const std::string second = root + "/second/output_pp_01.json";
  kovra_test::expect_error_containing<ContentError>(
      [&] { kovra_utils::load_clip(root); }, {"frame number 1 occurs in both " + first + " and " + second});
  CoutCapture out;
  ASSERT_TRUE(load().kovra_annotation_data);
  EXPECT_EQ(out.lines(), std::vector<std::string>{"Warning: frame number 1 occurs in both " + first +
                                                  " and " + second});
}

TEST_F(TrackerOutput, EqualNumbersAreOrderedByName) {
  write_frame("b_3.json", 1);
  write_frame("output_pp_3.json", 2);
  write_frame("a_3.json", 3);
  kovra_test::expect_error_containing<ContentError>([&] { load(); },
                                                    {"a_3.json", "cannot read a frame number"});
}

TEST_F(TrackerOutput, SingleFrameModeAndOutOfRangePosition) {
  for (int n = 0; n < 10; ++n) write_frame("output_pp_" + std::to_string(n) + ".json", n);
  auto loaded = load(3);
  ASSERT_TRUE(loaded.kovra_annotation_data);
  ASSERT_EQ(loaded.kovra_annotation_data->size(), 1u);
  const auto& record = loaded.kovra_annotation_data->at(3);
  EXPECT_EQ(record.frame_index, 3);
  EXPECT_FALSE(record.intersections_df.has_value());
  ASSERT_TRUE(loaded.last_frame);
  EXPECT_EQ(loaded.last_frame->json_path, record.json_path);

  loaded = load(10);
  ASSERT_TRUE(loaded.kovra_annotation_data);
  EXPECT_TRUE(loaded.kovra_annotation_data->empty());
  EXPECT_FALSE(loaded.last_frame);

  loaded = load(-1);
  EXPECT_EQ(loaded.kovra_annotation_data->size(), 10u);
  EXPECT_EQ(loaded.last_frame->frame_index, 9);
}

TEST_F(TrackerOutput, SharedObjectIdKeepsFirstPositionAndLastMask) {
  write_text(dir_ / "output_pp_0.json",
             annotation_text({detection(3, {"0 0.1 0.1"}), detection(1, {"0 0.2 0.2"}),
                              detection(3, {"0 0.5 0.5 0.6 0.5"})},
                             image_path_));
  const auto loaded = load();
  const auto& record = loaded.kovra_annotation_data->at(0);
  std::vector<std::string> keys;
  for (const auto& [key, mask] : record.masks_dict) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"Box2", "Box0"}));
  EXPECT_EQ(record.masks_dict.at("Box2").bounds(), cv::Rect(20, 15, 5, 1));
  EXPECT_EQ(record.mask_areas.at("Box2"), 5);
  EXPECT_EQ(record.intersections_df->keys(), keys);
}

TEST_F(TrackerOutput, EmptyFolderPrintsMessage) {
  const std::string folder = (dir_ / "empty").string();
  std::filesystem::create_directories(folder);
  CoutCapture capture;
  const auto loaded = kovra_utils::get_kovra_annotation_data("", false, 0, folder);
  EXPECT_FALSE(loaded.last_frame);
  EXPECT_FALSE(loaded.kovra_annotation_data);
  EXPECT_EQ(capture.text(),
            "No JSON files found in " + folder + ". Please check the directory and try again.\n");
}

TEST_F(TrackerOutput, EmptyDetectionsGiveEmptyRecord) {
  write_text(dir_ / "output_pp_0.json", annotation_text({}, image_path_));
  const auto loaded = load();
  const auto& record = loaded.kovra_annotation_data->at(0);
  EXPECT_TRUE(record.masks_dict.empty());
  EXPECT_TRUE(record.mask_areas.empty());
  EXPECT_TRUE(record.intersections_df->empty());
}

TEST_F(TrackerOutput, FailuresNameTheFile) {
  write_frame("output_pp_0.json", 1, (dir_ / "missing.jpg").string());
  kovra_test::expect_error_containing<FileError>([&] { load(); },
                                                 {"missing.jpg", "output_pp_0.json"});
  write_frame("output_pp_0.json", 1);
  write_text(dir_ / "output_pp_1.json", "{\"image_path\": \"x\", \"detections\": [{}]}");
  kovra_test::expect_error_containing<ContentError>([&] { load(); },
                                                    {"output_pp_1.json", "\"formatted_polygon\""});
  // Single-frame mode reads only the first and the selected file.
  EXPECT_NO_THROW(load(2));
  write_text(dir_ / "output_pp_0.json", "1e999");
  kovra_test::expect_error_containing<ContentError>([&] { load(); },
                                                    {"output_pp_0.json", "cannot read JSON"});
}

TEST_F(TrackerOutput, OnlyRegularFilesQualify) {
  write_frame("output_pp_2.json", 3);
  ASSERT_EQ(::mkfifo((dir_ / "output_pp_1.json").c_str(), 0600), 0);  // reading it would block
  std::filesystem::create_directories(dir_ / "output_pp_0.json");
  const auto loaded = load();
  ASSERT_TRUE(loaded.kovra_annotation_data);
  EXPECT_EQ(loaded.kovra_annotation_data->size(), 1u);
}

// A clip of twelve frames, three overlapping detections each, moving from frame to frame.
void write_moving_clip(const std::filesystem::path& folder, const std::string& image_path) {
  for (int n = 0; n < 12; ++n) {
    std::vector<json> detections;
    for (int k = 0; k < 3; ++k) {
      const double x = 0.05 * k + 0.02 * n;
      const double y = 0.1 + 0.03 * k;
      detections.push_back(detection(k + 1, {"0 " + std::to_string(x) + " " + std::to_string(y) + " " +
                                             std::to_string(x + 0.3) + " " + std::to_string(y) + " " +
                                             std::to_string(x + 0.2) + " " + std::to_string(y + 0.5)}));
    }
    write_text(folder / ("output_pp_" + std::to_string(n) + ".json"),
               annotation_text(detections, image_path));
  }
}

TEST_F(TrackerOutput, SeveralThreadsLoadTheSameClip) {
  write_moving_clip(dir_.path(), image_path_);
  const auto serial = load();
  for (const int threads : {2, 5}) {
    const auto parallel =
        kovra_utils::get_kovra_annotation_data("", false, 0, dir_.path().string(), threads);
    ASSERT_EQ(parallel.kovra_annotation_data->size(), serial.kovra_annotation_data->size());
    for (const auto& [position, expected] : *serial.kovra_annotation_data) {
      const auto& record = parallel.kovra_annotation_data->at(position);
      EXPECT_EQ(record.json_path, expected.json_path);
      EXPECT_EQ(record.frame_index, expected.frame_index);
      EXPECT_EQ(record.mask_areas, expected.mask_areas);
      EXPECT_EQ(record.masks_dict, expected.masks_dict);
      EXPECT_EQ(record.intersections_df->values(), expected.intersections_df->values());
    }
    EXPECT_EQ(parallel.last_frame->json_path, serial.last_frame->json_path);
  }
  kovra_test::expect_error_message<ArgumentError>(
      [&] { kovra_utils::get_kovra_annotation_data("", false, 0, dir_.path().string(), 0); },
      "threads must be at least 1, got 0");
}

// Whichever thread meets its failure first, the call reports the file a reading in order meets
// first.
TEST_F(TrackerOutput, SeveralThreadsReportTheEarliestFailure) {
  write_moving_clip(dir_.path(), image_path_);
  write_text(dir_ / "output_pp_4.json", R"({"image_path": "x", "detections": [{}]})");
  write_text(dir_ / "output_pp_10.json", "{");
  for (const int threads : {1, 2, 3}) {
    kovra_test::expect_error_containing<ContentError>(
        [&] { kovra_utils::get_kovra_annotation_data("", false, 0, dir_.path().string(), threads); },
        {"output_pp_4.json", "\"formatted_polygon\""});
  }
}

// The frame size comes from the image header: no decoding of a frame that declares 30000 x 30000.
TEST_F(TrackerOutput, FrameSizeComesFromTheImageHeader) {
  const std::string huge = (dir_ / "huge.png").string();
  write_text(huge, kovra_test::png_header_only(30000, 30000));
  write_frame("output_pp_0.json", 1, huge);
  const auto loaded = load();
  ASSERT_TRUE(loaded.kovra_annotation_data);
  EXPECT_EQ(loaded.kovra_annotation_data->at(0).masks_dict.at("Box0").size(),
            cv::Size(30000, 30000));
}

}  // namespace

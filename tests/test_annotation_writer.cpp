// Writing masks as annotation files and reading them back.

#include "capture.hpp"
#include "expect_error.hpp"

#include <kovra_utils/annotation.hpp>

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kovra_test::read_text;
using kovra_test::TempDir;
using kovra_utils::ArgumentError;
using kovra_utils::Mask;
using kovra_utils::VideoSegments;

// The mask with every hole filled: background pixels not 4-connected to the frame's outside.
cv::Mat fill_holes(const cv::Mat& plane) {
  cv::Mat padded;
  cv::copyMakeBorder(plane, padded, 1, 1, 1, 1, cv::BORDER_CONSTANT, 0);
  cv::floodFill(padded, cv::Point(0, 0), 2, nullptr, 0, 0, 4);
  cv::Mat filled = padded(cv::Rect(1, 1, plane.cols, plane.rows)) != 2;
  return filled / 255;
}

enum class Shape { ellipses, noise, lines, blocks };

cv::Mat random_plane(std::mt19937& rng, cv::Size size, Shape shape) {
  auto uniform = [&](int low, int high) { return std::uniform_int_distribution(low, high)(rng); };
  cv::Mat plane = cv::Mat::zeros(size, CV_8U);
  const int w = size.width;
  const int h = size.height;
  switch (shape) {
    case Shape::ellipses:
      for (int i = uniform(1, 4); i > 0; --i) {
        cv::ellipse(plane, {uniform(0, w - 1), uniform(0, h - 1)},
                    {uniform(0, w / 2), uniform(0, h / 2)}, uniform(0, 179), 0, 360, 1, cv::FILLED);
      }
      break;
    case Shape::noise: {  // many parts, touching only at corners, single pixels
      cv::Mat values(size, CV_8U);
      cv::randu(values, 0, 100);
      plane = values < uniform(5, 60);
      plane /= 255;
      break;
    }
    case Shape::lines:  // one pixel wide, every slope
      for (int i = uniform(1, 4); i > 0; --i) {
        cv::line(plane, {uniform(0, w - 1), uniform(0, h - 1)},
                 {uniform(0, w - 1), uniform(0, h - 1)}, 1, 1, cv::LINE_8);
      }
      break;
    case Shape::blocks: {  // coarse noise: large ragged parts, many reaching the border
      cv::Mat small(std::max(h / 4, 1), std::max(w / 4, 1), CV_8U);
      cv::randu(small, 0, 2);
      cv::resize(small, plane, size, 0, 0, cv::INTER_NEAREST);
      break;
    }
  }
  return plane;
}

std::vector<Mask> read_back(const fs::path& file, cv::Size size) {
  return kovra_utils::process_json_and_generate_masks(file.string(), size.height, size.width)
      .masks;
}

class RoundTrip : public ::testing::TestWithParam<cv::Size> {
 protected:
  TempDir tmp;
};

// Masks without holes come back pixel for pixel; with holes, they come back with the holes
// filled and nothing else changed.
TEST_P(RoundTrip, MasksReadBackAsWrittenWithHolesFilled) {
  const cv::Size size = GetParam();
  std::mt19937 rng(static_cast<unsigned>(size.area()));
  cv::setRNGSeed(size.area());
  VideoSegments segments;
  std::vector<cv::Mat> planes;
  for (int i = 0; i < 48; ++i) {
    cv::Mat plane = random_plane(rng, size, static_cast<Shape>(i % 4));
    if (i % 2 == 0) plane = fill_holes(plane);
    planes.push_back(plane);
    segments[i / 8][i % 8 + 1] = Mask::from_dense(plane);
  }
  const std::vector<std::string> names(6, "frame.jpg");
  const auto files = kovra_utils::write_annotation_files(segments, names, tmp.path());
  ASSERT_EQ(files.size(), 6u);

  std::int64_t hole_pixels = 0;
  std::int64_t set_pixels = 0;
  for (std::size_t f = 0; f < files.size(); ++f) {
    const auto masks = read_back(files[f], size);
    ASSERT_EQ(masks.size(), 8u);
    for (std::size_t k = 0; k < masks.size(); ++k) {
      const cv::Mat& input = planes[f * 8 + k];
      const cv::Mat filled = fill_holes(input);
      const std::int64_t holes = cv::countNonZero(filled) - cv::countNonZero(input);
      EXPECT_EQ(masks[k], Mask::from_dense(filled)) << "frame " << f << " object " << k + 1;
      if (holes == 0) {
        EXPECT_EQ(masks[k], Mask::from_dense(input));
      }
      hole_pixels += holes;
      set_pixels += holes > 0 ? cv::countNonZero(input) : 0;
    }
  }
  if (hole_pixels > 0) {
    std::cout << size << ": masks with holes keep " << set_pixels << " of "
              << set_pixels + hole_pixels << " pixels set after reading back (IoU "
              << static_cast<double>(set_pixels) / static_cast<double>(set_pixels + hole_pixels)
              << ")\n";
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip,
                         ::testing::Values(cv::Size(1, 1), cv::Size(7, 1), cv::Size(1, 9),
                                           cv::Size(17, 13), cv::Size(64, 48),
                                           cv::Size(320, 240)));

TEST(RoundTrip, AnAnimalWithAHoleReadsBackFilled) {
  TempDir tmp;
  const cv::Size size(640, 480);
  cv::Mat plane = cv::Mat::zeros(size, CV_8U);
  cv::ellipse(plane, {320, 240}, {110, 58}, 25, 0, 360, 1, cv::FILLED);
  cv::circle(plane, {300, 230}, 12, 0, cv::FILLED);  // a dark marking inside the animal
  VideoSegments segments;
  segments[0][1] = Mask::from_dense(plane);
  const auto files = kovra_utils::write_annotation_files(segments, {"f.jpg"}, tmp.path());
  const Mask back = read_back(files.at(0), size).at(0);
  EXPECT_EQ(back, Mask::from_dense(fill_holes(plane)));
  EXPECT_EQ(back.area() - segments[0][1].area(), 441);  // the marking's pixels
}

TEST(WriteAnnotationFiles, WritesTheTrackerLayout) {
  TempDir tmp;
  const cv::Size size(8, 4);
  cv::Mat square = cv::Mat::zeros(size, CV_8U);
  square(cv::Rect(2, 1, 2, 2)).setTo(1);
  VideoSegments segments;
  segments[1][3] = Mask::from_dense(square);
  segments[1][1] = Mask(size);
  segments[0][3] = Mask(size);
  const auto files = kovra_utils::write_annotation_files(
      segments, {"frames/0000.jpg", "frames/0001.jpg"}, tmp / "out");
  ASSERT_EQ(files, (std::vector<fs::path>{tmp / "out" / "output_pp_1.json",
                                          tmp / "out" / "output_pp_0.json"}));
  EXPECT_EQ(read_text(files[0]), R"({
    "image_path": "frames/0001.jpg",
    "detections": [
        {
            "object_id": 3,
            "xyxy": [
                [
                    2,
                    1,
                    3,
                    2
                ]
            ],
            "formatted_polygon": [
                "0 0.312500 0.375000 0.312500 0.625000 0.437500 0.625000 0.437500 0.375000"
            ]
        },
        {
            "object_id": 1,
            "xyxy": [
                [
                    0,
                    0,
                    0,
                    0
                ]
            ],
            "formatted_polygon": []
        }
    ]
})");
  // The loader reads the folder back as the clip: frames in number order, keys from the ids.
  fs::create_directories(tmp / "frames");
  cv::imwrite((tmp / "frames" / "0000.jpg").string(), cv::Mat::zeros(size, CV_8UC3));
  const fs::path cwd = fs::current_path();
  fs::current_path(tmp.path());
  const auto loaded = kovra_utils::get_kovra_annotation_data("", false, 0, "out");
  fs::current_path(cwd);
  ASSERT_TRUE(loaded.kovra_annotation_data);
  ASSERT_EQ(loaded.kovra_annotation_data->size(), 2u);
  const auto& last = loaded.kovra_annotation_data->at(1);
  EXPECT_EQ(last.frame_index, 1);
  EXPECT_EQ(last.masks_dict.at("Box2"), segments[1][3]);
  EXPECT_TRUE(last.masks_dict.at("Box0").is_clear());
}

TEST(WriteAnnotationFiles, ReplacesOlderFilesAndLeavesNoTemporaries) {
  TempDir tmp;
  kovra_test::write_text(tmp / "output_pp_0.json", "old");
  VideoSegments segments;
  segments[0][1] = Mask(cv::Size(3, 3));
  kovra_utils::write_annotation_files(segments, {"a.jpg"}, tmp.path());
  EXPECT_NE(read_text(tmp / "output_pp_0.json"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);
}

TEST(WriteAnnotationFiles, RejectsBadInputBeforeWritingAnything) {
  TempDir tmp;
  const Mask small(cv::Size(4, 4));
  const Mask large(cv::Size(5, 4));
  struct Case {
    VideoSegments segments;
    std::string message;
  };
  std::vector<Case> cases(3);
  cases[0].segments[0][1] = small;
  cases[0].segments[2][1] = small;
  cases[0].message = "frame 2 is not a position in frame_names (2 names)";
  cases[1].segments[-1][1] = small;
  cases[1].message = "frame -1 is not a position in frame_names";
  cases[2].segments[0][1] = small;
  cases[2].segments[1][7] = large;
  cases[2].message = "the mask of object 7 on frame 1 is 4 x 5, the clip's masks are 4 x 4";
  for (const Case& c : cases) {
    kovra_test::expect_error_containing<ArgumentError>(
        [&] { kovra_utils::write_annotation_files(c.segments, {"a", "b"}, tmp / "out"); },
        c.message);
    EXPECT_FALSE(fs::exists(tmp / "out"));
  }
}

TEST(MaskPolygons, OnePolygonPerPartThroughPixelCentres) {
  cv::Mat plane = cv::Mat::zeros(cv::Size(10, 5), CV_8U);
  plane.at<std::uint8_t>(0, 0) = 1;
  plane.at<std::uint8_t>(4, 9) = 1;
  const auto polygons = kovra_utils::mask_polygons(Mask::from_dense(plane));
  ASSERT_EQ(polygons.size(), 2u);
  EXPECT_EQ(polygons[0], "0 0.950000 0.900000");
  EXPECT_EQ(polygons[1], "0 0.050000 0.100000");
  EXPECT_TRUE(kovra_utils::mask_polygons(Mask(cv::Size(10, 5))).empty());
}

}  // namespace

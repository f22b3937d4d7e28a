#include "image_header.hpp"

#include <kovra_utils/types.hpp>

#include "capture.hpp"
#include "expect_error.hpp"
#include "image_files.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

using kovra_test::TempDir;
using kovra_test::write_text;
using kovra_utils::image_header::Orientation;
using kovra_utils::image_header::read_size;
using kovra_test::encoded;
using kovra_test::jpeg_with_orientation;
using kovra_test::png_header_only;
using kovra_test::png_with_orientation;
using Bytes = std::string;

// The header size must be what decoding the file gives, with and without EXIF orientation.
TEST(ImageHeader, SizeMatchesTheDecoder) {
  TempDir dir;
  const cv::Mat image(30, 50, CV_8UC3, cv::Scalar(10, 20, 30));
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"plain.png", encoded(".png", image)},
      {"plain.jpg", encoded(".jpg", image)},
      {"gray.jpg", encoded(".jpg", cv::Mat(7, 9, CV_8UC1, cv::Scalar(3)))},
      {"turned.png", png_with_orientation(image, 6)},
      {"mirrored.png", png_with_orientation(image, 2)},
      {"turned.jpg", jpeg_with_orientation(image, 8)},
      {"flipped.jpg", jpeg_with_orientation(image, 3)},
      {"plain.bmp", encoded(".bmp", image)},
  };
  for (const auto& [name, bytes] : files) {
    const std::string path = (dir / name).string();
    write_text(path, bytes);
    const auto applied = read_size(path, Orientation::applied);
    const auto ignored = read_size(path, Orientation::ignored);
    ASSERT_TRUE(applied && ignored) << name;
    EXPECT_EQ(*applied, cv::imread(path, cv::IMREAD_COLOR).size()) << name;
    EXPECT_EQ(*ignored,
              cv::imread(path, cv::IMREAD_GRAYSCALE | cv::IMREAD_IGNORE_ORIENTATION).size())
        << name;
  }
}

TEST(ImageHeader, UnreadableFilesHaveNoSize) {
  TempDir dir;
  write_text(dir / "text.png", "not an image");
  write_text(dir / "cut.jpg", "\xFF\xD8\xFF\xE0");
  ASSERT_EQ(::mkfifo((dir / "fifo.png").c_str(), 0600), 0);  // would block a reader
  for (const char* name : {"text.png", "cut.jpg", "missing.png", "fifo.png"}) {
    EXPECT_FALSE(read_size((dir / name).string(), Orientation::applied)) << name;
  }
  EXPECT_THROW(kovra_utils::image_header::require_decodable((dir / "fifo.png").string()),
               kovra_utils::FileError);
}

// A header may declare a size whose decoding would take gigabytes.
TEST(ImageHeader, DeclaredSizeIsReadWithoutDecodingAndLimitedBeforeDecoding) {
  TempDir dir;
  const std::string huge = (dir / "huge.png").string();
  write_text(huge, png_header_only(30000, 30000));
  EXPECT_EQ(read_size(huge, Orientation::applied), cv::Size(30000, 30000));
  kovra_test::expect_error_containing<kovra_utils::FileError>(
      [&] { kovra_utils::image_header::require_decodable(huge); },
      {huge, "30000 x 30000", "too large"});
  const std::string small = (dir / "small.png").string();
  write_text(small, png_header_only(11585, 11585));  // just under the limit
  EXPECT_NO_THROW(kovra_utils::image_header::require_decodable(small));
}

}  // namespace

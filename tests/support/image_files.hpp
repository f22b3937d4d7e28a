#pragma once

// Image files built byte by byte: headers that declare any size, and EXIF orientation tags.

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>

namespace kovra_test {

/// A PNG that holds only its signature, an IHDR header declaring `width` x `height` RGB pixels,
/// and its end: no pixel data.
std::string png_header_only(std::uint32_t width, std::uint32_t height);

/// The PNG of `image` with an eXIf chunk holding `orientation`, placed after the image data.
std::string png_with_orientation(const cv::Mat& image, int orientation);

/// The JPEG of `image` with an EXIF segment holding `orientation` after the start marker.
std::string jpeg_with_orientation(const cv::Mat& image, int orientation);

/// `image` encoded in the format of `extension` (".png", ".jpg", ".bmp").
std::string encoded(const std::string& extension, const cv::Mat& image);

}  // namespace kovra_test

#include "image_files.hpp"

#include <opencv2/imgcodecs.hpp>

#include <vector>

namespace kovra_test {

namespace {

std::uint32_t crc32(const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFFU;
  for (const char c : data) {
    crc ^= static_cast<unsigned char>(c);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
  }
  return ~crc;
}

std::string big_endian(std::uint32_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

std::string png_chunk(const std::string& type, const std::string& data) {
  return big_endian(static_cast<std::uint32_t>(data.size()), 4) + type + data +
         big_endian(crc32(type + data), 4);
}

// A big-endian TIFF block whose first directory holds only the orientation tag.
std::string exif_block(int orientation) {
  return std::string("MM\0\x2a", 4) + big_endian(8, 4) + big_endian(1, 2) +
         big_endian(0x0112, 2) + big_endian(3, 2) + big_endian(1, 4) +
         big_endian(static_cast<std::uint32_t>(orientation), 2) + std::string(6, '\0');
}

}  // namespace

std::string encoded(const std::string& extension, const cv::Mat& image) {
  std::vector<std::uint8_t> buffer;
  cv::imencode(extension, image, buffer);
  return std::string(buffer.begin(), buffer.end());
}

std::string png_header_only(std::uint32_t width, std::uint32_t height) {
  const std::string ihdr =
      big_endian(width, 4) + big_endian(height, 4) + std::string("\x08\x02\0\0\0", 5);
  return std::string("\x89PNG\r\n\x1a\n", 8) + png_chunk("IHDR", ihdr) + png_chunk("IEND", "");
}

std::string png_with_orientation(const cv::Mat& image, int orientation) {
  const std::string png = encoded(".png", image);
  const std::size_t iend = png.size() - 12;
  return png.substr(0, iend) + png_chunk("eXIf", exif_block(orientation)) + png.substr(iend);
}

std::string jpeg_with_orientation(const cv::Mat& image, int orientation) {
  const std::string jpeg = encoded(".jpg", image);
  const std::string payload = std::string("Exif\0\0", 6) + exif_block(orientation);
  return jpeg.substr(0, 2) + "\xFF\xE1" +
         big_endian(static_cast<std::uint32_t>(payload.size() + 2), 2) + payload +
         jpeg.substr(2);
}

}  // namespace kovra_test

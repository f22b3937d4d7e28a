#include "image_header.hpp"

#include <kovra_utils/types.hpp>

#include <opencv2/imgcodecs.hpp>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace kovra_utils::image_header {

namespace {

// Largest EXIF block read; the orientation tag sits in the first directory.
constexpr std::uint32_t kMaxExifBytes = 1 << 16;

constexpr unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::uint32_t big_endian(const unsigned char* p, int bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
  return value;
}

std::uint32_t little_endian(const unsigned char* p, int bytes) {
  std::uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

bool read_bytes(std::istream& in, unsigned char* out, std::size_t count) {
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
  return in.gcount() == static_cast<std::streamsize>(count);
}

std::vector<unsigned char> read_block(std::istream& in, std::uint32_t count) {
  std::vector<unsigned char> block(std::min(count, kMaxExifBytes));
  if (!read_bytes(in, block.data(), block.size())) return {};
  in.seekg(count - static_cast<std::streamoff>(block.size()), std::ios::cur);
  return block;
}

// The orientation tag (1..8) of a TIFF-structured EXIF block; 1 when absent or malformed.
int exif_orientation(const std::vector<unsigned char>& tiff) {
  if (tiff.size() < 8) return 1;
  const bool little = tiff[0] == 'I' && tiff[1] == 'I';
  if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 1;
  const auto number = [&](std::size_t at, int bytes) {
    return little ? little_endian(&tiff[at], bytes) : big_endian(&tiff[at], bytes);
  };
  const std::uint32_t directory = number(4, 4);
  if (directory > tiff.size() - 2) return 1;
  const std::uint32_t entries = number(directory, 2);
  for (std::uint32_t k = 0; k < entries; ++k) {
    const std::size_t entry = directory + 2 + std::size_t{12} * k;
    if (entry + 12 > tiff.size()) return 1;
    if (number(entry, 2) == 0x0112) {
      const std::uint32_t value = number(entry + 8, 2);
      return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
  }
  return 1;
}

// Orientations 5 to 8 turn the image a quarter: width and height swap.
cv::Size oriented(cv::Size stored, int orientation) {
  return orientation >= 5 ? cv::Size(stored.height, stored.width) : stored;
}

std::optional<cv::Size> png_size(std::istream& in, Orientation orientation) {
  std::array<unsigned char, 16> ihdr{};
  if (!read_bytes(in, ihdr.data(), ihdr.size()) || std::memcmp(&ihdr[4], "IHDR", 4) != 0) {
    return std::nullopt;
  }
  const cv::Size stored(static_cast<int>(big_endian(&ihdr[8], 4)),
                        static_cast<int>(big_endian(&ihdr[12], 4)));
  if (stored.width <= 0 || stored.height <= 0) return std::nullopt;
  if (orientation == Orientation::ignored) return stored;
  in.seekg(std::streamoff{big_endian(&ihdr[0], 4)} - 4, std::ios::cur);  // rest of IHDR, CRC
  // Later chunks may carry an eXIf block anywhere before IEND.
  std::array<unsigned char, 8> head{};
  while (read_bytes(in, head.data(), head.size())) {
    const std::uint32_t length = big_endian(&head[0], 4);
    if (std::memcmp(&head[4], "IEND", 4) == 0) break;
    if (std::memcmp(&head[4], "eXIf", 4) == 0) {
      return oriented(stored, exif_orientation(read_block(in, length)));
    }
    in.seekg(std::streamoff{length} + 4, std::ios::cur);
  }
  return stored;
}

bool is_frame_header(int marker) {
  // SOF0..SOF15 except DHT (C4), JPG (C8) and DAC (CC).
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// The next marker code, skipping stray bytes and fill bytes before it as decoders do; EOF at
// the end of the file.
int next_marker(std::istream& in) {
  int c = in.get();
  while (c != std::char_traits<char>::eof() && c != 0xFF) c = in.get();
  while (c == 0xFF) c = in.get();
  return c;
}

std::optional<cv::Size> jpeg_size(std::istream& in, Orientation orientation) {
  std::optional<cv::Size> stored;
  int exif = 1;
  bool exif_seen = false;
  for (int marker = next_marker(in); marker != std::char_traits<char>::eof();
       marker = next_marker(in)) {
    if (marker == 0xDA || marker == 0xD9) break;  // image data follows: no more headers
    if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker <= 0x01) continue;
    std::array<unsigned char, 2> length_bytes{};
    if (!read_bytes(in, length_bytes.data(), 2)) break;
    const std::uint32_t length = big_endian(length_bytes.data(), 2);
    if (length < 2) break;
    if (is_frame_header(marker)) {
      std::array<unsigned char, 5> frame{};
      if (length < 7 || !read_bytes(in, frame.data(), frame.size())) break;
      stored = cv::Size(static_cast<int>(big_endian(&frame[3], 2)),
                        static_cast<int>(big_endian(&frame[1], 2)));
      in.seekg(std::streamoff{length} - 7, std::ios::cur);
    } else if (marker == 0xE1 && !exif_seen) {
      const std::vector<unsigned char> block = read_block(in, length - 2);
      if (block.size() >= 6 && std::memcmp(block.data(), "Exif\0\0", 6) == 0) {
        exif_seen = true;
        exif = exif_orientation(std::vector<unsigned char>(block.begin() + 6, block.end()));
      }
    } else {
      in.seekg(std::streamoff{length} - 2, std::ios::cur);
    }
  }
  if (!stored || stored->width <= 0 || stored->height <= 0) return std::nullopt;
  return orientation == Orientation::applied ? oriented(*stored, exif) : *stored;
}

// Reading a FIFO or a device could block or never end.
bool is_regular_file(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

// The size from a PNG or JPEG header; absent for other files and headers not understood.
std::optional<cv::Size> size_from_header(const std::string& path, Orientation orientation) {
  std::ifstream in(path, std::ios::binary);
  std::array<unsigned char, 8> signature{};
  if (!in || !read_bytes(in, signature.data(), signature.size())) return std::nullopt;
  if (std::memcmp(signature.data(), kPng, 8) == 0) {
    return png_size(in, orientation);
  }
  if (signature[0] == 0xFF && signature[1] == 0xD8) {
    in.seekg(2);
    return jpeg_size(in, orientation);
  }
  return std::nullopt;
}

}  // namespace

std::optional<cv::Size> read_size(const std::string& path, Orientation orientation) {
  if (!is_regular_file(path)) return std::nullopt;
  if (auto size = size_from_header(path, orientation)) return size;
  // Other formats, and headers this reader does not follow, are left to the decoder.
  const cv::Mat image = cv::imread(path, orientation == Orientation::applied
                                             ? cv::IMREAD_COLOR
                                             : cv::IMREAD_GRAYSCALE | cv::IMREAD_IGNORE_ORIENTATION);
  if (image.empty()) return std::nullopt;
  return image.size();
}

void require_decodable(const std::string& path) {
  std::error_code error;
  if (std::filesystem::exists(path, error) && !is_regular_file(path)) {
    throw FileError("image " + path + " is not a regular file");
  }
  const std::optional<cv::Size> size = size_from_header(path, Orientation::ignored);
  if (!size) return;
  const std::int64_t pixels = std::int64_t{size->width} * size->height;
  if (pixels > kMaxImagePixels) {
    throw FileError("image " + path + " is too large to decode: " + std::to_string(size->width) +
                    " x " + std::to_string(size->height) + " pixels, more than the limit of " +
                    std::to_string(kMaxImagePixels));
  }
}

bool may_hold_alpha(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  // Signature, IHDR length and type, width, height, bit depth, colour type.
  std::array<unsigned char, 26> head{};
  if (!in || !read_bytes(in, head.data(), 2)) return true;
  if (head[0] == 0xFF && head[1] == 0xD8) return false;
  if (!read_bytes(in, head.data() + 2, head.size() - 2) || std::memcmp(head.data(), kPng, 8) != 0 ||
      std::memcmp(&head[12], "IHDR", 4) != 0) {
    return true;
  }
  const unsigned char colour_type = head[25];
  return colour_type != 0 && colour_type != 2;  // 0 gray, 2 RGB; palettes may carry alpha
}

}  // namespace kovra_utils::image_header

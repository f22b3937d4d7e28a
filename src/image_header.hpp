#pragma once

// Image sizes read from file headers, so that a file's size is known without decoding its
// pixels, and the size limit applied before any frame image is decoded.

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace kovra_utils::image_header {

/// Largest image, in pixels (width x height), that the library decodes: 2^27, about 134
/// million pixels or sixteen 4K frames. A larger image would take gigabytes in its RGBA copies.
inline constexpr std::int64_t kMaxImagePixels = std::int64_t{1} << 27;

/// Whether an EXIF orientation tag is honoured: `applied` gives the size cv::imread in colour
/// mode gives (a quarter turn swaps width and height), `ignored` the size as stored.
enum class Orientation { applied, ignored };

/// Width and height of the image in `path`. PNG and JPEG sizes come from the file's header and
/// markers without decoding; other formats are decoded. Absent when the file cannot be opened
/// or read as an image, or is not a regular file.
std::optional<cv::Size> read_size(const std::string& path, Orientation orientation);

/// Checks, before decoding, that the image in `path` is at most kMaxImagePixels large.
/// FileError naming the file and its size otherwise, and for a path that is not a regular file
/// (a FIFO would block the decoder). A file whose size cannot be read passes: the decoder
/// reports it.
void require_decodable(const std::string& path);

/// Whether the image in `path` may hold an alpha channel: false for JPEG files and for PNG files
/// whose header declares gray or RGB pixels; true otherwise (the decoder decides).
bool may_hold_alpha(const std::string& path);

}  // namespace kovra_utils::image_header

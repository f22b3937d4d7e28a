#pragma once

// Overlays, annotation rendering and repair, and analysis utilities.
//
// Images are cv::Mat with 8 bits per channel; each function says whether it takes and returns
// RGB, BGR or RGBA.

#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kovra_utils {

/// Shows an image (RGB, RGBA or single-channel); what "showing" means is the caller's choice.
using DisplayFunc = std::function<void(const cv::Mat&)>;

// ---- Image overlays -------------------------------------------------------------------------

/// The library's default display: the library has no window of its own, so it writes the image
/// as a PNG into the system's temporary folder.
void default_display(const cv::Mat& image);

/// Opaque colour (R, G, B) of seed `index`: the low bytes of the first three MT19937 outputs.
std::array<std::uint8_t, 3> generate_random_color(std::uint32_t index = 42);

/// `image` (RGB, RGBA or gray) with every mask filled in the colour of its position at alpha
/// 128, composited source-over; returns a new RGBA image.
cv::Mat draw_masks_on_image(const cv::Mat& image, const std::vector<Mask>& masks);

/// draw_masks_on_image plus, per mask, its inclusive bounding box (3-pixel outline) and a
/// labelled tab with its key; returns a new RGBA image.
cv::Mat img_bbx_drawing(const cv::Mat& image, const MasksDict& mask_dict);

// ---- Annotation rendering and repair --------------------------------------------------------

// ---- Analysis utilities ---------------------------------------------------------------------

/// Gray conversion of an RGB image, gamma table with exponent 1 / `gamma`, histogram
/// equalisation; returns a single-channel 8-bit image.
cv::Mat enhance_dark_text(const cv::Mat& image_pil, double gamma = 1.5);

}  // namespace kovra_utils

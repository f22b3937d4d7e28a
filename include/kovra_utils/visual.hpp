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

/// The paths of the files under `directory` whose names end with `ext` (case-sensitive), as
/// "<folder>/<name>": a folder's files in name order, then its subfolders in name order,
/// recursively (symbolic links to folders are listed as files' siblings but not entered).
/// A missing or unreadable folder contributes nothing.
std::vector<std::string> list_all_files(const std::string& directory, const std::string& ext);

/// Group name ("Noise", then "Cluster <label>" in order of first member) -> mask keys.
using ClusterGroups = OrderedMap<std::string, std::vector<std::string>>;

/// Groups masks by the centroid (truncated to whole pixels) of their largest external contour,
/// with DBSCAN: Euclidean distance at most `eps`, `min_samples` points (the point itself
/// included) make a core point, clusters numbered in the order their first core point is met
/// and each expanded fully before the next, so a shared border point joins the earlier
/// cluster. Masks without a contour of non-zero area are left out. "Noise" always comes first.
/// Throws ArgumentError when no mask has a centroid, `eps` is not positive or `min_samples` is
/// below 1.
ClusterGroups cluster_masks_and_print(const MasksDict& masks_dict, double eps = 100,
                                      int min_samples = 1);

/// Mean Farneback optical-flow magnitude inside each mask between `video_frames[0]` and
/// `video_frames[5]` (read as gray); 0 for an empty mask. Throws ArgumentError for fewer than
/// six paths or masks / frames of different sizes, FileError for an unreadable image.
OrderedMap<std::string, double> compute_motion_score_in_polygon(
    const std::vector<std::string>& video_frames, const MasksDict& masks_dict);

/// The intersection table as an annotated heat map figure: RGB, 700 x 500 (7 x 5 inches at
/// 100 dots per inch); cells to two decimals on a white-to-red scale fixed to 0..100, square
/// cells with gray separating lines, a colour bar, tick labels "Mask 0", "Mask 1" ..., title
/// "Intersection Heatmap %", x label "Mask 2", y label "Mask 1". Save it with cv::imwrite after
/// converting to BGR.
cv::Mat render_intersection_heatmap(const IntersectionTable& intersections_df);

/// Hands render_intersection_heatmap(intersections_df) to `display_func` and returns when it
/// returns.
void draw_intersection_heatmap(const IntersectionTable& intersections_df,
                               const DisplayFunc& display_func = default_display);

/// Gray conversion of an RGB (or RGBA) 8-bit image, gamma table with exponent 1 / `gamma`
/// (entries truncated), histogram equalisation; returns a single-channel 8-bit image.
/// Throws ArgumentError for another image type or a `gamma` that is not a positive number.
cv::Mat enhance_dark_text(const cv::Mat& image_pil, double gamma = 1.5);

}  // namespace kovra_utils

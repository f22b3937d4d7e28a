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

/// `image` (RGB, RGBA or gray) with every mask filled in the colour of its position i (seed
/// 42 + i) at alpha 128, later masks replacing earlier ones where they overlap, composited
/// source-over; returns a new RGBA image. Mask pixels outside the image are ignored.
cv::Mat draw_masks_on_image(const cv::Mat& image, const std::vector<Mask>& masks);

/// draw_masks_on_image plus, per mask, its inclusive bounding box (3-pixel outline) and a
/// labelled tab with its key; returns a new RGBA image.
cv::Mat img_bbx_drawing(const cv::Mat& image, const MasksDict& mask_dict);

/// Shows the mask of `object_id` in frame `frame_idx` as a plot would: its values scaled from
/// minimum to maximum through the viridis colour map, handed to `display` as an RGB image.
/// Throws std::out_of_range naming a missing frame or object.
void video_segments_mask_visual(const VideoSegments& video_segments, std::int64_t frame_idx,
                                std::int64_t object_id,
                                const DisplayFunc& display = default_display);

// ---- Annotation rendering and repair --------------------------------------------------------

// Both functions read a frame annotation file: "image_path" names the frame image (relative to
// the working directory), "detections" lists objects with "object_id", "xyxy" boxes and
// "formatted_polygon" strings of normalised coordinates. Malformed files throw ContentError
// naming the file and the member at fault; unreadable files throw FileError.

/// The identities ("object_id" values) of the objects to draw; absent means all of them.
using ObjectIds = std::optional<std::set<std::int64_t>>;

/// Renders the annotation file `json_path` over its frame image and returns the RGBA picture.
/// Each drawn detection gets a fresh random colour (channels 0..254 from a process-wide
/// generator, so colours differ between calls); its polygons are filled at alpha 100 on a
/// transparent overlay, replacing earlier fills where they meet. With `box_drawing`, its last
/// "xyxy" box is outlined 2 pixels wide and captioned "Box {object_id - 1}" on an opaque tab
/// above the box's top-left corner (font "arial.ttf" size 11, or the built-in font). The
/// overlay is composited source-over onto the frame (read in its stored mode: gray, RGB or
/// RGBA). When `save_path` is given and not empty the picture is also written there, in the
/// format of its extension, through a temporary file renamed over the target.
/// Throws ContentError for a detection without "object_id", a drawn detection without "xyxy" or
/// "formatted_polygon", a box without exactly four numbers, an odd coordinate count, a vertex
/// or box corner farther than 2^30 pixels, or (with `box_drawing`) an empty "xyxy"; FileError
/// for an unreadable file or frame image, or a picture that cannot be written.
cv::Mat retrieve_annotation(const std::string& json_path,
                            const std::optional<std::string>& save_path = std::nullopt,
                            bool box_drawing = false, const ObjectIds& object_ids = std::nullopt);

/// Repairs a file whose polygons were normalised with width and height swapped: every x is
/// multiplied by height / width and every y by width / height of the frame image (not
/// idempotent), written with six decimals after the identifier token, which is kept verbatim.
/// The whole document is written to `save_path` (default: `json_path`) with four-space
/// indentation, members in read order, non-ASCII as \uXXXX escapes, numbers with their values
/// and no final line break, through a temporary file renamed over the target.
/// When the frame image cannot be read, prints "Error loading image: " and the reason, and
/// writes nothing. Throws ContentError for an empty polygon string or an odd coordinate count,
/// leaving the target untouched.
void fix_polygon_scaling(const std::string& json_path,
                         const std::optional<std::string>& save_path = std::nullopt);


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

// ---- Tracking video -------------------------------------------------------------------------

/// What render_tracking_video draws and how it writes the video. validate() checks the values
/// that need no file; render_tracking_video calls it first.
struct TrackingVideoOptions {
  /// First clip position to draw (the position of the file in the loader's order, the report's
  /// "Frame ID"); absent: the first file.
  std::optional<std::int64_t> from_frame;
  /// Last clip position to draw, inclusive; absent or past the end: the last file.
  std::optional<std::int64_t> to_frame;
  /// Frames per second of the video; positive.
  double fps = 25;
  /// Output size as a factor of the clip's frame size; positive. Width and height are rounded
  /// to the nearest even number of pixels (4:2:0 video needs even sizes), at least 2.
  double scale = 1;
  /// Centroid positions of the last `trail_length` frames (the current one included) joined into
  /// a trail per identity; 0 or 1 draws no trail. Not negative.
  int trail_length = 30;
  /// Layers: mask fills, boxes with their identity caption, centroid trails, and the
  /// "frame <position>" caption in the top-left corner.
  bool draw_masks = true;
  bool draw_boxes = true;
  bool draw_trails = true;
  bool draw_frame_caption = true;
  /// Marks the frames the tracking question report would list (a mask of area 0, or an
  /// intersection cell above `intersection_thrr`) with a red border and the reasons as captions.
  bool mark_report_frames = false;
  /// Overlap percentage above which a cell is a high overlap, as in generate_tracking_report.
  double intersection_thrr = 80;
  /// Called after every written frame with the number written and the number to write.
  std::function<void(std::int64_t written, std::int64_t total)> progress;

  /// Throws ArgumentError naming the field and its value when a field is out of range.
  void validate() const;
};

/// What render_tracking_video wrote.
struct TrackingVideoSummary {
  std::int64_t frames = 0;          ///< frames written (one per annotation file in the range)
  std::int64_t missing_images = 0;  ///< frames drawn on black because their image was unreadable
  std::int64_t marked_frames = 0;   ///< frames marked as the report would list them
  cv::Size frame_size;              ///< size of the video's frames
  std::string codec;                ///< FourCC used: "avc1" (H.264), or "mp4v" where H.264 is
                                    ///< not available
};

/// Renders a clip's tracker output under `save_dir_base` as an MP4 video at `output_path`
/// (which must end with ".mp4"), one video frame per annotation file in the loader's order,
/// read one at a time so memory does not grow with the clip.
///
/// Each frame is drawn over the BGR frame image its file names ("image_path"); an image that
/// cannot be read gives a black frame of the clip's size captioned "image missing: <path>", so
/// the video keeps the clip's timing; an image of another size is resized to the clip's size.
/// The clip's size and the masks follow the loader: the first file's image gives the size.
/// Identity n (key "Box<n>") has the overlay colour of seed 42 + n (generate_random_color) in
/// every clip. Layers, in drawing order:
///  - masks: each pixel of a mask becomes that colour at alpha 128 composited source-over onto
///    the frame, exactly as draw_masks_on_image computes it; where masks overlap the later key
///    in the file wins;
///  - trails: segments joining each identity's centroids of the last `trail_length` frames,
///    the newest opaque, older ones fading linearly towards the frame; a frame without the
///    identity (or with an empty mask) breaks its trail; trails start at the first drawn frame;
///  - boxes: the mask's inclusive box outlined in the colour and the key ("Box3") in white on a
///    tab of that colour above the box's top-left corner (inside the frame at the top edge);
///  - report marks and the frame caption.
/// Line widths and caption sizes follow the output's height. The video is H.264 ("avc1",
/// yuv420p, read by browsers and common players) through OpenCV's FFmpeg backend, falling back
/// to MPEG-4 Part 2 ("mp4v") when the H.264 encoder is missing; it is written to a temporary
/// ".mp4" file in the output's folder and renamed over `output_path` at the end.
///
/// Throws ArgumentError for invalid options, an output name without ".mp4", a range that holds
/// no frame of the clip, or a scale giving a frame above 16384 pixels a side; FileError when no
/// annotation file is found, the first file's frame image cannot be read, the output folder is
/// missing or the video cannot be written; ContentError for a malformed annotation file. Every
/// check that needs no frame but the first is made before anything is written; on any failure
/// the temporary file is removed and `output_path` is left as it was.
TrackingVideoSummary render_tracking_video(const std::string& save_dir_base,
                                           const std::string& output_path,
                                           const TrackingVideoOptions& options = {});

}  // namespace kovra_utils

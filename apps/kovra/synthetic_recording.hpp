#pragma once

// A generated pen-camera recording for the demo and the end-to-end tests: a dark pen floor seen
// from above, an orange marker left of the pen (the crop reference), and ten bright animals that
// wander slowly. In the second half two of them walk into each other and stay merged, so the
// tracking review has an overlap to find.

#include <opencv2/core.hpp>

#include <filesystem>
#include <vector>

namespace kovra_cli {

struct SyntheticRecording {
  cv::Size frame_size{2560, 1440};
  double fps = 5;
  int frame_count = 60;
  /// Frame from which animal 1 walks towards animal 0.
  int approach_start = 32;
};

/// Writes the recording as MP4 (MPEG-4 part 2) to `path`. Throws InputError when no writer
/// opens the file.
void write_synthetic_recording(const std::filesystem::path& path,
                               const SyntheticRecording& recording = {});

/// The pen outline in pixels of the recording's full frames.
std::vector<cv::Point2d> synthetic_pen_outline();

/// Top-left corner, in full-frame pixels, of the crop the frame extraction derives from the
/// recording's orange marker (it starts 50 pixels before the marker's left edge).
cv::Point2d synthetic_crop_origin();

/// A named zone of the pen (the feeder, the drinker) in pixels of the recording's full frames.
struct SyntheticZone {
  const char* name;
  std::vector<cv::Point2d> outline;
};

/// The pen's feeder (a trough along the top wall) and drinker (a bowl on the right wall).
std::vector<SyntheticZone> synthetic_zones();

/// The number of animals in the pen.
inline constexpr int kSyntheticAnimals = 10;

}  // namespace kovra_cli

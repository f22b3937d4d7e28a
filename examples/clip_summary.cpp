// Writes a small synthetic tracked clip (one frame image and one annotation file per frame, as
// the tracker saves them) and loads it back with the library, printing what a reviewer looks at
// first: frames, masks per frame and the largest overlaps.
//
//   clip_summary OUTPUT_DIR

#include <kovra_utils/annotation.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kFrames = 24;
constexpr int kPigs = 4;
const cv::Size kFrameSize(640, 360);

struct Pig {
  cv::Point2d centre;
  cv::Point2d step;
  cv::Size axes;
};

// Four animals walking along straight lines; two of them cross in the middle of the clip.
std::vector<Pig> herd() {
  return {{{100, 100}, {9, 3}, {45, 22}},
          {{540, 110}, {-9, 3}, {42, 20}},
          {{150, 280}, {2, -1}, {40, 24}},
          {{500, 290}, {-1, -2}, {38, 21}}};
}

std::vector<cv::Point> outline(const Pig& pig, int frame) {
  const cv::Point centre(cvRound(pig.centre.x + pig.step.x * frame),
                         cvRound(pig.centre.y + pig.step.y * frame));
  const double angle = std::atan2(pig.step.y, pig.step.x) * 180.0 / CV_PI;
  std::vector<cv::Point> points;
  cv::ellipse2Poly(centre, pig.axes, cvRound(angle), 0, 360, 10, points);
  return points;
}

// Draws the clip's frames and saves the animals' masks as the tracker's annotation files.
void write_clip(const fs::path& frames_dir, const fs::path& tracker_dir) {
  fs::create_directories(frames_dir);
  const std::vector<Pig> pigs = herd();
  kovra_utils::VideoSegments video_segments;
  std::vector<std::string> frame_names;
  for (int frame = 0; frame < kFrames; ++frame) {
    cv::Mat image(kFrameSize, CV_8UC3, cv::Scalar(40, 45, 50));
    for (int id = 0; id < kPigs; ++id) {
      const std::vector<std::vector<cv::Point>> shape = {outline(pigs[id], frame)};
      cv::fillPoly(image, shape, cv::Scalar(200, 210, 225));
      cv::Mat plane = cv::Mat::zeros(kFrameSize, CV_8U);
      cv::fillPoly(plane, shape, 1);
      video_segments[frame][id + 1] = kovra_utils::Mask::from_dense(plane);
    }
    char name[16];
    std::snprintf(name, sizeof name, "%04d.jpg", frame);
    frame_names.push_back((frames_dir / name).string());
    cv::imwrite(frame_names.back(), image);
  }
  kovra_utils::write_annotation_files(video_segments, frame_names, tracker_dir);
}

struct Overlap {
  std::int64_t frame_index;
  std::string covered;
  std::string covering;
  double percentage;
};

void print_summary(const kovra_utils::ClipData& clip) {
  std::cout << "frames: " << clip.size() << "\n";
  std::vector<Overlap> overlaps;
  for (const auto& [position, record] : clip) {
    std::cout << "  frame " << record.frame_index << ": " << record.masks_dict.size()
              << " masks, areas";
    for (const auto& [key, area] : record.mask_areas) std::cout << " " << key << "=" << area;
    std::cout << "\n";
    const kovra_utils::IntersectionTable& table = *record.intersections_df;
    for (std::size_t r = 0; r < table.size(); ++r) {
      for (std::size_t c = 0; c < table.size(); ++c) {
        if (table.at(r, c) > 0) {
          overlaps.push_back({record.frame_index, table.keys()[r], table.keys()[c], table.at(r, c)});
        }
      }
    }
  }
  std::sort(overlaps.begin(), overlaps.end(),
            [](const Overlap& a, const Overlap& b) { return a.percentage > b.percentage; });
  std::cout << "largest overlaps:\n";
  if (overlaps.empty()) std::cout << "  none\n";
  for (std::size_t i = 0; i < std::min<std::size_t>(5, overlaps.size()); ++i) {
    const Overlap& o = overlaps[i];
    std::printf("  frame %lld: %.2f %% of %s lies inside %s\n",
                static_cast<long long>(o.frame_index), o.percentage, o.covered.c_str(),
                o.covering.c_str());
  }
  std::cout.flush();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: clip_summary OUTPUT_DIR\n";
    return 2;
  }
  try {
    const fs::path out = argv[1];
    const fs::path tracker_dir = out / "tracker_output";
    write_clip(out / "frames", tracker_dir);
    std::cout << "wrote " << kFrames << " frames of " << kPigs << " animals to " << out.string()
              << "\n";
    const auto loaded = kovra_utils::get_kovra_annotation_data("", false, 0, tracker_dir.string());
    if (!loaded.kovra_annotation_data) return 1;
    print_summary(*loaded.kovra_annotation_data);
  } catch (const std::exception& error) {
    std::cerr << "clip_summary: " << error.what() << "\n";
    return 1;
  }
  return 0;
}

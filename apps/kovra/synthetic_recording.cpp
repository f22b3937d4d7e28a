#include "synthetic_recording.hpp"

#include "command.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kovra_cli {

namespace {

constexpr double kTau = 2 * std::numbers::pi;

struct Animal {
  cv::Point2d base;
  double angle_deg;
  double wander_radius;
  double phase;
  int brightness;
  int spots;
};

const cv::Size kBody(110, 58);  // semi-axes
const cv::Rect kMarker(480, 60, 40, 200);

std::vector<Animal> herd() {
  std::vector<Animal> animals;
  const double angles[] = {0, 0, -15, 10, 25, -20, 15, -10, 30, 5};
  for (int i = 0; i < kSyntheticAnimals; ++i) {
    const cv::Point2d base(760 + 330 * (i % 5), i < 5 ? 420 : 1020);
    // Animals 0 and 1 meet later, so they keep still apart from that walk.
    const double radius = i < 2 ? 8 : 30;
    animals.push_back({base, angles[i], radius, 0.7 * i, 200 + 4 * i, 1 + i % 3});
  }
  return animals;
}

cv::Point2d position(const Animal& animal, int index, int frame, const SyntheticRecording& rec) {
  const double turn = kTau * frame / std::max(rec.frame_count, 1) + animal.phase;
  cv::Point2d at = animal.base + cv::Point2d(std::cos(turn), std::sin(turn)) * animal.wander_radius;
  if (index == 1 && frame >= rec.approach_start) {
    at.x -= std::min(150.0, 14.0 * (frame - rec.approach_start));
  }
  return at;
}

void draw_animal(cv::Mat& frame, const Animal& animal, cv::Point2d centre) {
  const cv::Scalar body(animal.brightness, animal.brightness, animal.brightness);
  cv::ellipse(frame, cv::Point(centre), kBody, animal.angle_deg, 0, 360, body, cv::FILLED,
              cv::LINE_AA);
  // Dark markings well inside the body, so each animal looks a little different.
  const double rad = animal.angle_deg * std::numbers::pi / 180;
  const cv::Point2d along(std::cos(rad), std::sin(rad));
  for (int s = 0; s < animal.spots; ++s) {
    const cv::Point2d spot = centre + along * (-40.0 + 40.0 * s);
    cv::circle(frame, cv::Point(spot), 12, cv::Scalar(95, 95, 95), cv::FILLED, cv::LINE_AA);
  }
}

cv::Mat background(cv::Size size) {
  cv::Mat frame(size, CV_8UC3, cv::Scalar(38, 38, 38));
  std::vector<cv::Point> pen;
  for (const cv::Point2d& p : synthetic_pen_outline()) pen.emplace_back(p);
  cv::fillPoly(frame, std::vector<std::vector<cv::Point>>{pen}, cv::Scalar(72, 70, 68));
  // Orange marker (BGR), the reference of the crop.
  cv::rectangle(frame, kMarker, cv::Scalar(0, 140, 255), cv::FILLED);
  return frame;
}

}  // namespace

std::vector<cv::Point2d> synthetic_pen_outline() {
  return {{600, 60}, {2180, 60}, {2260, 140}, {2260, 1300}, {2180, 1380},
          {600, 1380}, {560, 1300}, {560, 140}};
}

cv::Point2d synthetic_crop_origin() { return {kMarker.x - 50.0, 0.0}; }

std::vector<SyntheticZone> synthetic_zones() {
  return {{"feeder", {{1280, 70}, {1900, 70}, {1900, 440}, {1280, 440}}},
          {"drinker", {{1990, 900}, {2250, 900}, {2250, 1150}, {1990, 1150}}}};
}

void write_synthetic_recording(const std::filesystem::path& path, const SyntheticRecording& rec) {
  cv::VideoWriter writer(path.string(), cv::VideoWriter::fourcc('m', 'p', '4', 'v'), rec.fps,
                         rec.frame_size);
  if (!writer.isOpened()) throw InputError("cannot write the video " + path.string());
  const cv::Mat floor = background(rec.frame_size);
  const std::vector<Animal> animals = herd();
  for (int f = 0; f < rec.frame_count; ++f) {
    cv::Mat frame = floor.clone();
    for (int i = 0; i < kSyntheticAnimals; ++i) {
      draw_animal(frame, animals[i], position(animals[i], i, f, rec));
    }
    writer.write(frame);
  }
}

}  // namespace kovra_cli

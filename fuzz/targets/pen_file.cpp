// Pen polygon files through the pen reader and what is built on it: the drawn outline, the
// in-pen share of boxes and the in-pen mask.

#include <kovra_utils/first_frame.hpp>

#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = (kovra_fuzz::workspace() / "pen.json").string();
  kovra_fuzz::write_file(path, kovra_fuzz::as_text(data, size));
  kovra_fuzz::QuietCout quiet;
  try {
    const auto pen = kovra_utils::draw_pen("frame.png", path, true);
    kovra_utils::calculate_pen_intersection_ratio(
        pen.polygon_points, {{0, 0, 10, 10}, {5, 5, 31, 23}, {-4, 3, -1, 9}}, 40);
  } catch (const kovra_utils::Error&) {
  }
  try {
    cv::Mat plane = cv::Mat::zeros(24, 32, CV_8U);
    plane(cv::Rect(4, 3, 20, 15)).setTo(1);
    kovra_utils::get_in_pen_mask(0, kovra_utils::Mask::from_dense(plane), path, {"frame.png"});
  } catch (const kovra_utils::Error&) {
  }
  return 0;
}

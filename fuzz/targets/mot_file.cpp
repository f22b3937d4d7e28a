// MOT text files through the box reader and the box evaluation. Every box read must be finite,
// and scoring a file against itself must find every box.

#include <kovra_utils/evaluation.hpp>
#include <kovra_utils/interop.hpp>

#include "fuzz_support.hpp"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = (kovra_fuzz::workspace() / "tracks.mot").string();
  kovra_fuzz::write_file(path, kovra_fuzz::as_text(data, size));
  kovra_utils::TrackBoxes boxes;
  try {
    boxes = kovra_utils::read_mot(path);
  } catch (const kovra_utils::Error&) {
    return 0;
  }
  for (const auto& [frame, identities] : boxes) {
    for (const auto& [identity, box] : identities) {
      if (!std::isfinite(box.x1) || !std::isfinite(box.y1) || !std::isfinite(box.x2) ||
          !std::isfinite(box.y2)) {
        std::abort();
      }
    }
  }
  const auto evaluation = kovra_utils::evaluate_tracking(boxes, boxes);
  if (evaluation.CLEAR.CLR_FN + evaluation.CLEAR.CLR_TP != evaluation.Identity.IDTP +
                                                               evaluation.Identity.IDFN) {
    std::abort();
  }
  return 0;
}

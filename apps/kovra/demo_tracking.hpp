#pragma once

// The demo's stand-in for the outside video tracker: it follows every object from frame to frame
// by prompting the segmentation predictor with the object's previous box.

#include "command.hpp"

#include <kovra_utils/models.hpp>
#include <kovra_utils/types.hpp>

#include <string>
#include <vector>

namespace kovra_cli {

/// Object ids 1 .. N hold `seed_masks` on frame `start_frame`; every later frame of
/// `frame_names` gets, per object, the predictor's mask for the object's box on the frame before.
kovra_utils::VideoSegments propagate_by_boxes(const std::vector<std::string>& frame_names,
                                              std::int64_t start_frame,
                                              const std::vector<kovra_utils::Mask>& seed_masks,
                                              kovra_utils::SegmentationPredictor& predictor,
                                              Console& console);

}  // namespace kovra_cli

#pragma once

// VideoMetadata (the video catalogue) and VideoProcessor (crop-region detection and frame
// extraction).

#include <kovra_utils/config.hpp>
#include <kovra_utils/types.hpp>

namespace kovra_utils {}  // namespace kovra_utils

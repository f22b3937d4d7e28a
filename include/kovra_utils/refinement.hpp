#pragma once

// Mask_Refinement: keeps each tracked object's main blob inside the pen across a clip.

#include <kovra_utils/types.hpp>

namespace kovra_utils {}  // namespace kovra_utils

#pragma once

// Tracking question report, consecutive-frame runs and overlap-frame resolution.

#include <kovra_utils/continuation.hpp>
#include <kovra_utils/models.hpp>
#include <kovra_utils/types.hpp>

namespace kovra_utils {}  // namespace kovra_utils

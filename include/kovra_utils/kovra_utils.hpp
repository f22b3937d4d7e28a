#pragma once

// The whole library.

#include <kovra_utils/annotation.hpp>
#include <kovra_utils/cancellation.hpp>
#include <kovra_utils/continuation.hpp>
#include <kovra_utils/evaluation.hpp>
#include <kovra_utils/first_frame.hpp>
#include <kovra_utils/interop.hpp>
#include <kovra_utils/models.hpp>
#include <kovra_utils/refinement.hpp>
#include <kovra_utils/review.hpp>
#include <kovra_utils/types.hpp>
#include <kovra_utils/video.hpp>
#include <kovra_utils/visual.hpp>

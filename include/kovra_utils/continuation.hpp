#pragma once

// Last-frame selection, stacked-box pruning, the clip-start matcher and similarity measures.

#include <kovra_utils/models.hpp>
#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <optional>
#include <vector>

namespace kovra_utils {

/// One appearance feature per mask (one value per encoder channel), absent for a mask too small
/// to describe.
using FeatureVector = std::vector<float>;
using FeatureList = std::vector<std::optional<FeatureVector>>;

/// Appearance features of `masks` on `image` (RGB): sets `image` on the predictor once, then
/// per mask of at least 10 pixels encodes the enhanced, masked crop of its extent.
FeatureList generate_sam2_image_features(const cv::Mat& image, const std::vector<Mask>& masks,
                                         SegmentationPredictor& image_predictor);

// (the rest of this subsystem's declarations follow)

}  // namespace kovra_utils

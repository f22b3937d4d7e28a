#pragma once

// The benchmarks' clip: loaded once from the folder named on the command line, then shared.

#include <kovra_utils/annotation.hpp>

#include <stdexcept>
#include <string>

namespace kovra_bench {

/// The clip under `clip_dir`, loaded on the first call; later calls return the same clip.
inline const kovra_utils::ClipData& cached_clip(const std::string& clip_dir) {
  static const kovra_utils::ClipData loaded = [&] {
    auto result = kovra_utils::get_kovra_annotation_data("", false, 0, clip_dir);
    if (!result.kovra_annotation_data) throw std::runtime_error("no clip in " + clip_dir);
    return std::move(*result.kovra_annotation_data);
  }();
  return loaded;
}

}  // namespace kovra_bench

// kovra clip-info: what a clip's tracker output holds.

#include "clip_loading.hpp"
#include "command.hpp"

#include <algorithm>
#include <ostream>
#include <set>

namespace kovra_cli {

namespace {

struct ClipInfoOptions {
  std::string tracker_output_dir;
  std::size_t top = 5;
};

struct Overlap {
  std::int64_t key;
  std::int64_t frame_index;
  std::string cell;
  double value;
};

// Box keys in order of first appearance.
std::vector<std::string> box_keys(const kovra_utils::ClipData& clip) {
  std::vector<std::string> keys;
  std::set<std::string> seen;
  for (const auto& [key, record] : clip) {
    for (const auto& [box, mask] : record.masks_dict) {
      if (seen.insert(box).second) keys.push_back(box);
    }
  }
  return keys;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

void print_frames(std::ostream& out, const kovra_utils::ClipData& clip) {
  std::int64_t first = clip.begin()->second.frame_index;
  std::int64_t last = first;
  for (const auto& [key, record] : clip) {
    first = std::min(first, record.frame_index);
    last = std::max(last, record.frame_index);
  }
  out << "frames: " << clip.size() << " (frame numbers " << first << " .. " << last << ")\n";
}

void print_boxes(std::ostream& out, const kovra_utils::ClipData& clip) {
  const auto keys = box_keys(clip);
  std::size_t fewest = keys.size();
  std::size_t most = 0;
  for (const auto& [key, record] : clip) {
    fewest = std::min(fewest, record.masks_dict.size());
    most = std::max(most, record.masks_dict.size());
  }
  out << "boxes: " << keys.size() << " (" << joined(keys) << ")";
  if (fewest != most) out << ", " << fewest << " to " << most << " per frame";
  out << "\n";
}

void print_zero_areas(std::ostream& out, const kovra_utils::ClipData& clip) {
  std::vector<std::string> lines;
  for (const auto& [key, record] : clip) {
    for (const auto& [box, area] : record.mask_areas) {
      if (area == 0) lines.push_back("  frame " + std::to_string(key) + ": " + box);
    }
  }
  out << "zero-area masks: " << lines.size() << "\n";
  for (const auto& line : lines) out << line << "\n";
}

std::vector<Overlap> overlaps(const kovra_utils::ClipData& clip) {
  std::vector<Overlap> found;
  for (const auto& [key, record] : clip) {
    if (!record.intersections_df) continue;
    const auto& table = *record.intersections_df;
    for (std::size_t r = 0; r < table.size(); ++r) {
      for (std::size_t c = 0; c < table.size(); ++c) {
        const double value = table.at(r, c);
        if (value > 0) found.push_back({key, record.frame_index, overlap_name(table, r, c), value});
      }
    }
  }
  // Worst first; equal values keep clip order.
  std::stable_sort(found.begin(), found.end(),
                   [](const Overlap& a, const Overlap& b) { return a.value > b.value; });
  return found;
}

void print_overlaps(std::ostream& out, const kovra_utils::ClipData& clip, std::size_t top) {
  const auto found = overlaps(clip);
  out << "overlapping mask pairs: " << found.size() << "\n";
  for (std::size_t i = 0; i < std::min(top, found.size()); ++i) {
    const Overlap& o = found[i];
    out << "  frame " << o.key << " (file number " << o.frame_index << "): " << o.cell << " "
        << percent(o.value) << "\n";
  }
}

}  // namespace

Runner declare_clip_info(CLI::App& app) {
  auto options = std::make_shared<ClipInfoOptions>();
  add_tracker_output_dir(app, options->tracker_output_dir);
  app.add_option("--top", options->top, "How many of the worst overlaps to list")
      ->capture_default_str();
  return [options](Console& console) {
    const auto clip = load_clip(options->tracker_output_dir, console);
    std::ostream& out = console.out();
    print_frames(out, clip);
    print_boxes(out, clip);
    print_zero_areas(out, clip);
    print_overlaps(out, clip, options->top);
    return 0;
  };
}

}  // namespace kovra_cli

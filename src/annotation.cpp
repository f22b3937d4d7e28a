#include <kovra_utils/annotation.hpp>

#include <string>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// Overlap measures
// ---------------------------------------------------------------------------------------------

namespace {

// (intersection / area) * 100 in this order, 0 for a non-positive area.
double percentage(std::int64_t intersection, std::int64_t area) {
  if (area <= 0) return 0.0;
  return (static_cast<double>(intersection) / static_cast<double>(area)) * 100.0;
}

}  // namespace

double calculate_masks_intersection(const Mask& mask1, const Mask& mask2) {
  return percentage(overlap_count(mask1, mask2), mask1.area());
}

PairIntersection calculate_masks_intersection_new(const Mask& mask1, const Mask& mask2,
                                                  std::int64_t mask_area_1,
                                                  std::int64_t mask_area_2) {
  const std::int64_t intersection = overlap_count(mask1, mask2);
  return {percentage(intersection, mask_area_1), percentage(intersection, mask_area_2)};
}

MaskAreas count_mask_areas(const MasksDict& masks_dict) {
  MaskAreas areas;
  for (const auto& [key, mask] : masks_dict) areas[key] = mask.area();
  return areas;
}

namespace {

std::int64_t area_of(const MaskAreas& areas, const std::string& key) {
  const auto found = areas.find(key);
  if (found == areas.end()) {
    throw std::out_of_range("mask area map has no entry for '" + key + "'");
  }
  return found->second;
}

}  // namespace

IntersectionTable intersection_between_masks(const MasksDict& masks_dict,
                                             const std::optional<MaskAreas>& processed_mask_areas) {
  std::vector<std::string> keys;
  std::vector<const Mask*> masks;
  keys.reserve(masks_dict.size());
  for (const auto& [key, mask] : masks_dict) {
    keys.push_back(key);
    masks.push_back(&mask);
  }
  // Without a usable area map the true pixel counts stand in for it.
  const MaskAreas areas = (processed_mask_areas && !processed_mask_areas->empty())
                              ? *processed_mask_areas
                              : count_mask_areas(masks_dict);
  std::vector<std::int64_t> key_areas;
  key_areas.reserve(keys.size());
  for (const auto& key : keys) key_areas.push_back(area_of(areas, key));

  IntersectionTable table(keys);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (key_areas[i] <= 1) continue;  // the later mask of every pair (i, j < i) is too small
    for (std::size_t j = 0; j < i; ++j) {
      const PairIntersection pair =
          calculate_masks_intersection_new(*masks[i], *masks[j], key_areas[i], key_areas[j]);
      table.set(i, j, pair.result_1);
      table.set(j, i, pair.result_2);
    }
  }
  return table;
}

}  // namespace kovra_utils

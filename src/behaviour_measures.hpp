#pragma once

// The per-position measures the behaviour tables are built from, and the masks' row-run form
// they are measured on. Kept apart from the tables so that another way of measuring (a dense
// check in the benchmark) yields the very same tables.

#include <kovra_utils/behaviour.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovra_utils::behaviour_detail {

/// Sums over the pixels of a mask, in frame coordinates; exact integers.
struct PixelSums {
  std::int64_t area = 0;
  std::int64_t x = 0, y = 0, xx = 0, yy = 0, xy = 0;
};

/// One present animal at one position.
struct AnimalMeasure {
  std::int64_t object_id = 0;
  std::string box_key;
  PixelSums sums;
  std::vector<std::int64_t> zone_pixels;  ///< pixels inside each zone, in zone order
};

/// The nearest other animal: index into the position's animals and squared distance.
struct Nearest {
  std::size_t other = 0;
  std::int64_t distance2 = 0;
};

/// Two animals (indices, a < b) in contact.
struct ContactPair {
  std::size_t a = 0, b = 0;
};

struct PositionMeasure {
  std::int64_t frame_index = 0;
  std::vector<AnimalMeasure> animals;            ///< ascending object id
  std::vector<std::optional<Nearest>> nearest;   ///< per animal; absent when alone
  std::vector<ContactPair> contacts;             ///< ascending (a, b)
};

struct ClipMeasure {
  double start_time_s = 0;
  std::vector<PositionMeasure> positions;
};

/// Largest squared pixel distance that is still a contact.
std::int64_t contact_distance2(double contact_px);

/// The present animals of a record: (object id, key, mask) in ascending object id.
struct PresentAnimal {
  std::int64_t object_id;
  const std::string* box_key;
  const Mask* mask;
};
std::vector<PresentAnimal> present_animals(const FrameRecord& record);

/// Measures of a clip from the masks' crops.
ClipMeasure measure_clip(const ClipData& clip, const Zones& zones, double start_time_s,
                         double contact_px);

/// Checks shared by both entry points.
void validate_inputs(double seconds_per_frame, const BehaviourOptions& options);
void require_zone_sizes(const ClipData& clip, const Zones& zones);

/// The tables of a sequence of measured clips.
BehaviourTables build_tables(const std::vector<ClipMeasure>& clips, double seconds_per_frame,
                             const Zones& zones, const BehaviourOptions& options);

}  // namespace kovra_utils::behaviour_detail

#include <kovra_utils/behaviour.hpp>

#include "behaviour_measures.hpp"
#include "text.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>

namespace kovra_utils {

namespace bd = behaviour_detail;

namespace {

// Times that differ by less than this are the same time (clip joins, bout gaps and lengths).
constexpr double kTimeTolerance = 1e-9;

void require_finite_at_least(double value, double minimum, const std::string& name) {
  if (!std::isfinite(value) || value < minimum) {
    throw ArgumentError(name + " must be a finite number >= " + text::format_float(minimum) + ", got " +
                        text::format_float(value));
  }
}

void require_positive(double value, const std::string& name) {
  if (!std::isfinite(value) || value <= 0) {
    throw ArgumentError(name + " must be a finite number > 0, got " + text::format_float(value));
  }
}

// One position of the day.
struct Position {
  std::int64_t frame_index = 0;
  double time_s = 0;
  bool joined = false;     // follows the previous position without a break
  std::int64_t stretch = 0;  // positions joined to each other share a stretch
  const bd::PositionMeasure* measure = nullptr;
};

std::vector<Position> day_positions(const std::vector<bd::ClipMeasure>& clips, double seconds_per_frame) {
  std::vector<Position> positions;
  std::optional<double> previous_time;
  std::int64_t stretch = -1;
  for (const bd::ClipMeasure& clip : clips) {
    for (std::size_t p = 0; p < clip.positions.size(); ++p) {
      Position position;
      position.frame_index = clip.positions[p].frame_index;
      position.time_s = clip.start_time_s + static_cast<double>(p) * seconds_per_frame;
      position.joined = p > 0 || (previous_time && std::abs(position.time_s - *previous_time - seconds_per_frame) <=
                                                       kTimeTolerance);
      if (!position.joined) ++stretch;
      position.stretch = stretch;
      position.measure = &clip.positions[p];
      previous_time = position.time_s;
      positions.push_back(position);
    }
  }
  return positions;
}

// A run of positions, before and after merging.
struct Bout {
  std::size_t first = 0, last = 0;  // day positions
  double start_s = 0, end_s = 0;
};

// Runs of consecutive joined positions of `in` (indexed by day position), merged and filtered.
class BoutBuilder {
 public:
  BoutBuilder(const std::vector<Position>& positions, double seconds_per_frame, const BehaviourOptions& options)
      : positions_(positions), seconds_per_frame_(seconds_per_frame), options_(options) {}

  std::vector<Bout> bouts(const std::vector<std::size_t>& in_positions) const {
    std::vector<Bout> runs;
    for (std::size_t g : in_positions) {
      if (!runs.empty() && runs.back().last + 1 == g && positions_[g].joined) {
        runs.back().last = g;
      } else {
        runs.push_back({g, g, 0, 0});
      }
    }
    std::vector<Bout> merged;
    for (Bout run : runs) {
      run.start_s = positions_[run.first].time_s;
      run.end_s = positions_[run.last].time_s + seconds_per_frame_;
      if (!merged.empty() && run.start_s - merged.back().end_s <= options_.merge_gap_s + kTimeTolerance) {
        merged.back().last = std::max(merged.back().last, run.last);
        merged.back().end_s = std::max(merged.back().end_s, run.end_s);
      } else {
        merged.push_back(run);
      }
    }
    std::erase_if(merged, [&](const Bout& b) { return b.end_s - b.start_s < options_.min_bout_s - kTimeTolerance; });
    return merged;
  }

 private:
  const std::vector<Position>& positions_;
  double seconds_per_frame_;
  const BehaviourOptions& options_;
};

// What the frames table knows of one animal at one position.
struct AnimalRow {
  std::size_t position = 0;
  double cx = 0, cy = 0;
  std::optional<double> step;
  bool moving = false;
  std::vector<double> shares;
  std::vector<bool> inside;
};

struct AnimalTrack {
  std::string box_key;
  std::vector<AnimalRow> rows;  // ascending position
};

struct Ellipse {
  double major = 0, minor = 0, orientation_deg = 0;
};

__extension__ using Wide = __int128;

// Central second moment (times A^2) from exact sums, then divided once.
double central(std::int64_t area, std::int64_t sum_ab, std::int64_t sum_a, std::int64_t sum_b) {
  const Wide numerator = static_cast<Wide>(area) * sum_ab - static_cast<Wide>(sum_a) * sum_b;
  return static_cast<double>(numerator) / (static_cast<double>(area) * static_cast<double>(area));
}

Ellipse second_moment_ellipse(const bd::PixelSums& s) {
  const double mu20 = central(s.area, s.xx, s.x, s.x);
  const double mu02 = central(s.area, s.yy, s.y, s.y);
  const double mu11 = central(s.area, s.xy, s.x, s.y);
  const double mean = (mu20 + mu02) / 2;
  const double root = std::sqrt(std::pow((mu20 - mu02) / 2, 2) + mu11 * mu11);
  // Rounding can push the smaller value of a one-pixel-wide mask just below zero.
  const double l1 = std::max(0.0, mean + root), l2 = std::max(0.0, mean - root);
  return {4 * std::sqrt(l1), 4 * std::sqrt(l2),
          std::atan2(2 * mu11, mu20 - mu02) / 2 * 180 / std::numbers::pi};
}

Value optional_value(const std::optional<double>& value) {
  return value ? Value(*value) : Value(std::monostate{});
}

class TableBuilder {
 public:
  TableBuilder(const std::vector<bd::ClipMeasure>& clips, double seconds_per_frame, const Zones& zones,
               const BehaviourOptions& options)
      : spf_(seconds_per_frame), zones_(zones), options_(options),
        positions_(day_positions(clips, seconds_per_frame)), bouts_(positions_, spf_, options_),
        first_start_s_(clips.empty() ? 0 : clips.front().start_time_s) {}

  BehaviourTables build() {
    BehaviourTables tables;
    tables.frames = frames_table();
    tables.bouts = bouts_table();
    tables.contact_bouts = contact_bouts_table();
    tables.contacts = contact_matrix();
    tables.summary = summary_table();
    return tables;
  }

 private:
  std::vector<std::string> frame_columns() const {
    std::vector<std::string> columns = {"position", "frame_index", "time_s", "box_key", "object_id", "area",
                                        "centroid_x", "centroid_y", "step_px", "speed_px_s", "moving",
                                        "major_axis_px", "minor_axis_px", "orientation_deg"};
    for (const Zone& zone : zones_) columns.push_back("in_" + zone.name);
    columns.insert(columns.end(), {"nearest_key", "nearest_distance_px"});
    return columns;
  }

  AnimalRow next_row(std::size_t g, const bd::AnimalMeasure& animal, AnimalTrack& track) const {
    AnimalRow row;
    row.position = g;
    const auto area = static_cast<double>(animal.sums.area);
    row.cx = static_cast<double>(animal.sums.x) / area;
    row.cy = static_cast<double>(animal.sums.y) / area;
    const AnimalRow* previous =
        !track.rows.empty() && track.rows.back().position + 1 == g && positions_[g].joined ? &track.rows.back()
                                                                                          : nullptr;
    if (previous) {
      row.step = std::hypot(row.cx - previous->cx, row.cy - previous->cy);
      row.moving = *row.step / spf_ >= options_.moving_speed_px_s;
    }
    for (std::size_t z = 0; z < zones_.size(); ++z) {
      const double share = static_cast<double>(animal.zone_pixels[z]) / area;
      row.shares.push_back(share);
      row.inside.push_back(share >= options_.enter || (previous && previous->inside[z] && share >= options_.leave));
    }
    return row;
  }

  Table frames_table() {
    Table table(frame_columns());
    for (std::size_t g = 0; g < positions_.size(); ++g) {
      const bd::PositionMeasure& measure = *positions_[g].measure;
      for (std::size_t i = 0; i < measure.animals.size(); ++i) {
        const bd::AnimalMeasure& animal = measure.animals[i];
        AnimalTrack& track = tracks_[animal.object_id];
        if (track.rows.empty()) track.box_key = animal.box_key;
        track.rows.push_back(next_row(g, animal, track));
        const AnimalRow& row = track.rows.back();
        const Ellipse ellipse = second_moment_ellipse(animal.sums);
        std::vector<Value> cells = {static_cast<std::int64_t>(g), positions_[g].frame_index, positions_[g].time_s,
                                    animal.box_key, animal.object_id, animal.sums.area, row.cx, row.cy,
                                    optional_value(row.step),
                                    optional_value(row.step ? std::optional(*row.step / spf_) : std::nullopt),
                                    static_cast<std::int64_t>(row.moving), ellipse.major, ellipse.minor,
                                    ellipse.orientation_deg};
        cells.insert(cells.end(), row.shares.begin(), row.shares.end());
        if (const auto& nearest = measure.nearest[i]) {
          cells.emplace_back(measure.animals[nearest->other].box_key);
          cells.emplace_back(std::sqrt(static_cast<double>(nearest->distance2)));
        } else {
          cells.insert(cells.end(), {std::monostate{}, std::monostate{}});
        }
        table.append_row(std::move(cells));
      }
      for (const bd::ContactPair& pair : measure.contacts) {
        contact_positions_[{measure.animals[pair.a].object_id, measure.animals[pair.b].object_id}].push_back(g);
      }
    }
    return table;
  }

  std::vector<Value> bout_cells(const Bout& bout) const {
    return {static_cast<std::int64_t>(bout.first), static_cast<std::int64_t>(bout.last),
            positions_[bout.first].frame_index, positions_[bout.last].frame_index, bout.start_s, bout.end_s,
            bout.end_s - bout.start_s};
  }

  // Mean share of zone z over the animal's present positions within the bout.
  static double mean_share(const AnimalTrack& track, const Bout& bout, std::size_t z) {
    double sum = 0;
    std::int64_t count = 0;
    for (const AnimalRow& row : track.rows) {
      if (row.position < bout.first || row.position > bout.last) continue;
      sum += row.shares[z];
      ++count;
    }
    return sum / static_cast<double>(count);
  }

  void add_bouts(Table& table, std::int64_t id, const AnimalTrack& track, const std::string& zone,
                 const std::vector<Bout>& bouts, std::optional<std::size_t> z, std::vector<Bout>& kept) {
    for (const Bout& bout : bouts) {
      std::vector<Value> cells = {id, track.box_key, zone};
      const std::vector<Value> span = bout_cells(bout);
      cells.insert(cells.end(), span.begin(), span.end());
      cells.push_back(z ? Value(mean_share(track, bout, *z)) : Value(std::monostate{}));
      table.append_row(std::move(cells));
      kept.push_back(bout);
    }
  }

  Table bouts_table() {
    Table table({"object_id", "box_key", "zone", "start_position", "end_position", "start_frame_index",
                 "end_frame_index", "start_s", "end_s", "duration_s", "mean_in"});
    for (std::size_t z = 0; z < zones_.size(); ++z) {
      for (const auto& [id, track] : tracks_) {
        std::vector<std::size_t> in;
        for (const AnimalRow& row : track.rows) {
          if (row.inside[z]) in.push_back(row.position);
        }
        Totals& totals = totals_[id];
        totals.zones.resize(zones_.size());
        add_bouts(table, id, track, zones_[z].name, bouts_.bouts(in), z, totals.zones[z]);
      }
    }
    for (const auto& [id, track] : tracks_) {
      std::vector<std::size_t> moving;
      for (const AnimalRow& row : track.rows) {
        if (row.moving) moving.push_back(row.position);
      }
      add_bouts(table, id, track, "moving", bouts_.bouts(moving), std::nullopt, totals_[id].moving);
    }
    return table;
  }

  Table contact_bouts_table() {
    Table table({"object_id_a", "object_id_b", "start_position", "end_position", "start_frame_index",
                 "end_frame_index", "start_s", "end_s", "duration_s"});
    for (const auto& [pair, in] : contact_positions_) {
      for (const Bout& bout : bouts_.bouts(in)) {
        std::vector<Value> cells = {pair.first, pair.second};
        const std::vector<Value> span = bout_cells(bout);
        cells.insert(cells.end(), span.begin(), span.end());
        table.append_row(std::move(cells));
        contact_seconds_[pair] += bout.end_s - bout.start_s;
      }
    }
    return table;
  }

  Table contact_matrix() const {
    std::vector<std::string> columns = {"object_id"};
    for (const auto& [id, track] : tracks_) columns.push_back(std::to_string(id));
    Table table(columns);
    for (const auto& [row_id, row_track] : tracks_) {
      std::vector<Value> cells = {row_id};
      for (const auto& [column_id, column_track] : tracks_) {
        const auto found = contact_seconds_.find({std::min(row_id, column_id), std::max(row_id, column_id)});
        cells.emplace_back(found == contact_seconds_.end() ? 0.0 : found->second);
      }
      table.append_row(std::move(cells), row_id);
    }
    return table;
  }

  static double total_duration(const std::vector<Bout>& bouts) {
    double total = 0;
    for (const Bout& bout : bouts) total += bout.end_s - bout.start_s;
    return total;
  }

  std::vector<std::string> summary_columns() const {
    std::vector<std::string> columns = {"object_id",   "box_key",         "seconds_present",
                                        "distance_px", "mean_speed_px_s", "seconds_moving"};
    for (const Zone& zone : zones_) {
      columns.insert(columns.end(),
                     {"seconds_in_" + zone.name, "visits_" + zone.name, "latency_" + zone.name + "_s"});
    }
    columns.insert(columns.end(), {"contact_s", "partners"});
    if (options_.pixels_per_metre) columns.insert(columns.end(), {"distance_m", "mean_speed_m_s"});
    return columns;
  }

  Table summary_table() {
    Table table(summary_columns());
    for (const auto& [id, track] : tracks_) {
      double distance = 0;
      std::int64_t steps = 0;
      for (const AnimalRow& row : track.rows) {
        if (!row.step) continue;
        distance += *row.step;
        ++steps;
      }
      const double covered_s = static_cast<double>(steps) * spf_;
      const auto per_second = [&](double amount) {
        return steps > 0 ? Value(amount / covered_s) : Value(std::monostate{});
      };
      Totals& totals = totals_[id];
      totals.zones.resize(zones_.size());
      std::vector<Value> cells = {id, track.box_key, static_cast<double>(track.rows.size()) * spf_, distance,
                                  per_second(distance), total_duration(totals.moving)};
      for (const std::vector<Bout>& visits : totals.zones) {
        cells.insert(cells.end(), {total_duration(visits), static_cast<std::int64_t>(visits.size()),
                                   visits.empty() ? Value(std::monostate{})
                                                  : Value(visits.front().start_s - first_start_s_)});
      }
      double contact = 0;
      std::int64_t partners = 0;
      for (const auto& [pair, seconds] : contact_seconds_) {
        if (pair.first != id && pair.second != id) continue;
        contact += seconds;
        ++partners;
      }
      cells.insert(cells.end(), {contact, partners});
      if (const auto& ppm = options_.pixels_per_metre) {
        cells.insert(cells.end(),
                     {distance / *ppm, per_second(distance / *ppm)});
      }
      table.append_row(std::move(cells));
    }
    return table;
  }

  // The kept bouts of one animal.
  struct Totals {
    std::vector<std::vector<Bout>> zones;  // in zone order
    std::vector<Bout> moving;
  };

  double spf_;
  const Zones& zones_;
  const BehaviourOptions& options_;
  std::vector<Position> positions_;
  BoutBuilder bouts_;
  double first_start_s_;
  std::map<std::int64_t, AnimalTrack> tracks_;
  std::map<std::pair<std::int64_t, std::int64_t>, std::vector<std::size_t>> contact_positions_;
  std::map<std::pair<std::int64_t, std::int64_t>, double> contact_seconds_;
  std::map<std::int64_t, Totals> totals_;
};

}  // namespace

void BehaviourOptions::validate() const {
  require_finite_at_least(moving_speed_px_s, 0, "moving_speed_px_s");
  require_finite_at_least(leave, 0, "leave");
  require_finite_at_least(enter, leave, "enter (at least leave)");
  if (enter > 1) throw ArgumentError("enter must be at most 1, got " + text::format_float(enter));
  require_finite_at_least(merge_gap_s, 0, "merge_gap_s");
  require_finite_at_least(min_bout_s, 0, "min_bout_s");
  require_finite_at_least(contact_px, 0, "contact_px");
  if (pixels_per_metre) require_positive(*pixels_per_metre, "pixels_per_metre");
}

namespace behaviour_detail {

void validate_inputs(double seconds_per_frame, const BehaviourOptions& options) {
  require_positive(seconds_per_frame, "seconds_per_frame");
  options.validate();
}

BehaviourTables build_tables(const std::vector<ClipMeasure>& clips, double seconds_per_frame, const Zones& zones,
                             const BehaviourOptions& options) {
  return TableBuilder(clips, seconds_per_frame, zones, options).build();
}

}  // namespace behaviour_detail

BehaviourTables clip_behaviour(const ClipData& clip, double seconds_per_frame, const Zones& zones,
                               double start_time_s, const BehaviourOptions& options) {
  return day_behaviour({clip}, {start_time_s}, seconds_per_frame, zones, options);
}

BehaviourTables day_behaviour(const std::vector<ClipData>& clips, const std::vector<double>& start_times_s,
                              double seconds_per_frame, const Zones& zones, const BehaviourOptions& options) {
  bd::validate_inputs(seconds_per_frame, options);
  if (clips.size() != start_times_s.size()) {
    throw ArgumentError("one start time per clip is needed: " + std::to_string(clips.size()) + " clips, " +
                        std::to_string(start_times_s.size()) + " start times");
  }
  for (std::size_t i = 0; i < start_times_s.size(); ++i) {
    if (!std::isfinite(start_times_s[i]) || (i > 0 && start_times_s[i] < start_times_s[i - 1])) {
      throw ArgumentError("start times must be finite and in time order, got " +
                          text::format_float(start_times_s[i]) + " for clip " + std::to_string(i));
    }
  }
  std::vector<bd::ClipMeasure> measures;
  for (std::size_t i = 0; i < clips.size(); ++i) {
    measures.push_back(bd::measure_clip(clips[i], zones, start_times_s[i], options.contact_px));
  }
  return bd::build_tables(measures, seconds_per_frame, zones, options);
}

}  // namespace kovra_utils

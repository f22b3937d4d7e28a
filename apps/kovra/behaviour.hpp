#pragma once

// The behaviour step of the tool, shared by `kovra behaviour` and `kovra demo`.

#include "command.hpp"

#include <optional>
#include <string>
#include <vector>

namespace kovra_cli {

struct BehaviourRequest {
  std::vector<std::string> tracker_output_dirs;  ///< one clip each, in time order
  std::optional<std::string> zones;              ///< zone file
  double seconds_per_frame = 0;
  std::vector<double> start_times_s;  ///< one per clip; empty: each clip follows the previous
  std::optional<double> pixels_per_metre;
  std::string output_dir;
};

/// Loads the clips, measures them as one day and writes the tables and pictures into the output
/// folder; prints one line saying what was written. Throws InputError for bad paths or counts.
void run_behaviour_step(const BehaviourRequest& request, Console& console);

}  // namespace kovra_cli

#include <kovra_utils/review.hpp>

#include "text.hpp"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <limits>
#include <stdexcept>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// Tracking question report
// ---------------------------------------------------------------------------------------------

const std::vector<std::string>& tracking_report_columns() {
  static const std::vector<std::string> columns = {
      "Frame ID",    "Box Pair", "Intersection Value", "Mask Area1", "Mask Area2",
      "Report type", "Box ID",   "Mask Areas"};
  return columns;
}

namespace {

const IntersectionTable& intersections_of(std::int64_t frame_id, const FrameRecord& record) {
  if (!record.intersections_df) {
    throw ContentError("frame " + std::to_string(frame_id) +
                       " has no intersection table (the clip must be loaded whole)");
  }
  return *record.intersections_df;
}

std::int64_t area_of(std::int64_t frame_id, const FrameRecord& record, const std::string& key) {
  const auto found = record.mask_areas.find(key);
  if (found == record.mask_areas.end()) {
    throw std::out_of_range("frame " + std::to_string(frame_id) + ": mask_areas has no key " +
                            text::quote(key));
  }
  return found->second;
}

bool has_high_overlap(const IntersectionTable& table, double intersection_thrr) {
  return std::any_of(table.values().begin(), table.values().end(),
                     [&](double cell) { return cell > intersection_thrr; });
}

std::vector<Value> zero_area_row(std::int64_t frame_id, const std::string& box_key,
                                 std::int64_t area) {
  return {frame_id, {}, {}, {}, {}, std::string("Zero area detected"), box_key, area};
}

// The high-overlap rows of one frame, cells in row-major order.
Table high_overlap_rows(std::int64_t frame_id, const FrameRecord& record,
                        double intersection_thrr) {
  const IntersectionTable& table = intersections_of(frame_id, record);
  const auto& keys = table.keys();
  Table rows(tracking_report_columns());
  for (std::size_t r = 0; r < keys.size(); ++r) {
    for (std::size_t c = 0; c < keys.size(); ++c) {
      const double value = table.at(r, c);
      if (!(value > intersection_thrr)) continue;
      rows.append_row({frame_id, keys[r] + "-" + keys[c], text::round_to(value, 2),
                       area_of(frame_id, record, keys[r]), area_of(frame_id, record, keys[c]),
                       std::string("High overlap mask detected"), {}, {}});
    }
  }
  return rows;
}

}  // namespace

TrackingReport generate_tracking_report(const ClipData& kovra_annotation_data,
                                        const std::string& save_dir_base,
                                        double intersection_thrr) {
  TrackingReport report{Table(tracking_report_columns()), Table(tracking_report_columns()), {},
                        Table(tracking_report_columns())};
  for (const auto& [frame_id, record] : kovra_annotation_data) {
    for (const auto& [box_key, area] : record.mask_areas) {
      if (area <= 0) report.zero_area_frames.append_row(zero_area_row(frame_id, box_key, area));
    }
    if (has_high_overlap(intersections_of(frame_id, record), intersection_thrr)) {
      report.overlap_frames.push_back(frame_id);
    }
  }
  if (report.zero_area_frames.empty() && report.overlap_frames.empty()) return report;

  std::cout << "Generating tracking question report...\n" << std::endl;
  for (std::int64_t frame_id : report.overlap_frames) {
    report.box_keys_df =
        high_overlap_rows(frame_id, kovra_annotation_data.at(frame_id), intersection_thrr);
    report.overlap_frames_data.append(report.box_keys_df);
  }
  Table report_df = report.overlap_frames_data;
  report_df.append(report.zero_area_frames);
  const std::filesystem::path report_path =
      std::filesystem::path(save_dir_base) / "tracking_question_report.csv";
  report_df.write_csv(report_path);
  std::cout << "Tracking question report saved to " << report_path.string() << std::endl;
  return report;
}

// ---------------------------------------------------------------------------------------------
// Continuous-frame runs
// ---------------------------------------------------------------------------------------------

namespace {

std::vector<std::int64_t> sorted_frames(const Table& frames_df,
                                        const std::vector<std::size_t>& rows) {
  std::vector<std::int64_t> frames;
  frames.reserve(rows.size());
  for (std::size_t row : rows) frames.push_back(frames_df.integer(row, "Frame ID"));
  std::sort(frames.begin(), frames.end());
  return frames;
}

bool follows(std::int64_t previous, std::int64_t next) {
  return previous < std::numeric_limits<std::int64_t>::max() && next == previous + 1;
}

// Maximal stretches of ascending frames that grow by exactly one.
FrameRuns cut_into_runs(const std::vector<std::int64_t>& frames) {
  FrameRuns runs;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (i == 0 || !follows(frames[i - 1], frames[i])) runs.emplace_back();
    runs.back().push_back(frames[i]);
  }
  return runs;
}

}  // namespace

FrameRunsMap find_continuous_frames(const Table& frames_df, const std::string& group_by,
                                    std::int64_t n_consecutive) {
  FrameRunsMap result;
  for (const auto& [group, rows] : frames_df.group_by(group_by)) {
    for (auto& run : cut_into_runs(sorted_frames(frames_df, rows))) {
      if (static_cast<std::int64_t>(run.size()) >= n_consecutive) {
        result[group].push_back(std::move(run));
      }
    }
  }
  return result;
}

}  // namespace kovra_utils

// kovra report: the tracking question report of a clip and its runs of problem frames.

#include "clip_loading.hpp"
#include "command.hpp"

#include <kovra_utils/review.hpp>

#include <ostream>

namespace kovra_cli {

namespace {

struct ReportOptions {
  std::string tracker_output_dir;
  std::string output_dir;
  double threshold = 80;
  std::int64_t min_run = 3;
};

std::string value_text(const kovra_utils::Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return std::to_string(*integer);
  return "";
}

std::string run_text(const std::vector<std::int64_t>& run) {
  return std::to_string(run.front()) + "-" + std::to_string(run.back());
}

void print_runs(std::ostream& out, const std::string& title, const kovra_utils::FrameRunsMap& runs) {
  out << title << ": " << (runs.empty() ? "none" : std::to_string(runs.size())) << "\n";
  for (const auto& [group, group_runs] : runs) {
    out << "  " << value_text(group) << ": frames ";
    for (std::size_t i = 0; i < group_runs.size(); ++i) {
      out << (i ? ", " : "") << run_text(group_runs[i]);
    }
    out << "\n";
  }
}

int run_report(const ReportOptions& options, Console& console) {
  if (!options.output_dir.empty()) require_directory(options.output_dir, "--output-dir");
  const auto clip = load_clip(options.tracker_output_dir, console);
  const std::string save_dir =
      options.output_dir.empty() ? options.tracker_output_dir : options.output_dir;
  const auto report = kovra_utils::generate_tracking_report(clip, save_dir, options.threshold);
  std::ostream& out = console.out();
  const std::size_t overlap_rows = report.overlap_frames_data.row_count();
  const std::size_t zero_rows = report.zero_area_frames.row_count();
  if (overlap_rows == 0 && zero_rows == 0) {
    out << "nothing to report in " << clip.size() << " frames; no report written\n";
    return 0;
  }
  out << "report: " << (std::filesystem::path(save_dir) / "tracking_question_report.csv").string()
      << " (" << overlap_rows << " high-overlap rows, " << zero_rows << " zero-area rows)\n";
  const std::string at_least = " (runs of at least " + std::to_string(options.min_run) + " frames)";
  print_runs(out, "zero-area boxes" + at_least,
             kovra_utils::find_continuous_frames(report.zero_area_frames, "Box ID", options.min_run));
  print_runs(out, "overlapping box pairs" + at_least,
             kovra_utils::find_continuous_frames(report.overlap_frames_data, "Box Pair",
                                                 options.min_run));
  return 0;
}

}  // namespace

Runner declare_report(CLI::App& app) {
  auto options = std::make_shared<ReportOptions>();
  add_tracker_output_dir(app, options->tracker_output_dir);
  app.add_option("-o,--output-dir", options->output_dir,
                 "Folder for tracking_question_report.csv (default: TRACKER_OUTPUT_DIR)");
  app.add_option("--threshold", options->threshold,
                 "Overlap percentage above which two masks count as overlapping")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 100.0));
  app.add_option("--min-run", options->min_run,
                 "Fewest consecutive frames that make a run worth listing")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  return [options](Console& console) { return run_report(*options, console); };
}

}  // namespace kovra_cli

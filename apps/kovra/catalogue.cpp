// kovra catalogue: the camera videos of some folders, filtered by name, time and camera.

#include "command.hpp"
#include "video_options.hpp"

#include <kovra_utils/video.hpp>

#include <algorithm>
#include <iomanip>
#include <ostream>

namespace kovra_cli {

namespace {

struct CatalogueOptions {
  kovra_utils::VideoMetadata metadata{.base_dir = "", .sub_dirs = {}};
  std::string camera;
  std::string csv;
};

void print_table(std::ostream& out, const kovra_utils::Table& table) {
  const std::vector<std::string> shown = {"Camera Number", "Date", "Time", "Video Name"};
  std::vector<std::size_t> widths;
  for (const auto& column : shown) {
    std::size_t width = column.size();
    for (std::size_t r = 0; r < table.row_count(); ++r) {
      width = std::max(width, table.text(r, column).size());
    }
    widths.push_back(width);
  }
  for (std::size_t c = 0; c < shown.size(); ++c) {
    out << std::left << std::setw(static_cast<int>(widths[c]) + 2) << shown[c];
  }
  out << "\n";
  for (std::size_t r = 0; r < table.row_count(); ++r) {
    for (std::size_t c = 0; c < shown.size(); ++c) {
      out << std::left << std::setw(static_cast<int>(widths[c]) + 2) << table.text(r, shown[c]);
    }
    out << "\n";
  }
  out << table.row_count() << " recording" << (table.row_count() == 1 ? "" : "s") << "\n";
}

int run_catalogue(CatalogueOptions options, Console& console) {
  require_directory(options.metadata.base_dir, "BASE_DIR");
  require_time_of_day(options.metadata.filter_start, "--start");
  require_time_of_day(options.metadata.filter_end, "--end");
  if (!options.csv.empty()) require_parent_directory(options.csv, "--csv");
  if (!options.camera.empty()) options.metadata.camera_number = options.camera;
  const kovra_utils::Table table = options.metadata.get_filtered_video_dataframe();
  print_table(console.out(), table);
  if (!options.csv.empty()) {
    table.write_csv(options.csv);
    console.out() << "catalogue written to " << options.csv << "\n";
  }
  return 0;
}

}  // namespace

Runner declare_catalogue(CLI::App& app) {
  auto options = std::make_shared<CatalogueOptions>();
  auto& m = options->metadata;
  app.add_option("BASE_DIR", m.base_dir, "Root folder of the recordings")->required();
  app.add_option("SUB_DIR", m.sub_dirs, "Subfolders of BASE_DIR to scan, in order")
      ->required();
  app.add_option("--start", m.filter_start, "Keep recordings starting after this time (HH:MM:SS)")
      ->capture_default_str();
  app.add_option("--end", m.filter_end, "Keep recordings starting before this time (HH:MM:SS)")
      ->capture_default_str();
  app.add_option("--sample-step", m.sample_step,
                 "Keep every n-th recording of the time window (0 keeps all)")
      ->capture_default_str();
  app.add_option("--top", m.top_n, "Keep only the first n rows (below 1 keeps all)")
      ->capture_default_str();
  app.add_option("--pattern", m.match_pattern,
                 "File-name pattern: camera, unused, date (YYYYMMDD), time (HHMMSS) groups")
      ->capture_default_str();
  app.add_option("--camera", options->camera, "Keep only this camera number (for example 61)");
  app.add_option("--csv", options->csv, "Also write the catalogue to this CSV file");
  return [options](Console& console) { return run_catalogue(*options, console); };
}

}  // namespace kovra_cli

// kovra export: a clip's tracks in the formats other tools read.

#include "clip_loading.hpp"
#include "command.hpp"

#include <kovra_utils/interop.hpp>

#include <ostream>

namespace kovra_cli {

namespace {

struct ExportOptions {
  std::string tracker_output_dir;
  std::string format;
  std::string output;
  int threads = 1;
};

const char* record_name(kovra_utils::ExportFormat format) {
  switch (format) {
    case kovra_utils::ExportFormat::coco:
      return "annotations";
    case kovra_utils::ExportFormat::trajectories:
      return "rows";
    default:
      return "lines";
  }
}

int run_export(const ExportOptions& options, Console& console) {
  require_directory(options.tracker_output_dir, "TRACKER_OUTPUT_DIR");
  require_parent_directory(options.output, "--output");
  const auto format = kovra_utils::export_format(options.format);
  console.progress("exporting " + options.tracker_output_dir + " as " + options.format + " ...");
  const std::size_t written =
      kovra_utils::export_tracker_output(options.tracker_output_dir, format, options.output,
                                         options.threads);
  console.end_progress();
  console.out() << options.format << ": " << written << " " << record_name(format) << " written to "
                << options.output << "\n";
  return 0;
}

}  // namespace

Runner declare_export(CLI::App& app) {
  auto options = std::make_shared<ExportOptions>();
  add_tracker_output_dir(app, options->tracker_output_dir);
  app.add_option("-f,--format", options->format,
                 "coco (video-instance JSON with RLE masks), mots (MOTS challenge text), mot "
                 "(MOT challenge boxes) or trajectories (CSV, one row per frame and animal)")
      ->required()
      ->check(CLI::IsMember({"coco", "mots", "mot", "trajectories"}));
  app.add_option("-o,--output", options->output, "File to write (replaced atomically)")->required();
  app.add_option("-j,--threads", options->threads, "Annotation files read at once")
      ->check(CLI::Range(1, 256))
      ->capture_default_str();
  return [options](Console& console) { return run_export(*options, console); };
}

}  // namespace kovra_cli

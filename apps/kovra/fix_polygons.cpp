// kovra fix-polygons: repairs an annotation file normalised with width and height swapped.

#include "command.hpp"

#include <kovra_utils/visual.hpp>

#include <ostream>

namespace kovra_cli {

namespace fs = std::filesystem;

namespace {

struct FixOptions {
  std::string annotation_json;
  std::string output;
};

std::optional<fs::file_time_type> write_time(const fs::path& path) {
  std::error_code error;
  const auto time = fs::last_write_time(path, error);
  if (error) return std::nullopt;
  return time;
}

int run_fix(const FixOptions& options, Console& console) {
  require_file(options.annotation_json, "ANNOTATION_JSON");
  const std::string target = options.output.empty() ? options.annotation_json : options.output;
  require_parent_directory(target, "--output");
  const auto before = write_time(target);
  kovra_utils::fix_polygon_scaling(
      options.annotation_json,
      options.output.empty() ? std::nullopt : std::optional<std::string>(options.output));
  // The repair reports an unreadable frame image by a message only; a target left untouched
  // is how the tool tells.
  const auto after = write_time(target);
  if (!after || after == before) {
    throw InputError("ANNOTATION_JSON: " + options.annotation_json +
                     ": its frame image could not be read; nothing written");
  }
  console.out() << "repaired polygons written to " << target << "\n";
  return 0;
}

}  // namespace

Runner declare_fix_polygons(CLI::App& app) {
  auto options = std::make_shared<FixOptions>();
  app.add_option("ANNOTATION_JSON", options->annotation_json,
                 "Annotation file whose polygons were normalised with width and height swapped")
      ->required();
  app.add_option("-o,--output", options->output,
                 "Where to write the repaired file (default: replace ANNOTATION_JSON)");
  return [options](Console& console) { return run_fix(*options, console); };
}

}  // namespace kovra_cli

// kovra: the library's steps for one pen camera, from the command line.

#include "command.hpp"

#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <filesystem>
#include <iostream>
#include <string>

namespace kovra_cli {

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {"catalogue", "list the camera videos of some folders, filtered by time and camera",
       declare_catalogue},
      {"extract", "cut videos into windows of cropped JPEG frames", declare_extract},
      {"report", "write a clip's tracking question report and list its problem runs",
       declare_report},
      {"render", "draw an annotation file over its frame image", declare_render},
      {"fix-polygons", "repair an annotation file normalised with width and height swapped",
       declare_fix_polygons},
      {"heatmap", "draw one frame's mask overlap table as a heat map", declare_heatmap},
      {"clip-info", "summarise a clip's tracker output: frames, boxes, empty masks, overlaps",
       declare_clip_info},
      {"video", "draw a clip's masks, identities and trails over its frames as an MP4 video",
       declare_video},
      {"demo", "run the whole chain on a generated recording with the stand-in models",
       declare_demo},
      {"export", "write a clip's tracks as COCO, MOTS, MOT or a trajectory table",
       declare_export},
      {"evaluate", "score predicted tracks against a ground truth (HOTA, CLEAR MOT, IDF1)",
       declare_evaluate},
      {"swap", "swap two identities over a range of frames of a clip", declare_swap},
      {"reassign", "give one identity's detections to another over a range of frames",
       declare_reassign},
      {"synthetic-camera",
       "write a generated camera's recording, pen polygon and feeder/drinker zones",
       declare_synthetic_camera},
      {"behaviour", "measure movement, zone visits and contacts of consecutive clips",
       declare_behaviour},
  };
  return table;
}

}  // namespace kovra_cli

namespace {

using kovra_cli::Console;

bool is_known_command(const std::string& name) {
  for (const auto& command : kovra_cli::commands()) {
    if (name == command.name) return true;
  }
  return false;
}

// The first argument that is not an option, when it names no command.
std::optional<std::string> unknown_command(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!arg.empty() && arg[0] == '-') continue;
    if (is_known_command(arg)) return std::nullopt;
    return arg;
  }
  return std::nullopt;
}

std::string selected_name(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands()) return "kovra " + sub->get_name();
  return "kovra";
}

// Help requests exit 0; a bad value is a bad input (1); anything else is a usage error (2).
int report_parse_error(CLI::App& app, const CLI::ParseError& error) {
  if (error.get_exit_code() == 0) return app.exit(error);
  const std::string name = selected_name(app);
  const bool bad_value = dynamic_cast<const CLI::ValidationError*>(&error) != nullptr ||
                         dynamic_cast<const CLI::ConversionError*>(&error) != nullptr;
  std::cerr << name << ": " << error.what();
  if (!bad_value) std::cerr << " (see '" << name << " --help')";
  std::cerr << "\n";
  return bad_value ? 1 : 2;
}

int fail(Console& console, const std::string& name, const std::string& message) {
  console.end_progress();
  std::cout.flush();
  std::cerr << name << ": " << message << "\n";
  return 1;
}

int run_guarded(const std::string& name, const kovra_cli::Runner& run, Console& console) {
  try {
    const int code = run(console);
    console.end_progress();
    return code;
  } catch (const kovra_cli::InputError& error) {
    return fail(console, name, error.what());
  } catch (const kovra_utils::Error& error) {
    return fail(console, name, error.what());
  } catch (const cv::Exception& error) {
    return fail(console, name, "image processing failed: " + error.err + " (in " + error.func + ")");
  } catch (const std::filesystem::filesystem_error& error) {
    return fail(console, name, error.what());
  } catch (const std::exception& error) {
    return fail(console, name, error.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Tracking tools for overhead pen-camera video of pigs.", "kovra"};
  app.require_subcommand(1);
  app.fallthrough();
  bool quiet = false;
  app.add_flag("-q,--quiet", quiet, "Hide the library's progress messages");

  std::vector<std::pair<CLI::App*, kovra_cli::Runner>> runners;
  for (const auto& command : kovra_cli::commands()) {
    CLI::App* sub = app.add_subcommand(command.name, command.summary);
    runners.emplace_back(sub, command.declare(*sub));
  }

  if (const auto name = unknown_command(argc, argv)) {
    std::cerr << "kovra: unknown command '" << *name << "'; 'kovra --help' lists the commands\n";
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return report_parse_error(app, error);
  }

  Console console;
  console.set_quiet(quiet);
  for (const auto& [sub, run] : runners) {
    if (sub->parsed()) return run_guarded("kovra " + sub->get_name(), run, console);
  }
  return 2;
}

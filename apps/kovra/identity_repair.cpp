// kovra swap and kovra reassign: identity repair on a clip's tracker output.

#include "command.hpp"

#include <kovra_utils/evaluation.hpp>

#include <ostream>

namespace kovra_cli {

namespace {

struct RepairOptions {
  std::string tracker_output;
  std::int64_t first_id = 0;
  std::int64_t second_id = 0;
  std::int64_t from_frame = 0;
  std::optional<std::int64_t> to_frame;
  bool no_wait = false;
};

std::string range_text(const RepairOptions& options) {
  std::string text = "from frame " + std::to_string(options.from_frame);
  if (options.to_frame) text += " to frame " + std::to_string(*options.to_frame);
  return text;
}

// An interrupted earlier repair is settled before this one, and said so.
void finish_earlier_repair(const RepairOptions& options, std::ostream& out) {
  switch (kovra_utils::finish_identity_repair(options.tracker_output, !options.no_wait)) {
    case kovra_utils::RepairRecovery::completed:
      out << "completed an interrupted identity repair\n";
      break;
    case kovra_utils::RepairRecovery::rolled_back:
      out << "rolled back an interrupted identity repair\n";
      break;
    case kovra_utils::RepairRecovery::nothing:
      break;
  }
}

void print_repair(std::ostream& out, const std::string& heading,
                  const kovra_utils::IdentityRepair& repair) {
  out << heading << ": " << repair.total_detections() << " detections in " << repair.files.size()
      << " files\n";
  for (std::size_t k = 0; k < repair.files.size(); ++k) {
    out << "  " << repair.files[k] << ": " << repair.detections[k] << "\n";
  }
}

void add_common_options(CLI::App& app, RepairOptions& options, const char* first,
                        const char* first_help, const char* second, const char* second_help) {
  app.add_option("TRACKER_OUTPUT", options.tracker_output,
                 "Folder of the clip's annotation files (output_pp_<n>.json)")
      ->required()
      ->check(CLI::ExistingDirectory);
  app.add_option(first, options.first_id, first_help)->required();
  app.add_option(second, options.second_id, second_help)->required();
  app.add_option("--from", options.from_frame, "First frame number changed (as in the file names)")
      ->required();
  app.add_option("--to", options.to_frame, "Last frame number changed (default: the clip's end)");
  app.add_flag("--no-wait", options.no_wait,
               "Fail at once when another repair or a reader holds the folder, instead of "
               "waiting for it");
}

// The library's swap_identities or reassign_identity.
using RepairFunction = kovra_utils::IdentityRepair (*)(const std::string&, std::int64_t,
                                                       std::int64_t, std::int64_t,
                                                       std::optional<std::int64_t>, bool);

int run_repair(const RepairOptions& options, Console& console, RepairFunction repair_function,
               const std::string& heading) {
  finish_earlier_repair(options, console.out());
  const auto repair = repair_function(options.tracker_output, options.first_id, options.second_id,
                                      options.from_frame, options.to_frame, !options.no_wait);
  print_repair(console.out(), heading + " " + range_text(options), repair);
  return 0;
}

}  // namespace

Runner declare_swap(CLI::App& app) {
  auto options = std::make_shared<RepairOptions>();
  add_common_options(app, *options, "ID_A", "One identity (\"object_id\")", "ID_B",
                     "The other identity");
  return [options](Console& console) {
    return run_repair(*options, console, kovra_utils::swap_identities,
                      "swapped identities " + std::to_string(options->first_id) + " and " +
                          std::to_string(options->second_id));
  };
}

Runner declare_reassign(CLI::App& app) {
  auto options = std::make_shared<RepairOptions>();
  add_common_options(app, *options, "FROM_ID", "The identity (\"object_id\") to give up", "TO_ID",
                     "The identity its detections take");
  return [options](Console& console) {
    return run_repair(*options, console, kovra_utils::reassign_identity,
                      "identity " + std::to_string(options->first_id) + " became " +
                          std::to_string(options->second_id));
  };
}

}  // namespace kovra_cli

// Identity-repair journals through the recovery. A clip folder with two annotation files, their
// new files, a linked subfolder leading outside and a file beside the clip: whatever the journal
// says, recovery may only rename or remove files inside the clip, never follow the link, and
// leaves no journal when it succeeds.

#include <kovra_utils/evaluation.hpp>

#include "fuzz_support.hpp"

#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

const std::string outside_content = "outside";

void reset_clip(const fs::path& clip, const fs::path& outside) {
  fs::remove_all(clip);
  fs::create_directories(clip / "sub");
  fs::create_directories(outside);
  for (const char* name : {"output_pp_1.json", "sub/output_pp_2.json"}) {
    kovra_fuzz::write_file(clip / name, R"({"detections": []})");
    kovra_fuzz::write_file(clip / (std::string(name) + ".kovra-new"), R"({"detections": [1]})");
  }
  for (const char* name : {"victim.json", "victim.json.kovra-new"}) {
    kovra_fuzz::write_file(outside / name, outside_content);
  }
  fs::create_directory_symlink(outside, clip / "linked");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path clip = kovra_fuzz::workspace() / "clip";
  const fs::path outside = kovra_fuzz::workspace() / "outside";
  reset_clip(clip, outside);
  kovra_fuzz::write_file(clip / "kovra-identity-repair.journal", kovra_fuzz::as_text(data, size));
  bool settled = false;
  try {
    kovra_utils::finish_identity_repair(clip.string(), false);
    settled = true;
  } catch (const kovra_utils::Error&) {
  }
  if (settled && fs::exists(clip / "kovra-identity-repair.journal")) std::abort();
  if (kovra_fuzz::entry_count(outside) != 2) std::abort();
  for (const char* name : {"victim.json", "victim.json.kovra-new"}) {
    std::error_code error;
    if (fs::file_size(outside / name, error) != outside_content.size()) std::abort();
  }
  if (kovra_fuzz::entry_count(kovra_fuzz::workspace()) > 3) std::abort();  // frame, clip, outside
  return 0;
}

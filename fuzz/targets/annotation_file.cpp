// Frame annotation files through every reader: the rasteriser, the clip loader (whose first
// file also sets the frame size) and the renderer. Library errors are the expected outcome of
// bad input; anything else escaping, a crash or a hang is a finding.

#include <kovra_utils/annotation.hpp>
#include <kovra_utils/visual.hpp>

#include "fuzz_support.hpp"

#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace fs = std::filesystem;
  const fs::path clip = kovra_fuzz::workspace() / "clip";
  fs::create_directories(clip);
  const std::string path = (clip / "output_pp_1.json").string();
  kovra_fuzz::write_file(path, kovra_fuzz::as_text(data, size));
  kovra_fuzz::QuietCout quiet;
  try {
    kovra_utils::process_json_and_generate_masks(path, 24, 32);
  } catch (const kovra_utils::Error&) {
  }
  try {
    kovra_utils::get_kovra_annotation_data("", false, 0, clip.string());
  } catch (const kovra_utils::Error&) {
  }
  try {
    kovra_utils::retrieve_annotation(path, std::nullopt, true, std::nullopt);
  } catch (const kovra_utils::Error&) {
  }
  return 0;
}

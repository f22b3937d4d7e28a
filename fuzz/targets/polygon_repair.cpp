// The polygon repair: reads a whole annotation file and writes it back re-indented.

#include <kovra_utils/visual.hpp>

#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = (kovra_fuzz::workspace() / "repair.json").string();
  const std::string repaired = (kovra_fuzz::workspace() / "repaired.json").string();
  kovra_fuzz::write_file(path, kovra_fuzz::as_text(data, size));
  kovra_fuzz::QuietCout quiet;
  try {
    kovra_utils::fix_polygon_scaling(path, repaired);
  } catch (const kovra_utils::Error&) {
  }
  return 0;
}

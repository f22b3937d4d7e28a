// MOTS text files through both readers and the mask evaluation: run-length tracks scored against
// themselves, and the decoded masks when decoding stays within its budget. The two forms must
// agree on the frames and identities they read, and scoring a file against itself must give a
// perfect HOTA whenever it holds a non-empty mask.

#include <kovra_utils/evaluation.hpp>
#include <kovra_utils/interop.hpp>

#include "fuzz_support.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = (kovra_fuzz::workspace() / "tracks.mots").string();
  kovra_fuzz::write_file(path, kovra_fuzz::as_text(data, size));
  kovra_utils::TrackRles rles;
  try {
    rles = kovra_utils::read_mots_rle(path);
  } catch (const kovra_utils::Error&) {
    return 0;
  }
  try {
    const auto evaluation = kovra_utils::evaluate_tracking(rles, rles);
    const bool perfect = evaluation.HOTA.HOTA_FP[0] == 0 && evaluation.HOTA.HOTA_FN[0] == 0;
    if (!perfect) std::abort();
  } catch (const kovra_utils::ArgumentError&) {  // masks of one frame on different planes
  }
  try {
    const kovra_utils::TrackMasks masks = kovra_utils::read_mots(path);
    if (masks.size() != rles.size()) std::abort();
    for (const auto& [frame, identities] : masks) {
      for (const auto& [identity, mask] : identities) {
        if (mask.area() != kovra_utils::rle_area(rles.at(frame).at(identity))) std::abort();
      }
    }
  } catch (const kovra_utils::ContentError&) {  // over the decoding budget
  }
  return 0;
}

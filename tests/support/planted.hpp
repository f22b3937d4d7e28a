#pragma once

// Things an attacker with write access to an output folder can leave at the name a writer is
// about to use (its fixed temporary): a link to a file outside, a dangling link, a folder, a
// FIFO. The trials check that the writer refuses them and leaves the outside file alone.

#include <filesystem>
#include <string>
#include <vector>

namespace kovra_test {

struct Planted {
  const char* name;
  // Puts the object at `at`; `victim` is a file outside the output folder.
  void (*plant)(const std::filesystem::path& at, const std::filesystem::path& victim);
};

/// The planted kinds, one per trial.
const std::vector<Planted>& planted_kinds();

/// The victim's content before the trial.
inline const std::string victim_content = "precious";

}  // namespace kovra_test

#pragma once

// The temporary file behind write_file_atomically (declared in types.hpp).

#include <filesystem>

namespace kovra_utils::atomic_write {

/// The temporary that a write of `target` goes through: a short hidden name in the target's
/// folder, the same for every write of that target, so that a write interrupted by a crash
/// leaves one file that the next write of the target takes over.
std::filesystem::path temporary_path_of(const std::filesystem::path& target);

}  // namespace kovra_utils::atomic_write

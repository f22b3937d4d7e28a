// Video file names through the catalogue, with the default pattern and with a caller's pattern
// that accepts any name, and the catalogue through the frame extraction, which must never
// create anything outside its output folder.

#include <kovra_utils/video.hpp>

#include "fuzz_support.hpp"

#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

bool is_file_name(const std::string& name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

void catalogue_and_extract(const fs::path& videos, const std::string& pattern) {
  const fs::path out = kovra_fuzz::workspace() / "out";
  fs::remove_all(out);
  fs::create_directories(out);
  try {
    const kovra_utils::Table table =
        kovra_utils::VideoMetadata{.base_dir = videos.string(),
                                   .sub_dirs = {"sub"},
                                   .filter_start = "",
                                   .filter_end = "\x7f",
                                   .sample_step = 0,
                                   .match_pattern = pattern}
            .get_filtered_video_dataframe();
    kovra_utils::VideoProcessor processor{.output_dir_base = (out / "base").string(),
                                          .crop = false};
    processor.process_videos_to_frames(table);
  } catch (const kovra_utils::Error&) {
  }
  // Only the output folder itself may appear.
  for (const auto& entry : fs::directory_iterator(out)) {
    if (entry.path().filename() != "base") std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name = kovra_fuzz::as_text(data, size);
  if (!is_file_name(name)) return 0;
  const fs::path videos = kovra_fuzz::workspace() / "videos";
  fs::remove_all(videos);
  fs::create_directories(videos / "sub");
  kovra_fuzz::write_file(videos / "sub" / name, "");
  kovra_fuzz::QuietCout quiet;
  catalogue_and_extract(videos, R"(Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4)");
  catalogue_and_extract(videos, "(.*?)(.*?)(.*?)(.*?)");
  return 0;
}

// kovra render: an annotation file drawn over its frame image.

#include "command.hpp"

#include <kovra_utils/visual.hpp>

#include <algorithm>
#include <cctype>
#include <ostream>

namespace kovra_cli {

namespace {

struct RenderOptions {
  std::string annotation_json;
  std::string image;
  bool boxes = false;
  std::vector<std::int64_t> objects;
};

// The picture has an alpha channel, so only formats that keep it are accepted.
void require_alpha_format(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension != ".png" && extension != ".tif" && extension != ".tiff" &&
      extension != ".webp") {
    throw InputError("--output: " + path.string() +
                     ": the picture has an alpha channel; use .png, .tif or .webp");
  }
}

int run_render(const RenderOptions& options, Console& console) {
  require_file(options.annotation_json, "ANNOTATION_JSON");
  require_alpha_format(options.image);
  require_parent_directory(options.image, "--output");
  kovra_utils::ObjectIds ids;
  if (!options.objects.empty()) ids.emplace(options.objects.begin(), options.objects.end());
  const cv::Mat picture =
      kovra_utils::retrieve_annotation(options.annotation_json, options.image, options.boxes, ids);
  console.out() << "rendered " << options.annotation_json << " (" << picture.cols << " x "
                << picture.rows << ") to " << options.image << "\n";
  return 0;
}

}  // namespace

Runner declare_render(CLI::App& app) {
  auto options = std::make_shared<RenderOptions>();
  app.add_option("ANNOTATION_JSON", options->annotation_json, "Frame annotation file")
      ->required();
  app.add_option("-o,--output", options->image, "Picture to write (RGBA: .png, .tif or .webp)")
      ->required();
  app.add_flag("-b,--boxes", options->boxes, "Also draw each object's box and caption");
  app.add_option("--objects", options->objects,
                 "Draw only these object ids (the files' object_id values, from 1)")
      ->delimiter(',');
  return [options](Console& console) { return run_render(*options, console); };
}

}  // namespace kovra_cli

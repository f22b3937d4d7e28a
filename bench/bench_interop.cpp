// COCO export of a tracked clip: run-length encoding from the masks' crops against the dense
// formulation a numpy/pycocotools user runs (each mask made a full frame plane, put in
// column-major order, then encoded), both writing the same COCO file; and the whole export of a
// tracker output folder, loading included.
//
//   bench_interop CLIP_DIR [benchmark flags]
//
// CLIP_DIR: a clip from ../shared/bench/gen_clip.py (generate it with --absolute, or run from
// the folder it was generated in). Before timing, both formulations write their file once and
// the program stops unless the two files are byte for byte the same.

#include "clip_cache.hpp"

#include <kovra_utils/annotation.hpp>
#include <kovra_utils/interop.hpp>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using kovra_utils::ClipData;
using kovra_utils::Mask;
using kovra_utils::Rle;

std::string clip_dir;
fs::path scratch;

const ClipData& clip() { return kovra_bench::cached_clip(clip_dir); }

std::size_t mask_count() {
  std::size_t count = 0;
  for (const auto& [key, record] : clip()) count += record.masks_dict.size();
  return count;
}

// pycocotools' rleEncode over a dense plane in column-major (Fortran) order.
Rle dense_encode(const Mask& mask) {
  cv::Mat fortran;
  cv::transpose(mask.dense(), fortran);
  Rle rle{mask.rows(), mask.cols(), {}};
  const std::uint8_t* pixel = fortran.ptr<std::uint8_t>(0);
  const std::size_t total = fortran.total();
  std::uint8_t value = 0;
  std::int64_t run = 0;
  for (std::size_t i = 0; i < total; ++i) {
    if (pixel[i] != value) {
      rle.counts.push_back(run);
      run = 0;
      value = pixel[i];
    }
    ++run;
  }
  rle.counts.push_back(run);
  return rle;
}

// The COCO document of write_coco, with every mask encoded densely.
void write_dense_coco(const ClipData& clip, const fs::path& path) {
  using Json = nlohmann::ordered_json;
  Json images = Json::array();
  Json annotations = Json::array();
  cv::Size size(0, 0);
  std::int64_t image_id = 0;
  for (const auto& [key, record] : clip) {
    if (!record.masks_dict.empty()) size = record.masks_dict.begin()->second.size();
    images.push_back(Json{{"id", ++image_id},
                          {"file_name", record.image_path},
                          {"height", size.height},
                          {"width", size.width},
                          {"frame_index", record.frame_index},
                          {"video_id", 1}});
    for (const auto& [box_key, mask] : record.masks_dict) {
      const Rle rle = dense_encode(mask);
      annotations.push_back(Json{
          {"id", annotations.size() + 1},
          {"image_id", image_id},
          {"category_id", 1},
          {"segmentation",
           Json{{"size", {rle.height, rle.width}}, {"counts", kovra_utils::rle_to_string(rle)}}},
          {"area", mask.area()},
          {"bbox", kovra_utils::rle_to_bbox(rle)},
          {"iscrowd", 0},
          {"track_id", kovra_utils::identity_of(box_key)}});
    }
  }
  const Json document{{"images", std::move(images)},
                      {"annotations", std::move(annotations)},
                      {"categories", Json::array({Json{{"id", 1}, {"name", "pig"}}})},
                      {"videos", Json::array({Json{{"id", 1},
                                                   {"name", ""},
                                                   {"height", size.height},
                                                   {"width", size.width},
                                                   {"length", clip.size()}}})}};
  kovra_utils::write_file_atomically(path, document.dump());
}

std::string file_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void set_mask_counters(benchmark::State& state) {
  state.counters["masks"] = static_cast<double>(mask_count());
  state.counters["frames"] = static_cast<double>(clip().size());
}

void BM_CocoFromCrops(benchmark::State& state) {
  for (auto _ : state) kovra_utils::write_coco(clip(), scratch / "crops.json");
  set_mask_counters(state);
}
BENCHMARK(BM_CocoFromCrops)->Unit(benchmark::kMillisecond);

void BM_CocoDenseBaseline(benchmark::State& state) {
  for (auto _ : state) write_dense_coco(clip(), scratch / "dense.json");
  set_mask_counters(state);
}
BENCHMARK(BM_CocoDenseBaseline)->Unit(benchmark::kMillisecond);

// The whole `kovra export --format coco`: load the folder, encode, write.
void BM_ExportCocoIncludingLoading(benchmark::State& state) {
  for (auto _ : state) {
    kovra_utils::export_tracker_output(clip_dir, kovra_utils::ExportFormat::coco,
                                       scratch / "export.json");
  }
}
BENCHMARK(BM_ExportCocoIncludingLoading)->Unit(benchmark::kMillisecond);

bool same_output() {
  kovra_utils::write_coco(clip(), scratch / "crops.json");
  write_dense_coco(clip(), scratch / "dense.json");
  return file_text(scratch / "crops.json") == file_text(scratch / "dense.json");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::cerr << "usage: bench_interop CLIP_DIR [benchmark flags]\n";
    return 2;
  }
  clip_dir = argv[1];
  scratch = fs::temp_directory_path() / ("kovra_bench_interop_" + std::to_string(::getpid()));
  fs::create_directories(scratch);
  const bool same = same_output();
  if (same) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  if (!same) {
    std::cerr << "the crop and dense formulations wrote different COCO files\n";
    return 1;
  }
  return 0;
}

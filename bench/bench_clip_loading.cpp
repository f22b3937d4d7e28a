// Loading a tracked clip: the whole clip held in memory, as a caller would.
//
//   bench_clip_loading CLIP_DIR [--dump FILE] [--once] [--threads N] [benchmark flags]
//
// --once loads the clip a single time and prints elapsed time, time per frame and peak RSS in the
// baseline loader's format; --dump writes one line per frame record
// ("<position> <frame_index> <key>=<area> ... | <cell> ...", cells row-major as %.17g) so the
// result can be compared byte for byte with another loader's dump; --threads N reads N files at
// once (1 by default). --once also prints the process's CPU time.
// Run it from the folder the clip was generated in: image paths in the clip are relative.

#include <kovra_utils/annotation.hpp>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using kovra_utils::ClipData;

std::string clip_dir;
int threads = 1;

double peak_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

ClipData load_clip() {
  auto loaded = kovra_utils::get_kovra_annotation_data("", false, 0, clip_dir, threads);
  if (!loaded.kovra_annotation_data) throw std::runtime_error("no clip in " + clip_dir);
  return std::move(*loaded.kovra_annotation_data);
}

void write_dump(const ClipData& clip, const std::string& path) {
  std::ofstream out(path);
  char cell[64];
  for (const auto& [position, record] : clip) {
    out << position << ' ' << record.frame_index << ' ';
    bool first = true;
    for (const auto& [key, area] : record.mask_areas) {
      out << (first ? "" : " ") << key << '=' << area;
      first = false;
    }
    out << " | ";
    first = true;
    for (double value : record.intersections_df->values()) {
      std::snprintf(cell, sizeof cell, "%.17g", value);
      out << (first ? "" : " ") << cell;
      first = false;
    }
    out << '\n';
  }
}

void BM_LoadWholeClip(benchmark::State& state) {
  std::size_t frames = 0;
  for (auto _ : state) {
    ClipData clip = load_clip();
    frames = clip.size();
    benchmark::DoNotOptimize(clip);
  }
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["ms_per_frame"] = benchmark::Counter(
      static_cast<double>(frames) * 1e-3,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["peak_rss_mb"] = peak_rss_mb();
}
BENCHMARK(BM_LoadWholeClip)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string dump_path;
  bool once = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dump" && i + 1 < argc) {
      dump_path = argv[++i];
    } else if (arg == "--threads" && i + 1 < argc) {
      threads = std::stoi(argv[++i]);
    } else if (arg == "--once") {
      once = true;
    } else {
      clip_dir = arg;
    }
  }
  if (clip_dir.empty()) {
    std::cerr << "usage: bench_clip_loading CLIP_DIR [--dump FILE] [--once] [--threads N] [benchmark flags]\n";
    return 2;
  }
  if (once || !dump_path.empty()) {
    const auto start = std::chrono::steady_clock::now();
    const ClipData clip = load_clip();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("frames=%zu elapsed_s=%.3f per_frame_ms=%.2f peak_rss_mb=%.0f cpu_s=%.3f\n",
                clip.size(), elapsed, 1000 * elapsed / static_cast<double>(clip.size()),
                peak_rss_mb(), cpu_seconds());
    if (!dump_path.empty()) write_dump(clip, dump_path);
    return 0;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

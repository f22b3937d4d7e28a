// End-to-end runs of the `kovra` binary on generated data.

#include "capture.hpp"
#include "synthetic_recording.hpp"

#include <kovra_utils/annotation.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#ifndef KOVRA_CLI_PATH
#error "KOVRA_CLI_PATH must name the kovra binary"
#endif

namespace {

namespace fs = std::filesystem;
using kovra_test::read_text;
using kovra_test::TempDir;
using kovra_test::write_text;

struct RunResult {
  int code = -1;
  std::string out;
  std::string err;
};

std::string shell_quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

RunResult run_kovra(const std::vector<std::string>& args, const fs::path& scratch) {
  std::string command = shell_quote(KOVRA_CLI_PATH);
  for (const auto& arg : args) {
    command += ' ';
    command += shell_quote(arg);
  }
  const fs::path out = scratch / "stdout.txt";
  const fs::path err = scratch / "stderr.txt";
  command += " >" + shell_quote(out.string()) + " 2>" + shell_quote(err.string()) + " </dev/null";
  const int status = std::system(command.c_str());
  RunResult result;
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_text(out);
  result.err = read_text(err);
  return result;
}

bool contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

int line_count(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A normalised rectangle polygon string on a frame of `size`.
std::string rect_polygon(cv::Rect rect, cv::Size size) {
  const double x1 = double(rect.x) / size.width;
  const double y1 = double(rect.y) / size.height;
  const double x2 = double(rect.x + rect.width - 1) / size.width;
  const double y2 = double(rect.y + rect.height - 1) / size.height;
  return "0 " + std::to_string(x1) + " " + std::to_string(y1) + " " + std::to_string(x2) + " " +
         std::to_string(y1) + " " + std::to_string(x2) + " " + std::to_string(y2) + " " +
         std::to_string(x1) + " " + std::to_string(y2);
}

// One frame of a generated clip: object id -> rectangle (an empty rectangle gives no polygon).
using FrameBoxes = std::vector<std::pair<int, cv::Rect>>;

// Writes a clip of annotation files output_pp_<n>.json and their frame images under `dir`.
void write_clip(const fs::path& dir, const std::vector<FrameBoxes>& frames,
                cv::Size size = {200, 100}) {
  fs::create_directories(dir);
  for (std::size_t n = 0; n < frames.size(); ++n) {
    const fs::path image = dir / ("frame_" + std::to_string(n) + ".png");
    cv::imwrite(image.string(), cv::Mat(size, CV_8UC3, cv::Scalar(40, 40, 40)));
    nlohmann::json detections = nlohmann::json::array();
    for (const auto& [object_id, rect] : frames[n]) {
      nlohmann::json polygons = nlohmann::json::array();
      if (!rect.empty()) polygons.push_back(rect_polygon(rect, size));
      detections.push_back({{"object_id", object_id},
                            {"xyxy", {{rect.x, rect.y, rect.x + rect.width, rect.y + rect.height}}},
                            {"formatted_polygon", polygons}});
    }
    const nlohmann::json file = {{"image_path", image.string()}, {"detections", detections}};
    write_text(dir / ("output_pp_" + std::to_string(n) + ".json"), file.dump(4));
  }
}

// Three frames: Box0 and Box1 apart, then Box1 inside Box0 twice; Box2 empty in frame 1.
std::vector<FrameBoxes> overlapping_clip() {
  const cv::Rect big(10, 10, 60, 40);
  const cv::Rect apart(120, 20, 30, 30);
  const cv::Rect inside(20, 20, 20, 20);
  const cv::Rect other(160, 60, 20, 20);
  return {{{1, big}, {2, apart}, {3, other}},
          {{1, big}, {2, inside}, {3, cv::Rect()}},
          {{1, big}, {2, inside}, {3, other}}};
}

class Cli : public ::testing::Test {
 protected:
  TempDir tmp;
  RunResult run(const std::vector<std::string>& args) { return run_kovra(args, tmp.path()); }
};

TEST_F(Cli, UsageErrorsExitTwoWithOneLine) {
  const RunResult none = run({});
  EXPECT_EQ(none.code, 2);

  const RunResult unknown = run({"frobnicate"});
  EXPECT_EQ(unknown.code, 2);
  EXPECT_EQ(unknown.err, "kovra: unknown command 'frobnicate'; 'kovra --help' lists the commands\n");

  const RunResult missing = run({"clip-info"});
  EXPECT_EQ(missing.code, 2);
  EXPECT_TRUE(contains(missing.err, "TRACKER_OUTPUT_DIR is required")) << missing.err;
  EXPECT_EQ(line_count(missing.err), 1);

  const RunResult help = run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(contains(help.out, "clip-info")) << help.out;
}

TEST_F(Cli, ClipInfoSummarisesFramesBoxesEmptyMasksAndOverlaps) {
  write_clip(tmp / "clip", overlapping_clip());
  const RunResult result = run({"clip-info", (tmp / "clip").string(), "--top", "1"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "frames: 3 (frame numbers 0 .. 2)\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "boxes: 3 (Box0, Box1, Box2)\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "zero-area masks: 1\n  frame 1: Box2\n")) << result.out;
  // Box1 lies wholly inside Box0 in frames 1 and 2; the worst is listed first, clip order kept.
  EXPECT_TRUE(contains(result.out, "  frame 1 (file number 1): Box1 in Box0 100.00 %\n"))
      << result.out;
  EXPECT_FALSE(contains(result.out, "frame 2 (file number 2)")) << result.out;
}

TEST_F(Cli, ClipInfoRejectsMissingAndEmptyFolders) {
  const RunResult missing = run({"clip-info", (tmp / "nowhere").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "kovra clip-info: TRACKER_OUTPUT_DIR: no such folder: " +
                             (tmp / "nowhere").string() + "\n");

  fs::create_directories(tmp / "empty");
  const RunResult empty = run({"--quiet", "clip-info", (tmp / "empty").string()});
  EXPECT_EQ(empty.code, 1);
  EXPECT_TRUE(contains(empty.err, "no annotation files")) << empty.err;
  EXPECT_EQ(empty.out, "");  // the library's "No JSON files found" message is hidden

  write_text(tmp / "bad" / "output_pp_0.json", "{not json");
  const RunResult bad = run({"clip-info", (tmp / "bad").string()});
  EXPECT_EQ(bad.code, 1);
  EXPECT_EQ(line_count(bad.err), 1);
  EXPECT_TRUE(contains(bad.err, "output_pp_0.json")) << bad.err;

  const RunResult value = run({"clip-info", (tmp / "bad").string(), "--top", "many"});
  EXPECT_EQ(value.code, 1);
  EXPECT_TRUE(contains(value.err, "--top")) << value.err;
}

TEST_F(Cli, CatalogueListsMatchingDaytimeRecordingsAndWritesCsv) {
  for (const char* name : {"Camera61_2_20240315061500.mp4", "Camera62_1_20240315180000.mp4",
                           "notes.mp4", "Camera61_2_20240315071500.MP4"}) {
    write_text(tmp / "base" / "pen" / name, "");
  }
  const fs::path csv = tmp / "catalogue.csv";
  const RunResult result = run({"catalogue", (tmp / "base").string(), "pen", "missing",
                                "--sample-step", "0", "--csv", csv.string()});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "Camera61_2_20240315061500")) << result.out;
  EXPECT_FALSE(contains(result.out, "Camera62")) << result.out;
  EXPECT_TRUE(contains(result.out, "1 recording\n")) << result.out;
  EXPECT_EQ(read_text(csv),
            "Camera Number,Date,Time,File Path,Video Name\n61,20240315,06:15:00," +
                (tmp / "base" / "pen" / "Camera61_2_20240315061500.mp4").string() +
                ",Camera61_2_20240315061500\n");
}

TEST_F(Cli, CatalogueRejectsBadFoldersAndTimes) {
  const RunResult missing = run({"catalogue", (tmp / "nowhere").string(), "pen"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_TRUE(contains(missing.err, "BASE_DIR: no such folder")) << missing.err;
  fs::create_directories(tmp / "base");
  const RunResult time = run({"catalogue", (tmp / "base").string(), "pen", "--start", "6am"});
  EXPECT_EQ(time.code, 1);
  EXPECT_EQ(time.err, "kovra catalogue: --start: expected a time of day HH:MM:SS, got '6am'\n");
  const RunResult no_sub = run({"catalogue", (tmp / "base").string()});
  EXPECT_EQ(no_sub.code, 2);
}

TEST_F(Cli, ExtractCutsAFolderOfVideosIntoCroppedWindows) {
  fs::create_directories(tmp / "videos");
  kovra_cli::write_synthetic_recording(tmp / "videos" / "Camera61_2_20240315061500.mp4",
                                       {.frame_count = 10});
  const RunResult result = run({"--quiet", "extract", "--videos", (tmp / "videos").string(),
                                "-o", (tmp / "frames").string(), "--frame-skip", "2"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "extracted 1 video into ")) << result.out;
  EXPECT_TRUE(contains(result.out, "crop of camera 61: x1=430, y1=0, x2=2300, y2=1440"))
      << result.out;
  const fs::path window = tmp / "frames" / "20240315" / "Camera61_2_20240315061500";
  ASSERT_TRUE(fs::is_directory(window)) << result.out;
  std::vector<fs::path> jpgs;
  for (const auto& entry : fs::recursive_directory_iterator(window)) {
    if (entry.path().extension() == ".jpg") jpgs.push_back(entry.path());
  }
  // Frames 0, 2, 4, 6 and 8: the window ends at 300 * (2 s / 60) = 9.999999999999998 frames,
  // so frame 9 is not its last frame.
  EXPECT_EQ(jpgs.size(), 5u);
  const cv::Mat first = cv::imread(jpgs.front().string());
  EXPECT_EQ(first.size(), cv::Size(1870, 1440));
}

TEST_F(Cli, ExtractNeedsExactlyOneSourceAndAReadableCatalogue) {
  EXPECT_EQ(run({"extract"}).code, 2);
  EXPECT_EQ(run({"extract", "--videos", "a", "--catalogue", "b"}).code, 2);
  const RunResult missing = run({"extract", "--catalogue", (tmp / "none.csv").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_TRUE(contains(missing.err, "--catalogue: no such file")) << missing.err;
  write_text(tmp / "odd.csv", "Video Name,File Path\nx,y\n");
  const RunResult columns = run({"extract", "--catalogue", (tmp / "odd.csv").string()});
  EXPECT_EQ(columns.code, 1);
  EXPECT_TRUE(contains(columns.err, "no column \"Date\"")) << columns.err;
  const RunResult step = run({"extract", "--videos", tmp.path().string(), "--time-step", "0"});
  EXPECT_EQ(step.code, 1);
  EXPECT_TRUE(contains(step.err, "--time-step")) << step.err;
}

TEST_F(Cli, ReportWritesTheCsvAndListsProblemRuns) {
  write_clip(tmp / "clip", overlapping_clip());
  const RunResult result = run({"--quiet", "report", (tmp / "clip").string(), "--min-run", "2"});
  ASSERT_EQ(result.code, 0) << result.err;
  const fs::path csv = tmp / "clip" / "tracking_question_report.csv";
  EXPECT_EQ(result.out, "report: " + csv.string() +
                            " (2 high-overlap rows, 1 zero-area rows)\n"
                            "zero-area boxes (runs of at least 2 frames): none\n"
                            "overlapping box pairs (runs of at least 2 frames): 1\n"
                            "  Box1-Box0: frames 1-2\n");
  const std::string report = read_text(csv);
  EXPECT_EQ(report.substr(0, report.find('\n')),
            "Frame ID,Box Pair,Intersection Value,Mask Area1,Mask Area2,Report type,Box ID,Mask Areas");
  EXPECT_EQ(line_count(report), 4);
}

TEST_F(Cli, ReportOfACleanClipWritesNothing) {
  write_clip(tmp / "clip", {{{1, cv::Rect(0, 0, 10, 10)}, {2, cv::Rect(50, 50, 10, 10)}}});
  const RunResult result = run({"report", (tmp / "clip").string()});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out, "nothing to report in 1 frames; no report written\n");
  EXPECT_FALSE(fs::exists(tmp / "clip" / "tracking_question_report.csv"));
  const RunResult bad = run({"report", (tmp / "clip").string(), "--threshold", "120"});
  EXPECT_EQ(bad.code, 1);
  EXPECT_TRUE(contains(bad.err, "--threshold")) << bad.err;
}

TEST_F(Cli, RenderDrawsTheChosenObjectsAsAnRgbaPicture) {
  write_clip(tmp / "clip", overlapping_clip());
  const fs::path json = tmp / "clip" / "output_pp_0.json";
  const fs::path picture = tmp / "frame.png";
  const RunResult result =
      run({"render", json.string(), "-o", picture.string(), "--boxes", "--objects", "1,3"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "rendered " + json.string() + " (200 x 100)")) << result.out;
  const cv::Mat read = cv::imread(picture.string(), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(read.size(), cv::Size(200, 100));
  EXPECT_EQ(read.channels(), 4);
  // Object 2 (at 120..149 x 20..49) is not drawn: the floor shows through unchanged.
  EXPECT_EQ(read.at<cv::Vec4b>(35, 135), cv::Vec4b(40, 40, 40, 255));

  const RunResult jpeg = run({"render", json.string(), "-o", (tmp / "frame.jpg").string()});
  EXPECT_EQ(jpeg.code, 1);
  EXPECT_TRUE(contains(jpeg.err, "alpha channel")) << jpeg.err;
  const RunResult missing = run({"render", (tmp / "none.json").string(), "-o", picture.string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_TRUE(contains(missing.err, "ANNOTATION_JSON: no such file")) << missing.err;
}

TEST_F(Cli, FixPolygonsRepairsSwappedNormalisation) {
  const fs::path image = tmp / "frame.png";
  cv::imwrite(image.string(), cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 0)));
  const nlohmann::json file = {
      {"image_path", image.string()},
      {"detections", {{{"object_id", 1}, {"formatted_polygon", {"7 0.666667 0.375"}}}}}};
  write_text(tmp / "swapped.json", file.dump());
  const RunResult result = run({"fix-polygons", (tmp / "swapped.json").string(), "-o",
                                (tmp / "fixed.json").string()});
  ASSERT_EQ(result.code, 0) << result.err;
  const auto fixed = nlohmann::json::parse(read_text(tmp / "fixed.json"));
  EXPECT_EQ(fixed["detections"][0]["formatted_polygon"][0], "7 0.500000 0.500000");
  EXPECT_EQ(read_text(tmp / "swapped.json"), file.dump());  // the source is left alone

  fs::remove(image);
  const RunResult no_image = run({"fix-polygons", (tmp / "swapped.json").string()});
  EXPECT_EQ(no_image.code, 1);
  EXPECT_TRUE(contains(no_image.err, "its frame image could not be read; nothing written"))
      << no_image.err;
  EXPECT_TRUE(contains(no_image.out, "Error loading image: ")) << no_image.out;
  EXPECT_EQ(read_text(tmp / "swapped.json"), file.dump());
}

TEST_F(Cli, HeatmapDrawsOneFramesOverlapTable) {
  write_clip(tmp / "clip", overlapping_clip());
  const fs::path picture = tmp / "heat.png";
  const RunResult result =
      run({"heatmap", (tmp / "clip").string(), "--frame", "1", "-o", picture.string()});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "heat map of frame 1 (")) << result.out;
  EXPECT_EQ(cv::imread(picture.string()).size(), cv::Size(700, 500));

  const RunResult beyond =
      run({"heatmap", (tmp / "clip").string(), "--frame", "3", "-o", picture.string()});
  EXPECT_EQ(beyond.code, 1);
  EXPECT_EQ(beyond.err, "kovra heatmap: --frame: no frame 3; the clip has frames 0 .. 2\n");
  const RunResult no_frame = run({"heatmap", (tmp / "clip").string(), "-o", picture.string()});
  EXPECT_EQ(no_frame.code, 2);
}

TEST_F(Cli, VideoWritesTheClipAsAnMp4AndCountsMarkedFrames) {
  write_clip(tmp / "clip", overlapping_clip());
  const fs::path video = tmp / "clip.mp4";
  const RunResult result =
      run({"video", (tmp / "clip").string(), "-o", video.string(), "--report", "--fps", "5"});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(result.out, "wrote " + video.string() + ": 3 frames, 200 x 100, 5 fps, codec avc1\n" +
                            "2 frames marked for review\n");
  EXPECT_TRUE(fs::is_regular_file(video));

  const RunResult bad = run({"video", (tmp / "clip").string(), "-o", (tmp / "b.mp4").string(),
                             "--scale", "0"});
  EXPECT_EQ(bad.code, 1);
  EXPECT_EQ(bad.err, "kovra video: scale must be a positive number, got 0.0\n");
  EXPECT_FALSE(fs::exists(tmp / "b.mp4"));
}

TEST_F(Cli, ExportWritesEachFormatOfAClip) {
  write_clip(tmp / "clip", overlapping_clip());
  const std::string clip = (tmp / "clip").string();
  const std::vector<std::pair<std::string, std::string>> formats = {
      {"coco", "coco: 9 annotations written to "},  // the empty mask is an annotation too
      {"mots", "mots: 8 lines written to "},
      {"mot", "mot: 8 lines written to "},
      {"trajectories", "trajectories: 9 rows written to "}};
  for (const auto& [format, line] : formats) {
    const std::string output = (tmp / ("tracks." + format)).string();
    const RunResult result = run({"--quiet", "export", clip, "--format", format, "-o", output});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, line + output + "\n");
    EXPECT_TRUE(fs::is_regular_file(output));
  }
  EXPECT_TRUE(contains(read_text(tmp / "tracks.mot"), "1,1,10,10,60,40,1,-1,-1,-1\n"));
}

TEST_F(Cli, ExportRejectsBadFormatsAndPaths) {
  write_clip(tmp / "clip", overlapping_clip());
  const std::string clip = (tmp / "clip").string();
  const RunResult format = run({"export", clip, "--format", "yaml", "-o", "x.json"});
  EXPECT_EQ(format.code, 1);
  EXPECT_TRUE(contains(format.err, "yaml")) << format.err;

  const RunResult folder = run({"export", clip, "--format", "mot", "-o",
                                (tmp / "missing" / "x.txt").string()});
  EXPECT_EQ(folder.code, 1);
  EXPECT_TRUE(contains(folder.err, "--output: folder does not exist")) << folder.err;

  const RunResult input = run({"export", (tmp / "nowhere").string(), "-f", "mot", "-o", "x.txt"});
  EXPECT_EQ(input.code, 1);
  EXPECT_TRUE(contains(input.err, "TRACKER_OUTPUT_DIR: no such folder")) << input.err;

  const RunResult missing = run({"export", clip, "-o", "x.txt"});
  EXPECT_EQ(missing.code, 2);
}

// The whole typical run on the generated recording; run twice into one folder, since a rerun
// must start afresh rather than skip the frame windows of the first run.
TEST_F(Cli, DemoRunsTheTypicalRunEndToEnd) {
  const fs::path dir = tmp / "demo";
  for (int round = 0; round < 2; ++round) {
    const RunResult result = run({"--quiet", "demo", dir.string()});
    ASSERT_EQ(result.code, 0) << result.err << result.out;
    EXPECT_TRUE(contains(result.out, "== Demo finished in ")) << result.out;
    EXPECT_TRUE(contains(result.out, "box most likely carrying an identity error: Box"))
        << result.out;
  }
  EXPECT_TRUE(fs::is_regular_file(dir / "recordings" / "pen61" / "Camera61_2_20240315061500.mp4"));
  const fs::path first = dir / "tracker_output" / "0min_to_0.1min";
  const fs::path second = dir / "tracker_output" / "0.1min_to_0.2min";
  EXPECT_TRUE(fs::is_regular_file(first / "output_pp_0.json"));
  EXPECT_TRUE(fs::is_regular_file(first / "output_pp_29.json"));
  EXPECT_TRUE(fs::is_regular_file(second / "output_pp_0.json"));
  const std::string report = read_text(second / "tracking_question_report.csv");
  EXPECT_TRUE(contains(report, "High overlap mask detected")) << report;
  const cv::Mat rendered =
      cv::imread((dir / "pictures" / "rendered_frame.png").string(), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(rendered.size(), cv::Size(1870, 1440));
  EXPECT_EQ(rendered.channels(), 4);
  EXPECT_EQ(cv::imread((dir / "pictures" / "heatmap.png").string()).size(), cv::Size(700, 500));
  EXPECT_TRUE(fs::is_regular_file(dir / "pictures" / "first_frame.png"));
  EXPECT_TRUE(fs::is_regular_file(dir / "pictures" / "tracking_video.mp4"));

  // The behaviour step over both clips: the animals at the feeder and the drinker, and the two
  // that walk into each other in contact.
  const fs::path behaviour = dir / "behaviour";
  for (const char* name : {"frames.csv", "bouts.csv", "contact_bouts.csv", "contacts.csv", "summary.csv",
                           "ethogram.png", "contacts.png", "trajectories.png"}) {
    EXPECT_TRUE(fs::is_regular_file(behaviour / name)) << name;
  }
  const std::string bouts = read_text(behaviour / "bouts.csv");
  EXPECT_TRUE(contains(bouts, ",feeder,")) << bouts;
  EXPECT_TRUE(contains(bouts, ",drinker,")) << bouts;
  EXPECT_TRUE(contains(bouts, ",moving,")) << bouts;
  const std::string contact_bouts = read_text(behaviour / "contact_bouts.csv");
  EXPECT_GE(std::count(contact_bouts.begin(), contact_bouts.end(), '\n'), 2) << contact_bouts;
  EXPECT_EQ(cv::imread((behaviour / "trajectories.png").string()).size(), cv::Size(1870, 1440));

  // The same step from the subcommand: clips following each other by default; a start time per
  // folder when given.
  const fs::path again = tmp / "behaviour_again";
  const RunResult step = run({"behaviour", first.string(), second.string(), "--zones", (dir / "zones.json").string(),
                              "--seconds-per-frame", "0.2", "--pixels-per-metre", "150", "-o", again.string()});
  ASSERT_EQ(step.code, 0) << step.err;
  EXPECT_TRUE(contains(step.out, "behaviour: 10 animals, ")) << step.out;
  EXPECT_EQ(read_text(again / "bouts.csv"), bouts);
  EXPECT_TRUE(contains(read_text(again / "summary.csv"), ",distance_m,mean_speed_m_s\n"));
  const RunResult counts = run({"behaviour", first.string(), second.string(), "--seconds-per-frame", "0.2",
                                "--start-time", "0", "-o", again.string()});
  EXPECT_EQ(counts.code, 1);
  EXPECT_TRUE(contains(counts.err, "--start-time: one per TRACKER_OUTPUT folder is needed, got 1 for 2")) << counts.err;
  const RunResult bad_zones = run({"behaviour", first.string(), "--zones", (first / "output_pp_0.json").string(),
                                   "--seconds-per-frame", "0.2", "-o", again.string()});
  EXPECT_EQ(bad_zones.code, 1);
  EXPECT_TRUE(contains(bad_zones.err, "not a zone file")) << bad_zones.err;

  // Each clip's tracker output reads back as ten animals per frame.
  const RunResult info = run({"clip-info", first.string()});
  ASSERT_EQ(info.code, 0) << info.err;
  EXPECT_TRUE(contains(info.out, "frames: 30 (frame numbers 0 .. 29)\n")) << info.out;
  EXPECT_TRUE(contains(info.out, "boxes: 10 (Box0, Box1,")) << info.out;
  EXPECT_TRUE(contains(info.out, "zero-area masks: 0\n")) << info.out;
}

}  // namespace

// ---- evaluate, swap, reassign ---------------------------------------------------------------

namespace {

TEST_F(Cli, EvaluateScoresAClipAgainstASwappedCopy) {
  write_clip(tmp / "pred", overlapping_clip());
  write_clip(tmp / "gt", overlapping_clip());
  const RunResult swap = run({"swap", (tmp / "gt").string(), "1", "3", "--from", "2"});
  ASSERT_EQ(swap.code, 0) << swap.err;
  EXPECT_EQ(swap.out, "swapped identities 1 and 3 from frame 2: 2 detections in 1 files\n  " +
                          (tmp / "gt" / "output_pp_2.json").string() + ": 2\n");
  const fs::path json = tmp / "metrics.json";
  const RunResult result = run({"evaluate", (tmp / "pred").string(), (tmp / "gt").string(),
                                "--json", json.string()});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_TRUE(contains(result.out, "IDSW 2")) << result.out;
  const auto metrics = nlohmann::json::parse(read_text(json));
  EXPECT_EQ(metrics["CLEAR"]["IDSW"].get<int>(), 2);
  EXPECT_EQ(metrics["CLEAR"]["CLR_TP"].get<int>(), 8);  // the empty mask of frame 1 is no detection
  EXPECT_EQ(metrics["HOTA"]["per_alpha"]["HOTA"].size(), 19u);

  const RunResult boxes = run({"evaluate", (tmp / "pred").string(), (tmp / "gt").string(), "--boxes"});
  ASSERT_EQ(boxes.code, 0) << boxes.err;
  EXPECT_TRUE(contains(boxes.out, "similarity: box IoU")) << boxes.out;
}

TEST_F(Cli, SwapTwiceRestoresTheFilesAndReassignRefusesClashes) {
  write_clip(tmp / "clip", overlapping_clip());
  const std::string before = read_text(tmp / "clip" / "output_pp_1.json");
  ASSERT_EQ(run({"swap", (tmp / "clip").string(), "1", "2", "--from", "0", "--to", "1"}).code, 0);
  EXPECT_NE(read_text(tmp / "clip" / "output_pp_1.json"), before);
  ASSERT_EQ(run({"swap", (tmp / "clip").string(), "2", "1", "--from", "0", "--to", "1"}).code, 0);
  EXPECT_EQ(read_text(tmp / "clip" / "output_pp_1.json"), before);

  const RunResult clash = run({"reassign", (tmp / "clip").string(), "2", "1", "--from", "1"});
  EXPECT_EQ(clash.code, 1);
  EXPECT_EQ(clash.err,
            "kovra reassign: identities 2 and 1 are both present in frames 1-2; nothing changed\n");
  const RunResult unknown = run({"swap", (tmp / "clip").string(), "8", "9", "--from", "0"});
  EXPECT_EQ(unknown.code, 1);
  EXPECT_TRUE(contains(unknown.err, "neither identity 8 nor 9 occurs")) << unknown.err;
}

TEST_F(Cli, RepairsWaitForTheFolderUnlessToldNotTo) {
  write_clip(tmp / "clip", overlapping_clip());
  const int fd = ::open((tmp / "clip" / "kovra-identity-repair.lock").c_str(), O_RDWR | O_CREAT,
                        0644);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const RunResult busy =
      run({"swap", (tmp / "clip").string(), "1", "2", "--from", "0", "--no-wait"});
  EXPECT_EQ(busy.code, 1);
  EXPECT_TRUE(contains(busy.err, "is busy")) << busy.err;
  ::close(fd);
  const RunResult free =
      run({"swap", (tmp / "clip").string(), "1", "2", "--from", "0", "--no-wait"});
  EXPECT_EQ(free.code, 0) << free.err;
}

// Writers refuse to replace the files they read.
TEST_F(Cli, OutputsMustNotBeInputs) {
  write_clip(tmp / "clip", overlapping_clip());
  const RunResult mot = run({"export", (tmp / "clip").string(), "-f", "mot", "-o",
                             (tmp / "gt.mot").string()});
  ASSERT_EQ(mot.code, 0) << mot.err;
  const std::string gt = read_text(tmp / "gt.mot");
  const RunResult metrics = run({"evaluate", (tmp / "gt.mot").string(),
                                 (tmp / "gt.mot").string(), "--json", (tmp / "gt.mot").string()});
  EXPECT_EQ(metrics.code, 1);
  EXPECT_TRUE(contains(metrics.err, "is one of the inputs")) << metrics.err;
  EXPECT_EQ(read_text(tmp / "gt.mot"), gt);
  const std::string annotation = read_text(tmp / "clip" / "output_pp_1.json");
  const RunResult over = run({"export", (tmp / "clip").string(), "-f", "mot", "-o",
                              (tmp / "clip" / "output_pp_1.json").string()});
  EXPECT_EQ(over.code, 1);
  EXPECT_TRUE(contains(over.err, "is one of the inputs")) << over.err;
  EXPECT_EQ(read_text(tmp / "clip" / "output_pp_1.json"), annotation);
}

TEST_F(Cli, EvaluateNamesAMissingInput) {
  write_clip(tmp / "gt", overlapping_clip());
  const RunResult result = run({"evaluate", (tmp / "nowhere").string(), (tmp / "gt").string()});
  EXPECT_EQ(result.code, 1);
  EXPECT_TRUE(contains(result.err, "PREDICTED")) << result.err;
}

}  // namespace

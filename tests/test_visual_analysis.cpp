#include <kovra_utils/visual.hpp>

#include "capture.hpp"
#include "expect_error.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

using kovra_utils::ArgumentError;
using kovra_utils::Mask;

using kovra_utils::MasksDict;

Mask rect_mask(cv::Rect rect, cv::Size size = {800, 600}) {
  return Mask::from_crop(size, rect.tl(), cv::Mat::ones(rect.size(), CV_8U));
}

// A 5 x 5 square centred on `centre`.
Mask dot(cv::Point centre) { return rect_mask({centre.x - 2, centre.y - 2, 5, 5}); }

// ---- list_all_files -------------------------------------------------------------------------

TEST(ListAllFiles, FilesInNameOrderBeforeSubfoldersInNameOrder) {
  kovra_test::TempDir dir;
  for (const char* name : {"b.json", "a.json", "x/c.json", "x/y/e.json", "w/d.json", "B.JSON",
                           "notes.txt", "x/a.json.bak"}) {
    kovra_test::write_text(dir / name, "{}");
  }
  const std::string root = dir.path().string();
  EXPECT_EQ(kovra_utils::list_all_files(root, ".json"),
            (std::vector<std::string>{root + "/a.json", root + "/b.json", root + "/w/d.json",
                                      root + "/x/c.json", root + "/x/y/e.json"}));
  EXPECT_EQ(kovra_utils::list_all_files(root + "/", ".JSON"),
            std::vector<std::string>{root + "/B.JSON"});
}

TEST(ListAllFiles, MissingFolderAndLinkedFoldersGiveNothing) {
  kovra_test::TempDir dir;
  kovra_test::write_text(dir / "real/a.txt", "x");
  std::filesystem::create_directory_symlink(dir / "real", dir / "link");
  const std::string root = dir.path().string();
  EXPECT_EQ(kovra_utils::list_all_files(root, ".txt"), std::vector<std::string>{root + "/real/a.txt"});
  EXPECT_TRUE(kovra_utils::list_all_files(root + "/missing", ".txt").empty());
}

// ---- cluster_masks_and_print ----------------------------------------------------------------

std::vector<std::pair<std::string, std::vector<std::string>>> groups_of(
    const kovra_utils::ClusterGroups& groups) {
  return {groups.begin(), groups.end()};
}

using Groups = std::vector<std::pair<std::string, std::vector<std::string>>>;

TEST(ClusterMasksAndPrint, NearMasksShareAClusterAndFarOnesStartTheNext) {
  MasksDict masks;
  masks["Box0"] = dot({100, 100});
  masks["Box1"] = dot({150, 100});  // 50 apart
  masks["Box2"] = dot({650, 100});  // 500 away
  masks["Box3"] = rect_mask({300, 300, 30, 1});  // a line: its contour has no area
  masks["Box4"] = Mask(cv::Size(800, 600));
  EXPECT_EQ(groups_of(kovra_utils::cluster_masks_and_print(masks)),
            (Groups{{"Noise", {}}, {"Cluster 0", {"Box0", "Box1"}}, {"Cluster 1", {"Box2"}}}));
}

TEST(ClusterMasksAndPrint, SharedBorderPointJoinsTheEarlierCluster) {
  // eps 60, min_samples 4: B is 60 from A3 and from C0 but has only 3 neighbours (itself
  // included), so it is a border point of both clusters; C is numbered first (C0 comes before
  // any core point of A in input order) and takes B. N is alone: noise.
  MasksDict masks;
  masks["N"] = dot({700, 500});
  masks["B"] = dot({300, 100});
  // Keys built by appending: GCC 12 at -O3 warns (-Wrestrict) on "C" + std::to_string(k).
  for (int k = 0; k < 4; ++k) {
    masks[std::string("C").append(std::to_string(k))] = dot({360 + 30 * k, 100});
  }
  for (int k = 0; k < 4; ++k) {
    masks[std::string("A").append(std::to_string(k))] = dot({150 + 30 * k, 100});
  }
  EXPECT_EQ(groups_of(kovra_utils::cluster_masks_and_print(masks, 60, 4)),
            (Groups{{"Noise", {"N"}}, {"Cluster 0", {"B", "C0", "C1", "C2", "C3"}},
                    {"Cluster 1", {"A0", "A1", "A2", "A3"}}}));
}

TEST(ClusterMasksAndPrint, GroupsAreCreatedInOrderOfTheirFirstMember) {
  // B (first) is a border point of A, whose first core point comes after Z0's, so B's group is
  // "Cluster 1" and that entry is created before "Cluster 0".
  MasksDict masks;
  masks["B"] = dot({100, 100});
  masks["Z0"] = dot({500, 500});
  masks["Z1"] = dot({520, 500});
  masks["Z2"] = dot({540, 500});
  masks["A0"] = dot({150, 100});
  masks["A1"] = dot({170, 100});
  EXPECT_EQ(groups_of(kovra_utils::cluster_masks_and_print(masks, 55, 3)),
            (Groups{{"Noise", {}}, {"Cluster 1", {"B", "A0", "A1"}},
                    {"Cluster 0", {"Z0", "Z1", "Z2"}}}));
}

TEST(ClusterMasksAndPrint, CentroidIsTheLargestContoursTruncated) {
  // Box0's largest blob is centred at (300.5, 300.5) -> 300; a small blob far away is ignored.
  MasksDict masks;
  cv::Mat plane = cv::Mat::zeros(600, 800, CV_8U);
  plane(cv::Rect(296, 296, 10, 10)).setTo(1);
  plane(cv::Rect(700, 20, 3, 3)).setTo(1);
  masks["Box0"] = Mask::from_dense(plane);
  masks["Box1"] = dot({400, 300});  // 100 from (300, 300): inside eps 100, 101 from (299, ...)
  EXPECT_EQ(groups_of(kovra_utils::cluster_masks_and_print(masks, 99.9)),
            (Groups{{"Noise", {}}, {"Cluster 0", {"Box0"}}, {"Cluster 1", {"Box1"}}}));
  EXPECT_EQ(groups_of(kovra_utils::cluster_masks_and_print(masks, 100)),
            (Groups{{"Noise", {}}, {"Cluster 0", {"Box0", "Box1"}}}));
}

TEST(ClusterMasksAndPrint, RejectsMaskSetsWithoutCentroidsAndBadParameters) {
  MasksDict lines;
  lines["Box0"] = rect_mask({10, 10, 1, 20});
  kovra_test::expect_error_message<ArgumentError>([&] { kovra_utils::cluster_masks_and_print(lines); },
                              "cluster_masks_and_print: none of the 1 masks has a contour of "
                              "non-zero area to cluster");
  MasksDict one;
  one["Box0"] = dot({50, 50});
  kovra_test::expect_error_message<ArgumentError>([&] { kovra_utils::cluster_masks_and_print(one, 0); },
                              "cluster_masks_and_print: eps must be a positive number, got 0.0");
  kovra_test::expect_error_message<ArgumentError>([&] { kovra_utils::cluster_masks_and_print(one, 10, 0); },
                              "cluster_masks_and_print: min_samples must be at least 1, got 0");
}

// ---- compute_motion_score_in_polygon --------------------------------------------------------

// Six frames of a textured square that moves `shift` pixels right between frame 0 and frame 5
// (frames 1 .. 4 are noise, so only frame 5 may be compared with frame 0).
std::vector<std::string> moving_square_frames(const kovra_test::TempDir& dir, int shift) {
  std::vector<std::string> paths;
  cv::RNG rng(7);
  cv::Mat texture(40, 40, CV_8U);
  rng.fill(texture, cv::RNG::UNIFORM, 0, 255);
  cv::GaussianBlur(texture, texture, {5, 5}, 1.5);
  for (int k = 0; k < 6; ++k) {
    cv::Mat frame(120, 160, CV_8U, cv::Scalar(40));
    if (k == 0 || k == 5) {
      texture.copyTo(frame(cv::Rect(50 + (k == 5 ? shift : 0), 40, 40, 40)));
    } else {
      rng.fill(frame, cv::RNG::UNIFORM, 0, 255);
    }
    paths.push_back((dir / std::string("f").append(std::to_string(k)).append(".png")).string());
    cv::imwrite(paths.back(), frame);
  }
  return paths;
}

TEST(ComputeMotionScoreInPolygon, ScoresMovementInsideEachMaskBetweenFrames0And5) {
  kovra_test::TempDir dir;
  const std::vector<std::string> frames = moving_square_frames(dir, 3);
  const cv::Size size(160, 120);
  MasksDict masks;
  masks["moving"] = rect_mask({60, 50, 20, 20}, size);
  masks["still"] = rect_mask({5, 5, 20, 20}, size);
  masks["empty"] = Mask(size);
  const auto scores = kovra_utils::compute_motion_score_in_polygon(frames, masks);
  ASSERT_EQ(scores.size(), 3u);
  EXPECT_EQ(scores.begin()->first, "moving");
  EXPECT_NEAR(scores.at("moving"), 3.0, 1.0);
  EXPECT_LT(scores.at("still"), 0.1);
  EXPECT_EQ(scores.at("empty"), 0.0);
}

TEST(ComputeMotionScoreInPolygon, RejectsShortListsUnreadableFramesAndOtherSizes) {
  kovra_test::TempDir dir;
  std::vector<std::string> frames = moving_square_frames(dir, 0);
  MasksDict masks;
  masks["Box0"] = rect_mask({0, 0, 5, 5}, {160, 120});
  const std::vector<std::string> five(frames.begin(), frames.begin() + 5);
  kovra_test::expect_error_message<ArgumentError>([&] { kovra_utils::compute_motion_score_in_polygon(five, masks); },
                              "compute_motion_score_in_polygon: needs at least 6 frame paths, got 5");
  MasksDict wrong;
  wrong["Box0"] = rect_mask({0, 0, 5, 5}, {16, 12});
  kovra_test::expect_error_message<ArgumentError>([&] { kovra_utils::compute_motion_score_in_polygon(frames, wrong); },
                              "compute_motion_score_in_polygon: mask Box0 is 12 x 16, the frames "
                              "are 120 x 160");
  frames[5] = (dir / "missing.png").string();
  kovra_test::expect_error_message<kovra_utils::FileError>(
      [&] { kovra_utils::compute_motion_score_in_polygon(frames, masks); },
      "cannot read image file " + frames[5]);
}

// ---- draw_intersection_heatmap --------------------------------------------------------------

int pixels_of(const cv::Mat& rgb, cv::Vec3b colour) {
  cv::Mat hits;
  cv::inRange(rgb, cv::Scalar(colour[0], colour[1], colour[2]),
              cv::Scalar(colour[0], colour[1], colour[2]), hits);
  return cv::countNonZero(hits);
}

kovra_utils::IntersectionTable table_of(const std::vector<std::vector<double>>& cells) {
  std::vector<std::string> keys;
  for (std::size_t k = 0; k < cells.size(); ++k) keys.push_back("Box" + std::to_string(k));
  kovra_utils::IntersectionTable table(keys);
  for (std::size_t r = 0; r < cells.size(); ++r) {
    for (std::size_t c = 0; c < cells.size(); ++c) table.set(r, c, cells[r][c]);
  }
  return table;
}

TEST(DrawIntersectionHeatmap, HandsA700By500FigureWithScaleFixedTo0And100ToTheDisplay) {
  const cv::Vec3b darkest(103, 0, 13);  // the top of the scale
  const cv::Vec3b lightest(255, 245, 240);
  const cv::Mat one = kovra_utils::render_intersection_heatmap(table_of({{0, 100}, {20, 0}}));
  const cv::Mat two = kovra_utils::render_intersection_heatmap(table_of({{0, 100}, {100, 0}}));
  const cv::Mat capped = kovra_utils::render_intersection_heatmap(table_of({{0, 250}, {20, 0}}));
  ASSERT_EQ(one.type(), CV_8UC3);
  ASSERT_EQ(one.size(), cv::Size(700, 500));
  // A second cell at 100 adds about one cell (192 x 192 less its text) of the darkest red.
  EXPECT_GT(pixels_of(two, darkest) - pixels_of(one, darkest), 180 * 180);
  EXPECT_GT(pixels_of(one, lightest), 2 * 180 * 180);  // the two diagonal cells at 0
  EXPECT_NEAR(pixels_of(capped, darkest), pixels_of(one, darkest), 100);  // only the text differs
  int shown = 0;
  kovra_utils::draw_intersection_heatmap(table_of({{0, 100}, {20, 0}}), [&](const cv::Mat& image) {
    ++shown;
    EXPECT_EQ(cv::norm(image, one, cv::NORM_INF), 0.0);
  });
  EXPECT_EQ(shown, 1);
}

// ---- enhance_dark_text ----------------------------------------------------------------------

// Equalisation keeps only the order and counts of the gray levels, so the gamma table shows in
// which levels it merges: three equally common levels come out as 0, 128, 255 when they stay
// apart.
struct GammaCase {
  double gamma;
  std::vector<int> levels;
  std::vector<int> expected;
};

class EnhanceDarkTextGamma : public ::testing::TestWithParam<GammaCase> {};

TEST_P(EnhanceDarkTextGamma, MergesLevelsThatTheTruncatedTableMerges) {
  const GammaCase& param = GetParam();
  cv::Mat image(4, static_cast<int>(param.levels.size()) * 4, CV_8UC3);
  for (int c = 0; c < image.cols; ++c) {
    image.col(c).setTo(cv::Scalar::all(param.levels[static_cast<std::size_t>(c / 4)]));
  }
  const cv::Mat out = kovra_utils::enhance_dark_text(image, param.gamma);
  ASSERT_EQ(out.type(), CV_8UC1);
  ASSERT_EQ(out.size(), image.size());
  for (std::size_t i = 0; i < param.levels.size(); ++i) {
    EXPECT_EQ(out.at<uchar>(0, static_cast<int>(i) * 4), param.expected[i]) << "level " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, EnhanceDarkTextGamma,
    ::testing::Values(GammaCase{1.0, {10, 50, 200}, {0, 128, 255}},
                      GammaCase{1.5, {1, 10, 64}, {0, 128, 255}},
                      GammaCase{0.1, {10, 50, 200}, {0, 0, 255}},    // exponent 10 sends 10, 50 to 0
                      GammaCase{10, {100, 253, 254}, {0, 255, 255}}));  // 253, 254 both -> 254

TEST(EnhanceDarkText, ReadsTheInputAsRgb) {
  // Red weighs 0.299, blue 0.114: red (76) > gray 50 > blue (29).
  cv::Mat image(1, 3, CV_8UC3);
  image.at<cv::Vec3b>(0, 0) = {255, 0, 0};
  image.at<cv::Vec3b>(0, 1) = {50, 50, 50};
  image.at<cv::Vec3b>(0, 2) = {0, 0, 255};
  const cv::Mat out = kovra_utils::enhance_dark_text(image);
  EXPECT_EQ(out.at<uchar>(0, 0), 255);
  EXPECT_EQ(out.at<uchar>(0, 1), 128);
  EXPECT_EQ(out.at<uchar>(0, 2), 0);
}

TEST(EnhanceDarkText, RejectsGrayImagesAndNonPositiveGamma) {
  kovra_test::expect_error_message<ArgumentError>(
      [] { kovra_utils::enhance_dark_text(cv::Mat(4, 4, CV_8UC1, cv::Scalar(3))); },
      "enhance_dark_text: image must be 8-bit RGB or RGBA, got CV_8UC1");
  kovra_test::expect_error_message<ArgumentError>(
      [] { kovra_utils::enhance_dark_text(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(3)), 0.0); },
      "enhance_dark_text: gamma must be a positive number, got 0.0");
}

}  // namespace

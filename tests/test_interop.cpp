#include <kovra_utils/interop.hpp>

#include "atomic_write.hpp"
#include "capture.hpp"
#include "expect_error.hpp"
#include "planted.hpp"

#include <kovra_utils/annotation.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <random>

namespace {

using kovra_test::expect_error_containing;
using kovra_test::read_text;
using kovra_test::TempDir;
using kovra_test::write_text;
using kovra_utils::ArgumentError;
using kovra_utils::Box;
using kovra_utils::ContentError;
using kovra_utils::Mask;
using kovra_utils::Rle;
using kovra_utils::TrackBoxes;
using kovra_utils::TrackMasks;

using Counts = std::vector<std::int64_t>;
using Bbox = std::array<double, 4>;

// A mask of height x width with the given (row, col) pixels set.
Mask mask_of(int height, int width, const std::vector<cv::Point>& row_cols) {
  cv::Mat plane = cv::Mat::zeros(height, width, CV_8U);
  for (const cv::Point& p : row_cols) plane.at<std::uint8_t>(p.x, p.y) = 1;
  return Mask::from_dense(plane);
}

Mask full_mask(int height, int width) {
  return Mask::from_dense(cv::Mat::ones(height, width, CV_8U));
}

// The last `columns` columns of a height x width plane set, built from a crop.
Mask right_columns(int height, int width, int columns) {
  return Mask::from_crop(cv::Size(width, height), cv::Point(width - columns, 0),
                         cv::Mat::ones(height, columns, CV_8U));
}

// Column-major runs of the dense plane: the definition the encoder must meet.
Counts dense_counts(const Mask& mask) {
  const cv::Mat plane = mask.dense();
  Counts counts;
  std::int64_t run = 0;
  std::uint8_t value = 0;
  for (int col = 0; col < plane.cols; ++col) {
    for (int row = 0; row < plane.rows; ++row) {
      if (plane.at<std::uint8_t>(row, col) != value) {
        counts.push_back(run);
        run = 0;
        value = plane.at<std::uint8_t>(row, col);
      }
      ++run;
    }
  }
  counts.push_back(run);
  return counts;
}

// --- hand-derived encodings ------------------------------------------------------------------

struct EncodingCase {
  const char* name;
  Mask mask;
  Counts counts;
  std::string text;  // worked out from the 5-bit group format by hand
  std::int64_t area;
  Bbox bbox;
};

std::vector<EncodingCase> encoding_cases() {
  return {
      // 9 = 0b01001: one group, no sign bit.
      {"empty", Mask(cv::Size(3, 3)), {9}, "9", 0, {0, 0, 0, 0}},
      {"full", full_mask(3, 3), {0, 9}, "09", 9, {0, 0, 3, 3}},
      {"first_pixel", mask_of(3, 3, {{0, 0}}), {0, 1, 8}, "018", 1, {0, 0, 1, 1}},
      {"last_pixel", mask_of(3, 3, {{2, 2}}), {8, 1}, "81", 1, {2, 2, 1, 1}},
      // Rows 0 and 3 of every column plus columns 0 and 4 whole: runs wrap column ends.
      // Counts from the fourth on are deltas: 2-5 = -3 -> 29 = 'M' (sign bit set, no more),
      // 2-2 = 0, 2-2 = 0, 2-2 = 0, 5-2 = 3.
      {"every_border",
       mask_of(4, 5,
               {{0, 0},
                {1, 0},
                {2, 0},
                {3, 0},
                {0, 1},
                {3, 1},
                {0, 2},
                {3, 2},
                {0, 3},
                {3, 3},
                {0, 4},
                {1, 4},
                {2, 4},
                {3, 4}}),
       {0, 5, 2, 2, 2, 2, 2, 5},
       "052M0003",
       14,
       {0, 0, 5, 4}},
      // One run from the bottom of column 0 to the top of column 1.
      {"run_across_columns", mask_of(3, 3, {{2, 0}, {0, 1}}), {2, 2, 5}, "225", 2, {0, 0, 2, 3}},
      // Fourth count 1 - 3 = -2 -> 30 = 'N'.
      {"negative_delta",
       mask_of(5, 2, {{2, 0}, {3, 0}, {4, 0}, {4, 1}}),
       {2, 3, 4, 1},
       "234N",
       4,
       {0, 2, 2, 3}},
      // 16 has bit 4 set: it needs a second group, 16|32 = 48 -> '`', then 0 -> '0'.
      {"sign_bit_needs_group", right_columns(4, 5, 1), {16, 4}, "`04", 4, {4, 0, 1, 4}},
      // 100 = 3 * 32 + 4: 4|32 = 36 -> 'T', then '3'; 10 -> ':'.
      {"two_groups", right_columns(10, 11, 1), {100, 10}, "T3:", 10, {10, 0, 1, 10}},
      // 2^21 = five groups 0, 0, 0, 0, 2 -> "PPPP2"; 2048 = 2^11 -> "PP2".
      {"runs_past_2_pow_20",
       right_columns(2048, 1025, 1),
       {2097152, 2048},
       "PPPP2PP2",
       2048,
       {1024, 0, 1, 2048}},
  };
}

TEST(RleEncoding, MatchesHandDerivedCases) {
  for (const EncodingCase& c : encoding_cases()) {
    SCOPED_TRACE(c.name);
    const Rle rle = kovra_utils::encode_rle(c.mask);
    EXPECT_EQ(rle.height, c.mask.rows());
    EXPECT_EQ(rle.width, c.mask.cols());
    EXPECT_EQ(rle.counts, c.counts);
    EXPECT_EQ(kovra_utils::rle_to_string(rle), c.text);
    EXPECT_EQ(kovra_utils::rle_from_string(c.text, rle.height, rle.width), rle);
    EXPECT_EQ(kovra_utils::decode_rle(rle), c.mask);
    EXPECT_EQ(kovra_utils::rle_area(rle), c.area);
    EXPECT_EQ(kovra_utils::rle_to_bbox(rle), c.bbox);
  }
}

TEST(RleEncoding, ZeroSizedPlane) {
  const Rle rle = kovra_utils::encode_rle(Mask(cv::Size(0, 0)));
  EXPECT_EQ(rle.counts, Counts{0});
  EXPECT_EQ(kovra_utils::rle_to_string(rle), "0");
  EXPECT_EQ(kovra_utils::decode_rle(rle), Mask(cv::Size(0, 0)));
  EXPECT_EQ(kovra_utils::rle_to_bbox(rle), (Bbox{0, 0, 0, 0}));
}

TEST(RleEncoding, PlainCountsWithZeroLengthRunsDecode) {
  // Lists from other tools may hold empty runs; they change nothing.
  const Rle rle{3, 3, {0, 0, 4, 1, 0, 0, 4}};
  EXPECT_EQ(kovra_utils::decode_rle(rle), mask_of(3, 3, {{1, 1}}));
  EXPECT_EQ(kovra_utils::rle_area(rle), 1);
  EXPECT_EQ(kovra_utils::rle_to_bbox(rle), (Bbox{1, 1, 1, 1}));
}

// --- random masks against the dense definitions -----------------------------------------------

Mask random_mask(std::mt19937& random) {
  std::uniform_int_distribution<int> side(1, 90);
  const int height = side(random);
  const int width = side(random);
  std::uniform_int_distribution<int> kind(0, 5);
  if (kind(random) == 0) return Mask(cv::Size(width, height));
  std::uniform_int_distribution<int> row(0, height - 1);
  std::uniform_int_distribution<int> col(0, width - 1);
  const int y0 = row(random) / 2;
  const int x0 = col(random) / 2;
  const int y1 = std::max(y0, row(random));
  const int x1 = std::max(x0, col(random));
  cv::Mat crop(y1 - y0 + 1, x1 - x0 + 1, CV_8U);
  cv::randu(crop, 0, 2);
  if (kind(random) == 1) crop.setTo(1);
  return Mask::from_crop(cv::Size(width, height), cv::Point(x0, y0), crop);
}

TEST(RleEncoding, RandomMasksAgreeWithDenseDefinitions) {
  std::mt19937 random(7);
  for (int i = 0; i < 400; ++i) {
    const Mask mask = random_mask(random);
    SCOPED_TRACE(i);
    const Rle rle = kovra_utils::encode_rle(mask);
    ASSERT_EQ(rle.counts, dense_counts(mask));
    EXPECT_EQ(kovra_utils::decode_rle(rle), mask);
    const std::string text = kovra_utils::rle_to_string(rle);
    EXPECT_EQ(kovra_utils::rle_from_string(text, rle.height, rle.width), rle);
    EXPECT_EQ(kovra_utils::rle_area(rle), cv::countNonZero(mask.dense()));
    std::vector<cv::Point> set;
    cv::findNonZero(mask.dense(), set);
    const cv::Rect box = set.empty() ? cv::Rect() : cv::boundingRect(set);
    EXPECT_EQ(kovra_utils::rle_to_bbox(rle),
              (Bbox{double(box.x), double(box.y), double(box.width), double(box.height)}));
  }
}

TEST(RleIou, RandomPairsAgreeWithDenseDefinitions) {
  std::mt19937 random(11);
  for (int i = 0; i < 300; ++i) {
    SCOPED_TRACE(i);
    const Mask a = random_mask(random);
    const Mask b = Mask::from_crop(a.size(), cv::Point(int(random() % 5), int(random() % 5)),
                                   random_mask(random).crop());
    const double shared = cv::countNonZero(a.dense() & b.dense());
    const double united = cv::countNonZero(a.dense() | b.dense());
    const Rle ra = kovra_utils::encode_rle(a);
    const Rle rb = kovra_utils::encode_rle(b);
    EXPECT_EQ(kovra_utils::rle_iou(ra, rb), shared == 0 ? 0.0 : shared / united);
    EXPECT_EQ(kovra_utils::rle_iou(ra, rb, true), shared == 0 ? 0.0 : shared / double(a.area()));
  }
}

TEST(RleIou, MatrixTakesTheCrowdFlagOfEachGtMask) {
  const Rle dt = kovra_utils::encode_rle(mask_of(2, 2, {{0, 0}, {0, 1}}));
  const Rle gt_small = kovra_utils::encode_rle(mask_of(2, 2, {{0, 0}}));
  const Rle gt_big = kovra_utils::encode_rle(full_mask(2, 2));
  const Rle empty = kovra_utils::encode_rle(Mask(cv::Size(2, 2)));
  const auto iou =
      kovra_utils::rle_iou_matrix({dt, empty}, {gt_small, gt_big, empty}, {false, true, false});
  // dt has 2 pixels; crowd gt: shared / |dt|.
  EXPECT_EQ(iou, (std::vector<std::vector<double>>{{0.5, 1.0, 0.0}, {0.0, 0.0, 0.0}}));
  EXPECT_TRUE(kovra_utils::rle_iou_matrix({}, {gt_small}, {false}).empty());
}

TEST(RleIou, RejectsMismatchedArguments) {
  const Rle a = kovra_utils::encode_rle(full_mask(2, 2));
  const Rle b = kovra_utils::encode_rle(full_mask(2, 3));
  expect_error_containing<ArgumentError>([&] { kovra_utils::rle_iou(a, b); },
                                         {"same size", "2 x 2", "2 x 3"});
  expect_error_containing<ArgumentError>(
      [&] {
        kovra_utils::rle_iou_matrix({a}, {a, a}, {true});
      },
      "1 flags for 2 masks");
}

// --- malformed encodings ----------------------------------------------------------------------

struct BadText {
  const char* text;
  int height;
  int width;
  std::vector<std::string> message;
};

TEST(RleFromString, RejectsMalformedText) {
  const std::vector<BadText> cases = {
      {"8", 3, 3, {"sum to 8", "expected 9", "3 x 3"}},
      {"9:", 3, 3, {"count 1", "exceed", "9 pixels"}},
      {"09p", 3, 3, {"'p'", "position 2", "outside '0' .. 'o'"}},
      {"0 9", 3, 3, {"' '", "position 1"}},
      {"0/", 3, 3, {"'/'", "position 1"}},
      {"0\x80", 3, 3, {"\\x80", "position 1"}},
      {"P", 3, 3, {"count 0", "cut off"}},
      // -1 as the first count.
      {"O", 3, 3, {"count 0 is negative (-1)"}},
      // 2, 3, 3, then the delta 'L' = 28 with the sign bit = -4: the fourth count -4 + 3 = -1.
      {"233L", 3, 3, {"count 3 is negative (-1)"}},
      {"PPPPPPPPPPPPP0", 3, 3, {"count 0", "too large"}},
  };
  for (const BadText& c : cases) {
    SCOPED_TRACE(c.text);
    expect_error_containing<ContentError>(
        [&] { kovra_utils::rle_from_string(c.text, c.height, c.width); }, c.message);
  }
}

TEST(DecodeRle, RejectsBadCounts) {
  expect_error_containing<ContentError>(
      [] {
        kovra_utils::decode_rle(Rle{3, 3, {4, 4}});
      },
      {"sum to 8", "expected 9"});
  expect_error_containing<ContentError>(
      [] {
        kovra_utils::decode_rle(Rle{3, 3, {4, -1, 6}});
      },
      "count 1 is negative (-1)");
  expect_error_containing<ContentError>([] { kovra_utils::rle_area(Rle{3, 3, {10}}); }, "exceed");
  expect_error_containing<ArgumentError>([] { kovra_utils::decode_rle(Rle{-1, 3, {}}); }, "-1 x 3");
}

// --- tracks, MOTS and MOT files ----------------------------------------------------------------

TEST(IdentityOf, BoxNumberPlusOne) {
  EXPECT_EQ(kovra_utils::identity_of("Box0"), 1);
  EXPECT_EQ(kovra_utils::identity_of("Box7"), 8);
  EXPECT_EQ(kovra_utils::identity_of("Box-1"), 0);
  for (const char* bad : {"Box", "box1", "Box1a", "Box 1", "Box9223372036854775807"}) {
    expect_error_containing<ArgumentError>([&] { kovra_utils::identity_of(bad); }, bad);
  }
}

kovra_utils::FrameRecord record(std::int64_t frame_index,
                                std::vector<std::pair<std::string, Mask>> masks) {
  kovra_utils::FrameRecord r;
  r.frame_index = frame_index;
  r.image_path = "frames/" + std::to_string(frame_index) + ".jpg";
  for (auto& [key, mask] : masks) {
    r.mask_areas[key] = mask.area();
    r.masks_dict[key] = std::move(mask);
  }
  return r;
}

// Two frames (file numbers 10 and 12) of a 4 x 5 plane; Box1 is unseen in the second frame.
kovra_utils::ClipData small_clip() {
  kovra_utils::ClipData clip;
  clip[0] =
      record(10, {{"Box0", mask_of(4, 5, {{0, 0}, {1, 0}})}, {"Box1", mask_of(4, 5, {{3, 4}})}});
  clip[1] = record(
      12, {{"Box1", Mask(cv::Size(5, 4))}, {"Box0", mask_of(4, 5, {{1, 1}, {1, 2}, {2, 1}})}});
  return clip;
}

TEST(ClipTrackMasks, NumbersFramesFromOneInClipOrder) {
  const TrackMasks tracks = kovra_utils::clip_track_masks(small_clip());
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks.begin()->first, 1);
  const auto& second = tracks.at(2);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second.begin()->first, 2);  // box order kept
  EXPECT_TRUE(second.at(2).is_clear());
  EXPECT_EQ(second.at(1).area(), 3);
}

TEST(WriteMots, WritesOneLinePerSeenMaskAndReadsBack) {
  TempDir dir;
  kovra_utils::write_mots(small_clip(), dir / "clip.txt");
  // 4 x 5 plane: Box0 of frame 1 covers positions 0-1 -> counts 0 2 18, 18 having bit 4 set
  // takes two groups "b0"; Box1 at position 19 -> 19 1 = "c0" "1"; frame 2 Box0: positions 5, 6, 9
  // -> 5 2 2 1 10, the fourth count 1 - 2 = -1 -> 'O', the fifth 10 - 2 = 8.
  EXPECT_EQ(read_text(dir / "clip.txt"),
            "1 1 1 4 5 02b0\n"
            "1 2 1 4 5 c01\n"
            "2 1 1 4 5 522O8\n");
  TrackMasks expected = kovra_utils::clip_track_masks(small_clip());
  expected.at(2).erase(2);  // the unseen mask has no line
  EXPECT_EQ(kovra_utils::read_mots(dir / "clip.txt"), expected);
}

TEST(WriteMot, WritesPixelExtentBoxesAndReadsBack) {
  TempDir dir;
  kovra_utils::write_mot(small_clip(), dir / "clip.txt");
  EXPECT_EQ(read_text(dir / "clip.txt"),
            "1,1,0,0,1,2,1,-1,-1,-1\n"
            "1,2,4,3,1,1,1,-1,-1,-1\n"
            "2,1,1,1,2,2,1,-1,-1,-1\n");
  const TrackBoxes boxes = kovra_utils::read_mot(dir / "clip.txt");
  EXPECT_EQ(boxes, kovra_utils::track_boxes(kovra_utils::clip_track_masks(small_clip())));
  EXPECT_EQ(boxes.at(1).at(1), (Box{0, 0, 1, 2}));
}

TEST(ReadMot, AcceptsFractionsSpacesAndWholeFloats) {
  TempDir dir;
  write_text(dir / "a.txt", "\n3.0, 7 ,1.5,2.25,10,0.5,0.9,-1,-1,-1\r\n4 7 0 0 1 1\n");
  const TrackBoxes boxes = kovra_utils::read_mot(dir / "a.txt");
  EXPECT_EQ(boxes.at(3).at(7), (Box{1.5, 2.25, 11.5, 2.75}));
  EXPECT_EQ(boxes.at(4).at(7), (Box{0, 0, 1, 1}));
  kovra_utils::write_mot(boxes, dir / "b.txt");
  EXPECT_EQ(read_text(dir / "b.txt"), "3,7,1.5,2.25,10,0.5,1,-1,-1,-1\n4,7,0,0,1,1,1,-1,-1,-1\n");
}

struct BadLine {
  const char* content;
  std::vector<std::string> message;
};

// Each content, written to a file, makes `read` throw a ContentError naming the file.
template <class Read>
void expect_bad_lines(const std::vector<BadLine>& cases, Read read) {
  TempDir dir;
  for (const BadLine& c : cases) {
    SCOPED_TRACE(c.content);
    write_text(dir / "bad.txt", c.content);
    auto message = c.message;
    message.push_back((dir / "bad.txt").string());
    expect_error_containing<ContentError>([&] { read(dir / "bad.txt"); }, message);
  }
}

TEST(ReadMot, RejectsMalformedLines) {
  const std::vector<BadLine> cases = {
      {"1,1,0,0,1,1\n1,2,0,0,1\n", {"line 2", "at least 6 fields", "got 5"}},
      {"1,1,0,0,,1,1\n", {"line 1", "bb_width", "\"\""}},
      {"1,x,0,0,1,1,1\n", {"line 1", "id must be a whole number", "\"x\""}},
      {"1.5,1,0,0,1,1,1\n", {"frame must be a whole number", "\"1.5\""}},
      {"1,1,nan,0,1,1,1\n", {"bb_left must be a finite number"}},
      {"1,1,0,0,-2,1,1\n", {"must not be negative", "-2 x 1"}},
      {"1,1,0,0,1,1,conf\n", {"field 7 must be a number", "\"conf\""}},
      {"1,1,0,0,1,1,1\n\n1,1,5,5,1,1,1\n", {"line 3", "identity 1 appears twice in frame 1"}},
      {"1,1,1e308,0,1e308,2\n", {"line 1", "edge", "inf"}},
      {"1,1,0,0,1,1\n1,2,0,-1e308,1,1e307\n1,3,0,1.7e308,1,1.7e308\n", {"line 3", "edge"}},
      {"1,1,-1e308,-1e308,1.7e308,1.7e308\n", {"line 1", "area", "too large"}},
  };
  expect_bad_lines(cases, [](const auto& path) { kovra_utils::read_mot(path); });
}

TEST(ReadMots, RejectsMalformedLines) {
  const std::vector<BadLine> cases = {
      {"1 1 1 3 3\n", {"line 1", "expected 6 fields", "got 5"}},
      {"1 1 1 3 3 9 extra\n", {"got 7"}},
      {"1 1 1 3 3 9\n1 2 1 3 3 8\n", {"line 2", "sum to 8", "expected 9"}},
      {"1 1 1 3 3 0q\n", {"line 1", "'q'"}},
      {"1 1 1 -3 3 9\n", {"height must be between 0"}},
      {"1 1 1 3 3 9\n1 1 1 3 3 9\n", {"line 2", "identity 1 appears twice in frame 1"}},
  };
  expect_bad_lines(cases, [](const auto& path) { kovra_utils::read_mots(path); });
}

// What is not a regular file is refused before anything is read: a folder would read as an
// empty file, /dev/zero and a FIFO would never end.
TEST(TrackFiles, OnlyRegularFilesAreRead) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::vector<std::pair<std::filesystem::path, std::string>> cases = {
      {dir / "folder", "folder"}, {"/dev/zero", "not a regular file"},
      {dir / "fifo", "not a regular file"}};
  for (const auto& [path, reason] : cases) {
    SCOPED_TRACE(path);
    const std::vector<std::string> parts = {path.string(), reason};
    expect_error_containing<kovra_utils::FileError>([&] { kovra_utils::read_mots(path); }, parts);
    expect_error_containing<kovra_utils::FileError>([&] { kovra_utils::read_mots_rle(path); },
                                                    parts);
    expect_error_containing<kovra_utils::FileError>([&] { kovra_utils::read_mot(path); }, parts);
  }
}

TEST(TrackFiles, ALineBeyondTheLimitIsRefusedWithItsNumber) {
  TempDir dir;
  std::string text = "1,1,0,0,1,1\n";
  text += std::string(kovra_utils::max_track_line_bytes + 1, '7');
  write_text(dir / "long.mot", text);
  expect_error_containing<ContentError>([&] { kovra_utils::read_mot(dir / "long.mot"); },
                                        {"line 2", "longer than 67108864 bytes", "long.mot"});
}

// A line of a few bytes may describe a plane of billions of pixels.
std::string full_plane_line(int frame, int identity, int side) {
  const Rle full{side, side, {0, std::int64_t{side} * side}};
  return std::to_string(frame) + " " + std::to_string(identity) + " 1 " + std::to_string(side) +
         " " + std::to_string(side) + " " + kovra_utils::rle_to_string(full) + "\n";
}

TEST(ReadMots, HugePlanesStayRunLengthEncoded) {
  TempDir dir;
  write_text(dir / "big.mots", full_plane_line(1, 1, 46341));
  const kovra_utils::TrackRles rles = kovra_utils::read_mots_rle(dir / "big.mots");
  EXPECT_EQ(rles.at(1).at(1).counts, (Counts{0, std::int64_t{46341} * 46341}));
  expect_error_containing<ContentError>([&] { kovra_utils::read_mots(dir / "big.mots"); },
                                        {"big.mots", "line 1", "46341 x 46341", "134217728"});
  expect_error_containing<ContentError>([&] { kovra_utils::decode_rle(rles.at(1).at(1)); },
                                        {"46341 x 46341", "134217728"});
  EXPECT_EQ(kovra_utils::rle_area(rles.at(1).at(1)), std::int64_t{46341} * 46341);
  EXPECT_EQ(kovra_utils::track_boxes(rles).at(1).at(1), (Box{0, 0, 46341, 46341}));
}

// Decoding stops once a file's masks cover more than its budget, even when each fits alone.
TEST(ReadMots, DecodingStaysWithinTheFilesBudget) {
  TempDir dir;
  write_text(dir / "many.mots",
             full_plane_line(1, 1, 8192) + full_plane_line(2, 1, 8192) + full_plane_line(3, 1, 8192));
  expect_error_containing<ContentError>([&] { kovra_utils::read_mots(dir / "many.mots"); },
                                        {"many.mots", "line 3", "decoded so far"});
  EXPECT_EQ(kovra_utils::read_mots_rle(dir / "many.mots").size(), 3u);
}

TEST(ReadMots, MissingFileIsFileError) {
  TempDir dir;
  expect_error_containing<kovra_utils::FileError>([&] { kovra_utils::read_mots(dir / "none.txt"); },
                                                  "none.txt");
}

// --- COCO ----------------------------------------------------------------------------------------

using nlohmann::json;

// Three frames of a 30 x 40 plane: masks touching each border, an unseen animal, a missing box.
kovra_utils::ClipData coco_clip() {
  std::mt19937 random(5);
  auto blob = [&](cv::Point origin, cv::Size size) {
    cv::Mat crop(size, CV_8U);
    cv::randu(crop, 0, 2);
    crop.row(0).setTo(1);
    return Mask::from_crop(cv::Size(40, 30), origin, crop);
  };
  kovra_utils::ClipData clip;
  clip[0] = record(3, {{"Box0", blob({0, 0}, {7, 5})}, {"Box1", blob({33, 25}, {7, 5})}});
  clip[1] = record(4, {{"Box0", blob({10, 0}, {5, 30})}, {"Box1", Mask(cv::Size(40, 30))}});
  clip[2] = record(5, {{"Box1", full_mask(30, 40)}});
  return clip;
}

TEST(WriteCoco, WritesTheVideoInstanceLayout) {
  TempDir dir;
  const auto clip = coco_clip();
  EXPECT_EQ(kovra_utils::write_coco(clip, dir / "clip.json", "pen7"), 5u);
  const json doc = json::parse(read_text(dir / "clip.json"));
  EXPECT_EQ(doc["images"][1], (json{{"id", 2},
                                    {"file_name", "frames/4.jpg"},
                                    {"height", 30},
                                    {"width", 40},
                                    {"frame_index", 4},
                                    {"video_id", 1}}));
  EXPECT_EQ(doc["categories"], json::parse(R"([{"id": 1, "name": "pig"}])"));
  EXPECT_EQ(doc["videos"],
            json::parse(R"([{"id": 1, "name": "pen7", "height": 30, "width": 40, "length": 3}])"));
  const json& unseen = doc["annotations"][3];
  EXPECT_EQ(unseen, (json{{"id", 4},
                          {"image_id", 2},
                          {"category_id", 1},
                          {"segmentation", {{"size", {30, 40}}, {"counts", "`U1"}}},
                          {"area", 0},
                          {"bbox", {0.0, 0.0, 0.0, 0.0}},
                          {"iscrowd", 0},
                          {"track_id", 2}}));
  // 1200 = 37 * 32 + 16: groups 16|32 = 48 -> '`', 37 & 31 = 5, 5|32 -> 'U', 1 -> '1'.
  const json& full = doc["annotations"][4];
  EXPECT_EQ(full["segmentation"]["counts"], "0`U1");
  EXPECT_EQ(full["bbox"], json::parse("[0.0, 0.0, 40.0, 30.0]"));
  EXPECT_EQ(full["area"], 1200);
}

TEST(WriteCoco, PythonReadsBackEveryMask) {
  if (!std::filesystem::exists("/usr/bin/python3")) GTEST_SKIP() << "no /usr/bin/python3";
  TempDir dir;
  const auto clip = coco_clip();
  kovra_utils::write_coco(clip, dir / "clip.json");
  int id = 0;
  std::filesystem::create_directories(dir / "masks");
  for (const auto& [key, r] : clip) {
    for (const auto& [box, mask] : r.masks_dict) {
      cv::imwrite((dir / "masks" / (std::to_string(++id) + ".png")).string(), mask.dense() * 255);
    }
  }
  const std::string checker =
      (std::filesystem::path(__FILE__).parent_path() / "support" / "coco_check.py").string();
  const std::string command = "/usr/bin/python3 '" + checker + "' '" +
                              (dir / "clip.json").string() + "' '" + (dir / "masks").string() +
                              "' > '" + (dir / "check.txt").string() + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << read_text(dir / "check.txt");
}

TEST(WriteCoco, FrameSizeComesFromMasksOrTheFirstImage) {
  TempDir dir;
  auto clip = coco_clip();
  clip[1].masks_dict["Box5"] = Mask(cv::Size(41, 30));
  expect_error_containing<ArgumentError>([&] { kovra_utils::write_coco(clip, dir / "a.json"); },
                                         {"frame size 30 x 40", "Box5 of frame 1", "30 x 41"});
  EXPECT_FALSE(std::filesystem::exists(dir / "a.json"));

  kovra_utils::ClipData unseen;
  unseen[0] = record(0, {});
  unseen[0].image_path = (dir / "frame.png").string();
  expect_error_containing<kovra_utils::FileError>(
      [&] { kovra_utils::write_coco(unseen, dir / "b.json"); }, "frame.png");
  cv::imwrite(unseen[0].image_path, cv::Mat::zeros(12, 16, CV_8UC3));
  EXPECT_EQ(kovra_utils::write_coco(unseen, dir / "b.json"), 0u);
  const json doc = json::parse(read_text(dir / "b.json"));
  EXPECT_EQ(doc["images"][0]["height"], 12);
  EXPECT_EQ(doc["images"][0]["width"], 16);
  EXPECT_TRUE(doc["annotations"].empty());
}

// --- trajectories --------------------------------------------------------------------------------

Mask rect_mask(cv::Rect rect) {
  return Mask::from_crop(cv::Size(40, 30), rect.tl(), cv::Mat::ones(rect.size(), CV_8U));
}

TEST(TrajectoryTable, MeasuresEachAnimalFromItsLastSeenCentroid) {
  kovra_utils::ClipData clip;
  clip[0] = record(7, {{"Box0", rect_mask({0, 0, 4, 2})}, {"Box3", rect_mask({10, 10, 3, 3})}});
  clip[1] = record(8, {{"Box0", Mask(cv::Size(40, 30))}, {"Box3", rect_mask({13, 14, 3, 3})}});
  clip[2] = record(9, {{"Box0", rect_mask({6, 8, 4, 2})}});
  EXPECT_EQ(kovra_utils::trajectory_table(clip).to_csv(),
            "position,frame_index,box_key,object_id,area,centroid_x,centroid_y,x_min,y_min,x_max,"
            "y_max,distance\n"
            "0,7,Box0,1,8,1.5,0.5,0,0,3,1,\n"
            "0,7,Box3,4,9,11.0,11.0,10,10,12,12,\n"
            "1,8,Box0,1,0,,,,,,,\n"
            // (11, 11) -> (14, 15): a 3-4-5 triangle.
            "1,8,Box3,4,9,14.0,15.0,13,14,15,16,5.0\n"
            // Box0 last seen at (1.5, 0.5) two frames before: moved (6, 8).
            "2,9,Box0,1,8,7.5,8.5,6,8,9,9,10.0\n");
  TempDir dir;
  EXPECT_EQ(kovra_utils::write_trajectories(clip, dir / "t.csv"), 5u);
  EXPECT_EQ(read_text(dir / "t.csv"), kovra_utils::trajectory_table(clip).to_csv());
}

// --- exports of a tracker output folder ----------------------------------------------------------

// Annotation files output_pp_<n>.json of rectangles on a 30 x 40 frame, one image for all.
void write_tracker_output(const std::filesystem::path& dir,
                          const std::vector<std::vector<std::pair<int, cv::Rect>>>& frames) {
  std::filesystem::create_directories(dir);
  const std::string image = (dir / "frame.png").string();
  cv::imwrite(image, cv::Mat::zeros(30, 40, CV_8UC3));
  for (std::size_t n = 0; n < frames.size(); ++n) {
    json detections = json::array();
    for (const auto& [object_id, r] : frames[n]) {
      const double x1 = r.x / 40.0, y1 = r.y / 30.0;
      const double x2 = (r.x + r.width - 1) / 40.0, y2 = (r.y + r.height - 1) / 30.0;
      std::ostringstream polygon;
      polygon.precision(17);
      polygon << "0 " << x1 << ' ' << y1 << ' ' << x2 << ' ' << y1 << ' ' << x2 << ' ' << y2 << ' '
              << x1 << ' ' << y2;
      json polygons = r.empty() ? json::array() : json::array({polygon.str()});
      detections.push_back({{"object_id", object_id}, {"formatted_polygon", polygons}});
    }
    write_text(dir / ("output_pp_" + std::to_string(n + 20) + ".json"),
               json{{"image_path", image}, {"detections", detections}}.dump());
  }
}

TEST(ExportTrackerOutput, EveryFormatWritesTheLoadedClip) {
  TempDir dir;
  write_tracker_output(dir / "pen3", {{{1, {0, 0, 5, 4}}, {2, {30, 20, 10, 10}}},
                                      {{1, {2, 1, 5, 4}}, {2, cv::Rect()}}});
  const std::string folder = (dir / "pen3").string() + "/";
  using kovra_utils::ExportFormat;
  const auto loaded = kovra_utils::get_kovra_annotation_data("", false, 0, folder);
  const auto tracks = kovra_utils::clip_track_masks(*loaded.kovra_annotation_data);

  EXPECT_EQ(kovra_utils::export_tracker_output(folder, ExportFormat::coco, dir / "c.json"), 4u);
  EXPECT_EQ(kovra_utils::export_tracker_output(folder, ExportFormat::coco, dir / "c2.json", 2), 4u);
  EXPECT_EQ(read_text(dir / "c2.json"), read_text(dir / "c.json"));
  const json doc = json::parse(read_text(dir / "c.json"));
  EXPECT_EQ(doc["videos"][0]["name"], "pen3");
  EXPECT_EQ(doc["images"][1]["frame_index"], 21);
  EXPECT_EQ(doc["annotations"][0]["bbox"], json::parse("[0.0, 0.0, 5.0, 4.0]"));

  EXPECT_EQ(kovra_utils::export_tracker_output(folder, ExportFormat::mots, dir / "s.txt"), 3u);
  const TrackMasks masks = kovra_utils::read_mots(dir / "s.txt");
  EXPECT_EQ(masks.at(1), tracks.at(1));
  EXPECT_EQ(masks.at(2).at(1), tracks.at(2).at(1));

  EXPECT_EQ(kovra_utils::export_tracker_output(folder, ExportFormat::mot, dir / "m.txt"), 3u);
  EXPECT_EQ(read_text(dir / "m.txt"),
            "1,1,0,0,5,4,1,-1,-1,-1\n1,2,30,20,10,10,1,-1,-1,-1\n2,1,2,1,5,4,1,-1,-1,-1\n");

  EXPECT_EQ(kovra_utils::export_tracker_output(folder, ExportFormat::trajectories, dir / "t.csv"),
            4u);
  expect_error_containing<kovra_utils::FileError>(
      [&] {
        kovra_test::CoutCapture quiet;
        kovra_utils::export_tracker_output((dir / "none").string(), ExportFormat::mot,
                                           dir / "x.txt");
      },
      {"no annotation files", "none"});
}

// An export naming one of its own inputs (through any path) would replace it.
TEST(ExportTrackerOutput, RefusesToOverwriteItsInputs) {
  TempDir dir;
  write_tracker_output(dir / "clip", {{{1, {0, 0, 5, 4}}}, {{1, {2, 1, 5, 4}}}});
  std::filesystem::create_symlink(dir / "clip" / "output_pp_21.json", dir / "alias.json");
  const std::string before = read_text(dir / "clip" / "output_pp_21.json");
  for (const auto& output : {dir / "clip" / "output_pp_20.json", dir / "alias.json",
                             dir / "clip" / ".." / "clip" / "frame.png"}) {
    SCOPED_TRACE(output);
    expect_error_containing<ArgumentError>(
        [&] {
          kovra_utils::export_tracker_output((dir / "clip").string(),
                                             kovra_utils::ExportFormat::mot, output);
        },
        {output.string(), "one of the inputs"});
  }
  EXPECT_EQ(read_text(dir / "clip" / "output_pp_21.json"), before);
}

class PlantedExportTemporary : public ::testing::TestWithParam<kovra_test::Planted> {};

TEST_P(PlantedExportTemporary, IsRefusedAndNeverFollowed) {
  TempDir dir;
  write_tracker_output(dir / "clip", {{{1, {0, 0, 5, 4}}}});
  std::filesystem::create_directory(dir / "exports");
  write_text(dir / "victim.txt", kovra_test::victim_content);
  const auto output = dir / "exports" / "tracks.mot";
  GetParam().plant(kovra_utils::atomic_write::temporary_path_of(output), dir / "victim.txt");
  EXPECT_THROW(kovra_utils::export_tracker_output((dir / "clip").string(),
                                                  kovra_utils::ExportFormat::mot, output),
               kovra_utils::FileError);
  EXPECT_EQ(read_text(dir / "victim.txt"), kovra_test::victim_content);
  EXPECT_FALSE(std::filesystem::exists(dir / "created_outside"));
  EXPECT_FALSE(std::filesystem::exists(output));
}

INSTANTIATE_TEST_SUITE_P(Kinds, PlantedExportTemporary,
                         ::testing::ValuesIn(kovra_test::planted_kinds()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ExportFormat, ParsesTheFourNames) {
  EXPECT_EQ(kovra_utils::export_format("coco"), kovra_utils::ExportFormat::coco);
  EXPECT_EQ(kovra_utils::export_format("trajectories"), kovra_utils::ExportFormat::trajectories);
  expect_error_containing<ArgumentError>([] { kovra_utils::export_format("COCO"); },
                                         "got \"COCO\"");
}

}  // namespace

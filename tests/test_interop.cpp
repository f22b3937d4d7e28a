#include <kovra_utils/interop.hpp>

#include "capture.hpp"
#include "expect_error.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

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
  std::uniform_int_distribution<int> side(1, 40);
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

TEST(ReadMots, MissingFileIsFileError) {
  TempDir dir;
  expect_error_containing<kovra_utils::FileError>([&] { kovra_utils::read_mots(dir / "none.txt"); },
                                                  "none.txt");
}

}  // namespace

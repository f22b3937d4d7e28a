#include <kovra_utils/types.hpp>

#include "atomic_write.hpp"
#include "capture.hpp"
#include "expect_error.hpp"
#include "planted.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <random>
#include <thread>

namespace {

using kovra_utils::ArgumentError;
using kovra_utils::Mask;
using kovra_utils::Table;
using kovra_utils::Value;

cv::Mat plane_with_rect(cv::Size size, cv::Rect rect, int value = 1, int type = CV_8U) {
  cv::Mat plane = cv::Mat::zeros(size, type);
  plane(rect).setTo(value);
  return plane;
}

TEST(Mask, StoresTightCropOfSetPixels) {
  const Mask mask = Mask::from_dense(plane_with_rect({50, 40}, {10, 5, 7, 3}, 255));
  EXPECT_EQ(mask.size(), cv::Size(50, 40));
  EXPECT_EQ(mask.bounds(), cv::Rect(10, 5, 7, 3));
  EXPECT_EQ(mask.area(), 21);
  EXPECT_EQ(mask.crop().type(), CV_8U);
  EXPECT_EQ(cv::countNonZero(mask.crop() != 1), 0);
  EXPECT_TRUE(mask.at(5, 10));
  EXPECT_FALSE(mask.at(4, 10));
  EXPECT_FALSE(mask.at(-1, 1000));
  EXPECT_EQ(mask.box(), (std::array<int, 4>{10, 5, 16, 7}));
  EXPECT_EQ(cv::countNonZero(mask.dense()), 21);
}

TEST(Mask, ClearMaskHasZeroBoxAndNoCentroid) {
  const Mask mask(cv::Size(20, 10));
  EXPECT_TRUE(mask.is_clear());
  EXPECT_EQ(mask.box(), (std::array<int, 4>{0, 0, 0, 0}));
  EXPECT_FALSE(mask.centroid().has_value());
  EXPECT_EQ(mask.dense().size(), cv::Size(20, 10));
  EXPECT_THROW(Mask(cv::Size(-1, 3)), ArgumentError);
}

TEST(Mask, AcceptsAnyDepthAndClipsCrops) {
  const Mask from_float = Mask::from_dense(plane_with_rect({8, 8}, {1, 1, 2, 2}, 1, CV_32F));
  EXPECT_EQ(from_float.area(), 4);
  cv::Mat crop = cv::Mat::ones(4, 4, CV_8U);
  const Mask clipped = Mask::from_crop({5, 5}, {3, -2}, crop);
  EXPECT_EQ(clipped.bounds(), cv::Rect(3, 0, 2, 2));
  EXPECT_EQ(clipped.area(), 4);
  cv::Mat rgb(4, 4, CV_8UC3);
  EXPECT_THROW(Mask::from_dense(rgb), ArgumentError);
}

// A crop handed over keeps its buffer only when that is safe; otherwise the mask is the one
// from_crop builds.
TEST(Mask, AdoptCropSharesOnlyTightBinaryCropsInsideThePlane) {
  struct Case {
    const char* name;
    cv::Mat crop;
    cv::Point origin;
    bool shared;
  };
  const cv::Mat ones = cv::Mat::ones(3, 4, CV_8U);
  cv::Mat loose = cv::Mat::zeros(5, 6, CV_8U);
  loose(cv::Rect(1, 2, 3, 2)).setTo(1);
  const Case cases[] = {
      {"tight", ones.clone(), {2, 1}, true},
      {"loose", loose, {2, 1}, false},
      {"not binary", ones * 255, {2, 1}, false},
      {"beyond the plane", ones.clone(), {18, 8}, false},
      {"float", cv::Mat::ones(3, 4, CV_32F), {2, 1}, false},
      {"clear", cv::Mat::zeros(3, 4, CV_8U), {2, 1}, false},
  };
  const cv::Size plane(20, 10);
  for (const Case& c : cases) {
    const Mask expected = Mask::from_crop(plane, c.origin, c.crop);
    const std::uint8_t* buffer = c.crop.data;
    const Mask adopted = Mask::adopt_crop(plane, c.origin, c.crop);
    EXPECT_EQ(adopted, expected) << c.name;
    EXPECT_EQ(adopted.bounds(), expected.bounds()) << c.name;
    EXPECT_EQ(!adopted.is_clear() && adopted.crop().data == buffer, c.shared) << c.name;
    if (!adopted.is_clear()) {
      EXPECT_EQ(cv::countNonZero(adopted.crop() > 1), 0) << c.name;
    }
  }
}

TEST(Mask, KeepsEverySetPixelOfSmallSparsePlanes) {
  // Planes on which OpenCV 4.6's boundingRect of a mask image misses pixels; the first is
  // the smallest found: (1, 2) lies outside the rectangle it reports.
  cv::Mat plane = cv::Mat::zeros(4, 5, CV_8U);
  plane.at<std::uint8_t>(1, 1) = plane.at<std::uint8_t>(1, 2) = plane.at<std::uint8_t>(2, 1) = 1;
  EXPECT_EQ(Mask::from_dense(plane).bounds(), cv::Rect(1, 1, 2, 2));
  cv::RNG random(3);
  for (int i = 0; i < 3000; ++i) {
    cv::Mat sparse = cv::Mat::zeros(random.uniform(1, 7), random.uniform(1, 60), CV_8U);
    for (int k = random.uniform(1, 5); k > 0; --k) {
      sparse.at<std::uint8_t>(random.uniform(0, sparse.rows), random.uniform(0, sparse.cols)) = 1;
    }
    const Mask mask = Mask::from_dense(sparse);
    ASSERT_EQ(mask.area(), cv::countNonZero(sparse)) << sparse;
    ASSERT_EQ(mask.dense().size(), sparse.size());
    ASSERT_EQ(cv::countNonZero(mask.dense() != sparse), 0) << sparse;
  }
}

TEST(Mask, MomentsMatchDensePlane) {
  cv::Mat plane = cv::Mat::zeros(60, 80, CV_8U);
  cv::circle(plane, {50, 30}, 9, 1, -1);
  plane(cv::Rect(5, 40, 6, 3)).setTo(1);
  const Mask mask = Mask::from_dense(plane);
  const cv::Moments dense = cv::moments(plane, false);
  const cv::Moments cropped = mask.moments();
  EXPECT_DOUBLE_EQ(cropped.m00, dense.m00);
  EXPECT_NEAR(cropped.m10, dense.m10, 1e-6 * dense.m10);
  EXPECT_NEAR(cropped.m01, dense.m01, 1e-6 * dense.m01);
  EXPECT_NEAR(cropped.m20, dense.m20, 1e-6 * dense.m20);
  EXPECT_NEAR(cropped.m11, dense.m11, 1e-6 * dense.m11);
  EXPECT_NEAR(cropped.m03, dense.m03, 1e-6 * dense.m03);
  EXPECT_NEAR(cropped.mu20, dense.mu20, 1e-6 * dense.mu20);
  EXPECT_NEAR(mask.centroid()->x, dense.m10 / dense.m00, 1e-9);
}

TEST(Mask, OverlapCountAndIntersection) {
  const Mask a = Mask::from_dense(plane_with_rect({30, 30}, {0, 0, 10, 10}));
  const Mask b = Mask::from_dense(plane_with_rect({30, 30}, {5, 5, 10, 10}));
  const Mask far = Mask::from_dense(plane_with_rect({30, 30}, {25, 25, 2, 2}));
  EXPECT_EQ(kovra_utils::overlap_count(a, b), 25);
  EXPECT_EQ(kovra_utils::overlap_count(a, far), 0);
  EXPECT_EQ(a.intersection(b).bounds(), cv::Rect(5, 5, 5, 5));
  const Mask other_size(cv::Size(31, 30));
  try {
    kovra_utils::overlap_count(a, other_size);
    FAIL();
  } catch (const ArgumentError& e) {
    EXPECT_STREQ(e.what(), "overlap count: masks must have the same size, got 30 x 30 and 30 x 31");
  }
  EXPECT_EQ(a, Mask::from_dense(a.dense()));
  EXPECT_FALSE(a == b);
}

// Plain scan of a plane: the tight rectangle and count of its non-zero pixels.
std::pair<cv::Rect, int> scanned_extent(const cv::Mat& plane) {
  int left = plane.cols, right = -1, top = plane.rows, bottom = -1, count = 0;
  for (int r = 0; r < plane.rows; ++r) {
    for (int c = 0; c < plane.cols; ++c) {
      if (plane.at<std::uint8_t>(r, c) == 0) continue;
      left = std::min(left, c);
      right = std::max(right, c);
      top = std::min(top, r);
      bottom = std::max(bottom, r);
      ++count;
    }
  }
  if (count == 0) return {cv::Rect(), 0};
  return {cv::Rect(left, top, right - left + 1, bottom - top + 1), count};
}

// Small masks lost edge pixels when the rectangle came from cv::boundingRect.
TEST(Mask, KeepsEveryPixelOfSmallPlanes) {
  const cv::Mat two_by_two = (cv::Mat_<std::uint8_t>(2, 2) << 0, 0, 1, 1);
  EXPECT_EQ(Mask::from_dense(two_by_two).area(), 2);
  const cv::Mat five_rows = (cv::Mat_<std::uint8_t>(5, 3) << 1, 0, 0, 1, 1, 0, 1, 1, 0, 1, 1, 1,
                             1, 0, 0);
  EXPECT_TRUE(Mask::from_dense(five_rows).at(3, 2));
  EXPECT_EQ(Mask::from_dense(five_rows).area(), 9);

  std::mt19937 random(12);
  for (int round = 0; round < 20000; ++round) {
    const int rows = 1 + static_cast<int>(random() % 14);
    const int cols = 1 + static_cast<int>(random() % 14);
    const unsigned density = 1 + random() % 4;
    cv::Mat plane(rows, cols, CV_8U);
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        plane.at<std::uint8_t>(r, c) = random() % 5 < density ? 1 + random() % 255 : 0;
      }
    }
    const auto [bounds, count] = scanned_extent(plane);
    const Mask mask = Mask::from_dense(plane);
    ASSERT_EQ(mask.area(), count) << "round " << round << "\n" << plane;
    ASSERT_EQ(mask.bounds(), bounds) << "round " << round << "\n" << plane;
    ASSERT_EQ(cv::countNonZero(mask.dense() != (plane != 0) / 255), 0) << "round " << round;
  }
}

TEST(IntersectionTable, LookupByPositionAndKey) {
  kovra_utils::IntersectionTable table({"Box0", "Box3"});
  table.set(0, 1, 25.0);
  EXPECT_EQ(table.at("Box0", "Box3"), 25.0);
  EXPECT_EQ(table.at(1, 0), 0.0);
  EXPECT_EQ(*table.max(), 25.0);
  EXPECT_THROW(table.at("Box9", "Box0"), std::out_of_range);
  EXPECT_FALSE(kovra_utils::IntersectionTable().max().has_value());
  const Table as_table = table.to_table();
  EXPECT_EQ(as_table.columns(), (std::vector<std::string>{"Box0", "Box3"}));
  EXPECT_EQ(as_table.number(0, "Box3"), 25.0);
}

TEST(Table, CsvQuotingAbsentCellsAndNumbers) {
  Table table({"Frame ID", "Note", "Value"});
  table.append_row({std::int64_t{3}, std::string("a,b"), 85.71});
  table.append_row({std::int64_t{4}, std::string("say \"hi\""), std::monostate{}});
  table.append_row({std::int64_t{5}, std::string("two\nlines"), 100.0});
  EXPECT_EQ(table.to_csv(),
            "Frame ID,Note,Value\n3,\"a,b\",85.71\n4,\"say \"\"hi\"\"\",\n5,\"two\nlines\",100.0\n");
}

TEST(Table, SelectionKeepsLabelsAndGroupsSortAscending) {
  Table table({"Box Pair", "Frame ID"});
  table.append_row({std::string("Box10-Box2"), std::int64_t{1}});
  table.append_row({std::string("Box1-Box3"), std::int64_t{2}});
  table.append_row({std::monostate{}, std::int64_t{3}});
  table.append_row({std::string("Box1-Box3"), std::int64_t{4}});
  const Table picked = table.select_rows({3, 1});
  EXPECT_EQ(picked.labels(), (std::vector<std::int64_t>{3, 1}));
  const auto groups = table.group_by("Box Pair");
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(std::get<std::string>(groups[0].first), "Box1-Box3");
  EXPECT_EQ(groups[0].second, (std::vector<std::size_t>{1, 3}));
  EXPECT_EQ(std::get<std::string>(groups[1].first), "Box10-Box2");
  EXPECT_THROW(table.column_index("Nope"), std::out_of_range);
  EXPECT_THROW(table.append_row({std::int64_t{1}}), ArgumentError);
  EXPECT_THROW(table.text(0, "Frame ID"), kovra_utils::ContentError);
  Table more({"Box Pair", "Frame ID"});
  more.append_row({std::string("x"), std::int64_t{9}}, 42);
  table.append(more);
  EXPECT_EQ(table.labels().back(), 4);
}

TEST(WriteFileAtomically, ReplacesTargetAndReportsMissingFolder) {
  kovra_test::TempDir dir;
  const auto target = dir / "report.csv";
  kovra_test::write_text(target, "old");
  kovra_utils::write_file_atomically(target, "new content");
  EXPECT_EQ(kovra_test::read_text(target), "new content");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_THROW(kovra_utils::write_file_atomically(dir / "missing" / "x.csv", "x"),
               kovra_utils::FileError);
}

// An interrupted write leaves its temporary behind; the next write of the target takes it over.
TEST(WriteFileAtomically, TakesOverTheTemporaryOfAnInterruptedWrite) {
  kovra_test::TempDir dir;
  const auto target = dir / "output_pp_7.json";
  kovra_test::write_text(kovra_utils::atomic_write::temporary_path_of(target), "half writ");
  for (const char* content : {"first", "second"}) {
    kovra_utils::write_file_atomically(target, content);
    EXPECT_EQ(kovra_test::read_text(target), content);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
  }
}

// Whatever is planted at the temporary's name, the write fails with the name in the message and
// nothing outside the folder is touched.
class PlantedTemporary : public ::testing::TestWithParam<kovra_test::Planted> {};

TEST_P(PlantedTemporary, IsRefusedAndNeverFollowed) {
  kovra_test::TempDir dir;
  std::filesystem::create_directory(dir / "out");
  const auto victim = dir / "victim.txt";
  kovra_test::write_text(victim, kovra_test::victim_content);
  const auto target = dir / "out" / "tracks.mot";
  kovra_test::write_text(target, "old");
  const auto temporary = kovra_utils::atomic_write::temporary_path_of(target);
  GetParam().plant(temporary, victim);
  kovra_test::expect_error_containing<kovra_utils::FileError>(
      [&] { kovra_utils::write_file_atomically(target, "new"); },
      {target.string(), temporary.string()});
  EXPECT_EQ(kovra_test::read_text(victim), kovra_test::victim_content);
  EXPECT_FALSE(std::filesystem::exists(dir / "created_outside"));
  EXPECT_EQ(kovra_test::read_text(target), "old");
}

INSTANTIATE_TEST_SUITE_P(Kinds, PlantedTemporary,
                         ::testing::ValuesIn(kovra_test::planted_kinds()),
                         [](const auto& info) { return std::string(info.param.name); });

// Writers of one target take turns on its temporary: every write lands whole.
TEST(WriteFileAtomically, ConcurrentWritersOfOneTargetEachLandWhole) {
  kovra_test::TempDir dir;
  const auto target = dir / "shared.txt";
  std::vector<std::string> contents;
  for (int k = 0; k < 4; ++k) contents.push_back(std::string(100000, static_cast<char>('a' + k)));
  std::vector<std::thread> writers;
  for (const std::string& content : contents) {
    writers.emplace_back([&target, &content] {
      for (int round = 0; round < 25; ++round) kovra_utils::write_file_atomically(target, content);
    });
  }
  for (std::thread& writer : writers) writer.join();
  const std::string final_content = kovra_test::read_text(target);
  EXPECT_NE(std::find(contents.begin(), contents.end(), final_content), contents.end());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(WriteFileAtomically, RewritesTheLongestFileName) {
  kovra_test::TempDir dir;
  const auto target = dir / (std::string(245, 'n') + ".json");
  kovra_test::write_text(target, "old");
  kovra_utils::write_file_atomically(target, "new");
  EXPECT_EQ(kovra_test::read_text(target), "new");
}

}  // namespace

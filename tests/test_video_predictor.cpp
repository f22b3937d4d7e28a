// The video predictor contract: the track_clip driver and the box-propagation stand-in.

#include "capture.hpp"
#include "expect_error.hpp"
#include "model_doubles.hpp"

#include <kovra_utils/classical_models.hpp>
#include <kovra_utils/models.hpp>

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <limits>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kovra_test::ScriptedVideoPredictor;
using kovra_test::TempDir;
using kovra_utils::ArgumentError;
using kovra_utils::ContentError;
using kovra_utils::Mask;

const cv::Size kSize(6, 4);

Mask rect_mask(cv::Rect rect, cv::Size size = kSize) {
  cv::Mat plane = cv::Mat::zeros(size, CV_8U);
  plane(rect).setTo(1);
  return Mask::from_dense(plane);
}

// N x 1 x H x W logits of `type`: `inside` within each rectangle, `outside` elsewhere.
cv::Mat logits(const std::vector<cv::Rect>& rects, int type, double inside = 3.5,
               double outside = -2.0, cv::Size size = kSize) {
  const int dims[] = {static_cast<int>(rects.size()), 1, size.height, size.width};
  cv::Mat out(4, dims, type, cv::Scalar(outside));
  for (std::size_t i = 0; i < rects.size(); ++i) {
    cv::Mat plane(size, type, out.ptr(static_cast<int>(i)));
    plane(rects[i]).setTo(inside);
  }
  return out;
}

cv::Mat reshaped(const cv::Mat& m, std::vector<int> dims) {
  return m.reshape(1, static_cast<int>(dims.size()), dims.data());
}

TEST(TrackClip, PromptsObjectsOneToNThenPropagatesAndResets) {
  ScriptedVideoPredictor predictor;
  predictor.frames = {
      {2, {1, 2}, logits({{0, 0, 2, 2}, {3, 1, 2, 3}}, CV_32F)},
      {3, {1, 2}, logits({{1, 0, 2, 2}, {4, 1, 2, 3}}, CV_32F)},
  };
  const std::vector<Mask> masks = {rect_mask({0, 0, 2, 2}), rect_mask({3, 1, 2, 2})};

  const auto segments = kovra_utils::track_clip(predictor, "clip/frames", masks, 2);

  EXPECT_EQ(predictor.calls, (std::vector<std::string>{
                                 "init_state clip/frames", "add_new_mask 2 1 4",
                                 "add_new_mask 2 2 4", "propagate_in_video", "reset_state"}));
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments.begin()->first, 2);
  EXPECT_EQ(segments.at(2).at(1), rect_mask({0, 0, 2, 2}));
  EXPECT_EQ(segments.at(2).at(2), rect_mask({3, 1, 2, 3}));
  EXPECT_EQ(segments.at(3).at(1), rect_mask({1, 0, 2, 2}));
  EXPECT_EQ(segments.at(3).at(2), rect_mask({4, 1, 2, 3}));
}

// Every logit form a model hands back: a pixel is set exactly where its logit is above 0.
TEST(TrackClip, SetsThePixelsWhoseLogitIsAboveZero) {
  const cv::Rect a(1, 1, 3, 2);
  const cv::Rect b(0, 3, 6, 1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    cv::Mat mask_logits;
    std::vector<std::int64_t> obj_ids;
  };
  const std::vector<Case> cases = {
      {"N x 1 x H x W float", logits({a, b}, CV_32F), {1, 2}},
      {"N x H x W double", reshaped(logits({a, b}, CV_64F), {2, 4, 6}), {1, 2}},
      {"N x H x W 0/1 bytes", reshaped(logits({a, b}, CV_8U, 1, 0), {2, 4, 6}), {1, 2}},
      {"half floats", logits({a, b}, CV_16F), {1, 2}},
      {"zero and NaN are outside", logits({a, b}, CV_32F, 0.01, nan), {1, 2}},
      {"exactly zero is outside", logits({a, b}, CV_32F, 1e-30, 0.0), {1, 2}},
      {"H x W for one object", reshaped(logits({a}, CV_32F), {4, 6}), {1}},
      {"ids in the model's order", logits({b, a}, CV_32F), {2, 1}},
  };
  for (const Case& c : cases) {
    ScriptedVideoPredictor predictor;
    predictor.frames = {{0, c.obj_ids, c.mask_logits}};
    const auto segments = kovra_utils::track_clip(predictor, "v", {rect_mask(a), rect_mask(b)});
    ASSERT_EQ(segments.at(0).size(), c.obj_ids.size()) << c.name;
    EXPECT_EQ(segments.at(0).at(1), rect_mask(a)) << c.name;
    if (c.obj_ids.size() == 2) {
      EXPECT_EQ(segments.at(0).at(2), rect_mask(b)) << c.name;
    }
    EXPECT_EQ(segments.at(0).begin()->first, c.obj_ids.front()) << c.name;
  }
}

TEST(TrackClip, RejectsBadPromptsBeforeCallingTheModel) {
  ScriptedVideoPredictor predictor;
  kovra_test::expect_error_containing<ArgumentError>(
      [&] { kovra_utils::track_clip(predictor, "v", {}); }, "no masks to track");
  kovra_test::expect_error_containing<ArgumentError>(
      [&] { kovra_utils::track_clip(predictor, "v", {rect_mask({0, 0, 1, 1})}, -1); },
      "ann_frame_idx must not be negative, got -1");
  kovra_test::expect_error_containing<ArgumentError>(
      [&] {
        kovra_utils::track_clip(predictor, "v",
                                {Mask(kSize), Mask(cv::Size(kSize.width + 1, kSize.height))});
      },
      "track_clip: masks");
  EXPECT_TRUE(predictor.calls.empty());
}

TEST(TrackClip, LogitsThatDoNotFitAreContentErrors) {
  struct Case {
    ScriptedVideoPredictor::Frame frame;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{0, {1, 2, 3}, logits({{0, 0, 1, 1}, {0, 0, 1, 1}}, CV_32F)},
       "mask logits of frame 0 hold 2 planes for 3 object ids"},
      {{1, {1, 2}, logits({{0, 0, 1, 1}, {0, 0, 1, 1}}, CV_32F, 1, 0, {5, 4})},
       "mask logits of frame 1 must be 4 x 6 like the prompted masks, got shape (2, 1, 4, 5)"},
      {{2, {1, 2}, reshaped(logits({{0, 0, 1, 1}, {0, 0, 1, 1}}, CV_32F), {1, 2, 4, 6})},
       "must be N x 1 x H x W"},
      {{-1, {1, 2}, logits({{0, 0, 1, 1}, {0, 0, 1, 1}}, CV_32F)},
       "the video predictor gave frame -1"},
  };
  for (const Case& c : cases) {
    ScriptedVideoPredictor predictor;
    predictor.frames = {c.frame};
    kovra_test::expect_error_containing<ContentError>(
        [&] { kovra_utils::track_clip(predictor, "v", {Mask(kSize), Mask(kSize)}); }, c.message);
  }
}

TEST(TrackClip, ModelErrorsReachTheCallerUnchanged) {
  for (const std::string method : {"init_state", "add_new_mask", "propagate_in_video"}) {
    ScriptedVideoPredictor predictor;
    predictor.fail_in = method;
    kovra_test::expect_error_message<std::runtime_error>(
        [&] { kovra_utils::track_clip(predictor, "v", {Mask(kSize)}); }, "model failed");
    EXPECT_TRUE(predictor.calls.empty() || predictor.calls.back() != "reset_state") << method;
  }
}

// ---- BoxPropagationTracker ------------------------------------------------------------------

const cv::Size kFrame(200, 120);

// A dark floor with a bright square at `a` and a bright bar at `b` (top-left corners).
cv::Mat frame_image(cv::Point a, cv::Point b) {
  cv::Mat image(kFrame, CV_8UC3, cv::Scalar(40, 40, 40));
  cv::rectangle(image, cv::Rect(a, cv::Size(24, 24)), cv::Scalar(230, 230, 230), cv::FILLED);
  cv::rectangle(image, cv::Rect(b, cv::Size(40, 12)), cv::Scalar(220, 220, 220), cv::FILLED);
  return image;
}

cv::Point square_at(int frame) { return {20 + 6 * frame, 30}; }
cv::Point bar_at(int frame) { return {120, 80 - 4 * frame}; }

class BoxPropagation : public ::testing::Test {
 protected:
  // Frames 0..5 named 0.jpg, 1.jpg, ... 5.jpg, plus files that are not frames.
  void SetUp() override {
    for (int f = 0; f < 6; ++f) {
      cv::imwrite((tmp / (std::to_string(f) + ".jpg")).string(), frame_image(square_at(f), bar_at(f)),
                  {cv::IMWRITE_JPEG_QUALITY, 98});
    }
    cv::imwrite((tmp / "7.png").string(), cv::Mat::zeros(kFrame, CV_8UC3));
    kovra_test::write_text(tmp / "notes.txt", "not a frame");
  }

  TempDir tmp;
  kovra_utils::BrightBlobOptions options{170, 50};
  kovra_utils::ThresholdPredictor image_predictor{options, 12};
  kovra_utils::BoxPropagationTracker tracker{image_predictor};
};

TEST_F(BoxPropagation, FollowsEveryObjectFromThePromptedFrameToTheEnd) {
  const std::vector<Mask> prompts = {rect_mask({square_at(1), cv::Size(24, 24)}, kFrame),
                                     rect_mask({bar_at(1), cv::Size(40, 12)}, kFrame)};
  const auto segments = kovra_utils::track_clip(tracker, tmp.path().string(), prompts, 1);

  ASSERT_EQ(segments.size(), 5u);
  int frame = 1;
  for (const auto& [frame_idx, objects] : segments) {
    EXPECT_EQ(frame_idx, frame);
    ASSERT_EQ(objects.size(), 2u);
    // JPEG edges blur by a pixel at most.
    EXPECT_NEAR(objects.at(1).bounds().x, square_at(frame).x, 1) << frame;
    EXPECT_NEAR(objects.at(1).area(), 24 * 24, 50) << frame;
    EXPECT_NEAR(objects.at(2).bounds().y, bar_at(frame).y, 1) << frame;
    EXPECT_NEAR(objects.at(2).area(), 40 * 12, 40) << frame;
    ++frame;
  }
  EXPECT_EQ(segments.at(1).at(1), prompts[0]);  // the prompted frame gives the prompts back
}

TEST_F(BoxPropagation, OrdersFramesByNumberAndKeepsClearObjectsClear) {
  fs::rename(tmp / "5.jpg", tmp / "10.JPEG");  // after 4.jpg, not after 1.jpg
  std::vector<std::int64_t> frames;
  std::vector<std::int64_t> clear_areas;
  std::any state = tracker.init_state(tmp.path().string());
  tracker.add_new_mask(state, 3, 5, rect_mask({square_at(3), cv::Size(24, 24)}, kFrame));
  tracker.add_new_mask(state, 3, 9, Mask(kFrame));
  tracker.propagate_in_video(state, [&](std::int64_t f, const std::vector<std::int64_t>& ids,
                                        const cv::Mat& mask_logits) {
    frames.push_back(f);
    EXPECT_EQ(ids, (std::vector<std::int64_t>{5, 9}));
    ASSERT_EQ(mask_logits.dims, 3);
    clear_areas.push_back(cv::countNonZero(cv::Mat(kFrame, CV_8U, mask_logits.data + kFrame.area())));
  });
  EXPECT_EQ(frames, (std::vector<std::int64_t>{3, 4, 5}));
  EXPECT_EQ(clear_areas, (std::vector<std::int64_t>{0, 0, 0}));  // never prompted with a box
  tracker.reset_state(state);
  EXPECT_THROW(tracker.propagate_in_video(state, {}), ArgumentError);  // the prompts are gone
}

TEST_F(BoxPropagation, RejectsBadFoldersFramesAndStates) {
  using kovra_test::expect_error_containing;
  expect_error_containing<kovra_utils::FileError>(
      [&] { tracker.init_state((tmp / "missing").string()); }, "missing");
  fs::create_directories(tmp / "empty");
  expect_error_containing<ContentError>([&] { tracker.init_state((tmp / "empty").string()); },
                                        "no JPEG frames in");
  std::any state = tracker.init_state(tmp.path().string());
  expect_error_containing<ArgumentError>(
      [&] { tracker.add_new_mask(state, 6, 1, Mask(kFrame)); }, "frame 6 is outside the clip's 6");
  std::any foreign = 3;
  expect_error_containing<ArgumentError>(
      [&] { tracker.add_new_mask(foreign, 0, 1, Mask(kFrame)); }, "not made by BoxPropagationTracker");
  // Prompts of another size than the frames fail when the first frame is read.
  tracker.add_new_mask(state, 0, 1, rect_mask({0, 0, 2, 2}, {50, 50}));
  expect_error_containing<ContentError>([&] { tracker.propagate_in_video(state, [](auto...) {}); },
                                        "1.jpg is 120 x 200, the prompted masks are 50 x 50");
  kovra_test::write_text(tmp / "last.jpg", "");
  expect_error_containing<ContentError>([&] { tracker.init_state(tmp.path().string()); },
                                        "last.jpg does not hold a frame number");
}

}  // namespace

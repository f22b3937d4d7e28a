#include <kovra_utils/classical_models.hpp>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace {

using kovra_utils::ArgumentError;
using kovra_utils::BrightBlobDetector;
using kovra_utils::DetectionResult;
using kovra_utils::Mask;
using kovra_utils::ThresholdPredictor;

const cv::Size kFrame(400, 300);

// Dark floor with a bright ellipse, a bright filled rectangle and a speck of noise (BGR).
cv::Mat pen_scene() {
  cv::Mat image(kFrame, CV_8UC3, cv::Scalar(50, 50, 50));
  cv::ellipse(image, {100, 80}, {40, 25}, 0, 0, 360, cv::Scalar(220, 220, 220), cv::FILLED);
  cv::rectangle(image, cv::Rect(250, 150, 60, 40), cv::Scalar(230, 230, 230), cv::FILLED);
  cv::rectangle(image, cv::Rect(20, 250, 5, 5), cv::Scalar(255, 255, 255), cv::FILLED);
  return image;
}

DetectionResult detect(BrightBlobDetector& detector, const cv::Mat& image, double text_threshold) {
  auto batch = detector(image, "pig.", "pt")->to("cpu");
  const std::any outputs = detector(*batch);
  auto results = detector.post_process_grounded_object_detection(
      outputs, batch->input_ids(), text_threshold, {{image.rows, image.cols}});
  EXPECT_EQ(results.size(), 1u);
  return results.front();
}

cv::Mat box_rows(const std::vector<std::array<double, 4>>& boxes) {
  cv::Mat rows(static_cast<int>(boxes.size()), 4, CV_64F);
  for (int r = 0; r < rows.rows; ++r) {
    for (int c = 0; c < 4; ++c) rows.at<double>(r, c) = boxes[r][c];
  }
  return rows;
}

cv::Mat rgb(const cv::Mat& bgr) {
  cv::Mat out;
  cv::cvtColor(bgr, out, cv::COLOR_BGR2RGB);
  return out;
}

TEST(BrightBlobDetector, BoxesLargeBrightBlobsAndLabelsThemFromThePrompt) {
  BrightBlobDetector detector;
  const DetectionResult result = detect(detector, pen_scene(), 0.25);
  ASSERT_EQ(result.boxes.size(), 2u);  // the speck is below min_area
  EXPECT_EQ(result.boxes[0], (kovra_utils::Box{60, 55, 141, 106}));
  EXPECT_EQ(result.boxes[1], (kovra_utils::Box{250, 150, 310, 190}));
  EXPECT_EQ(result.labels, (std::vector<std::string>{"pig", "pig"}));
  EXPECT_NEAR(result.scores[0], 0.76, 0.05);  // an ellipse fills about pi / 4 of its box
  EXPECT_DOUBLE_EQ(result.scores[1], 1.0);
}

TEST(BrightBlobDetector, WeakMatchesGetAnEmptyLabel) {
  BrightBlobDetector detector;
  const DetectionResult result = detect(detector, pen_scene(), 0.9);
  EXPECT_EQ(result.labels, (std::vector<std::string>{"", "pig"}));
}

TEST(BrightBlobDetector, RejectsForeignPayloads) {
  BrightBlobDetector detector;
  EXPECT_THROW(detector.post_process_grounded_object_detection(std::any(42), std::any(), 0.25,
                                                               {{1, 1}}),
               ArgumentError);
  EXPECT_THROW(detector(cv::Mat(4, 4, CV_32FC3), "pig.", "pt"), ArgumentError);
}

TEST(ThresholdPredictor, SegmentsTheBlobOfEachBoxEvenWhenItMovedALittle) {
  ThresholdPredictor predictor;
  const cv::Mat scene = rgb(pen_scene());
  predictor.set_image(scene);
  // The rectangle's box is 15 pixels off, as after a frame of movement; the third box is floor.
  const auto prediction = predictor.predict(
      std::nullopt, std::nullopt, box_rows({{60, 55, 141, 106}, {265, 160, 325, 200}, {5, 200, 40, 230}}),
      false);
  const auto masks = kovra_utils::masks_from_prediction(prediction.masks, scene.size());
  ASSERT_EQ(masks.size(), 3u);
  EXPECT_EQ(masks[0].bounds(), cv::Rect(60, 55, 81, 51));
  EXPECT_EQ(masks[1].bounds(), cv::Rect(250, 150, 60, 40));
  EXPECT_EQ(masks[1].area(), 60 * 40);
  EXPECT_TRUE(masks[2].is_clear());
  EXPECT_EQ(prediction.scores.rows, 3);
}

TEST(ThresholdPredictor, KeepsTheComponentCoveringMostOfTheBox) {
  cv::Mat image(kFrame, CV_8UC3, cv::Scalar(40, 40, 40));
  image(cv::Rect(100, 100, 50, 50)).setTo(cv::Scalar(240, 240, 240));
  image(cv::Rect(160, 100, 50, 50)).setTo(cv::Scalar(240, 240, 240));
  ThresholdPredictor predictor;
  predictor.set_image(image);
  // Most of this box lies on the right square.
  const auto prediction = predictor.predict(std::nullopt, std::nullopt,
                                            box_rows({{140, 100, 209, 149}}), false);
  ASSERT_EQ(prediction.masks.dims, 2);  // one box gives one H x W mask
  const Mask mask = Mask::from_dense(prediction.masks);
  EXPECT_EQ(mask.bounds(), cv::Rect(160, 100, 50, 50));
}

TEST(ThresholdPredictor, AcceptsIntegerBoxesAndEmptyBoxArrays) {
  ThresholdPredictor predictor;
  predictor.set_image(rgb(pen_scene()));
  cv::Mat integer_box = (cv::Mat_<int>(1, 4) << 250, 150, 309, 189);
  const auto one = predictor.predict(std::nullopt, std::nullopt, integer_box, false);
  EXPECT_EQ(Mask::from_dense(one.masks).area(), 60 * 40);
  const auto none = predictor.predict(std::nullopt, std::nullopt, cv::Mat(0, 4, CV_64F), false);
  EXPECT_TRUE(kovra_utils::masks_from_prediction(none.masks, kFrame).empty());
}

TEST(ThresholdPredictor, RejectsMisuse) {
  ThresholdPredictor predictor;
  const cv::Mat box = box_rows({{0, 0, 10, 10}});
  EXPECT_THROW(predictor.predict(std::nullopt, std::nullopt, box, false), ArgumentError);
  predictor.set_image(rgb(pen_scene()));
  EXPECT_THROW(predictor.predict(std::nullopt, std::nullopt, box, true), ArgumentError);
  EXPECT_THROW(predictor.predict(std::nullopt, std::nullopt, cv::Mat(1, 3, CV_64F), false),
               ArgumentError);
  const cv::Mat infinite = box_rows({{0, 0, std::numeric_limits<double>::infinity(), 10}});
  EXPECT_THROW(predictor.predict(std::nullopt, std::nullopt, infinite, false), ArgumentError);
  EXPECT_THROW(predictor.set_image(cv::Mat(10, 10, CV_8UC1)), ArgumentError);
}

cv::Mat tensor_of(const cv::Mat& rgb_image) {
  const int dims[] = {1, 3, rgb_image.rows, rgb_image.cols};
  cv::Mat tensor(4, dims, CV_32F);
  std::vector<cv::Mat> channels;
  cv::split(rgb_image, channels);
  for (int c = 0; c < 3; ++c) {
    cv::Mat plane(rgb_image.rows, rgb_image.cols, CV_32F, tensor.ptr<float>(0, c));
    channels[c].convertTo(plane, CV_32F, 1.0 / 255);
  }
  return tensor;
}

std::vector<float> pooled(const cv::Mat& features) {
  std::vector<float> out;
  for (int f = 0; f < features.size[1]; ++f) {
    double sum = 0;
    for (int r = 0; r < features.size[2]; ++r) {
      for (int c = 0; c < features.size[3]; ++c) {
        const int index[] = {0, f, r, c};
        sum += features.at<float>(index);
      }
    }
    out.push_back(static_cast<float>(sum / 4));
  }
  return out;
}

TEST(ThresholdPredictor, EncoderDescribesAppearance) {
  ThresholdPredictor predictor;
  cv::Mat plain(64, 64, CV_8UC3, cv::Scalar(200, 200, 200));
  cv::Mat striped = plain.clone();
  for (int x = 0; x < 64; x += 8) striped.colRange(x, x + 4).setTo(cv::Scalar(20, 20, 20));

  const auto first = predictor.image_encoder(tensor_of(plain));
  ASSERT_EQ(first.count("vision_features"), 1u);
  const cv::Mat& features = first.at("vision_features");
  ASSERT_EQ(features.dims, 4);
  EXPECT_EQ((std::vector<int>{features.size[0], features.size[1], features.size[2], features.size[3]}),
            (std::vector<int>{1, 8, 2, 2}));
  const auto again = predictor.image_encoder(tensor_of(plain)).at("vision_features");
  EXPECT_EQ(pooled(features), pooled(again));
  EXPECT_NE(pooled(features), pooled(predictor.image_encoder(tensor_of(striped)).at("vision_features")));
  EXPECT_THROW(predictor.image_encoder(cv::Mat(3, 3, CV_32F)), ArgumentError);
}

}  // namespace

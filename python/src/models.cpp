#include "models.hpp"

#include "convert.hpp"

#include <kovra_utils/classical_models.hpp>

#include <pybind11/stl.h>

#include <iostream>
#include <string>
#include <utility>

namespace kovra_python {

using ku::ArgumentError;
using ku::ContentError;

namespace {

// ---- arrays ---------------------------------------------------------------------------------

// A new array holding a copy of `mat`, so a model may keep or change what it is given.
py::array array_copy(const cv::Mat& mat) { return share_mat(mat.clone()); }

// A matrix holding a copy of a model's result (an array or tensor already on the host). A
// 3-axis array is read as N planes (N x 1 x H x W), never as channels.
cv::Mat mat_copy(const py::handle& value, const std::string& what) {
  py::array array = py::array::ensure(value);
  if (!array) {
    PyErr_Clear();
    throw ContentError(what + " must be an array, got " + Py_TYPE(value.ptr())->tp_name);
  }
  if (array.ndim() == 3) {
    array = array.attr("reshape")(array.shape(0), 1, array.shape(1), array.shape(2));
  }
  py::object keep;
  return mat_view(array, keep).clone();
}

py::object adapters() { return py::module_::import("kovra_utils.models"); }

// Taken by every call into a Python model: the library's pending lines go out first, so they
// stay in order with what the model prints, then the GIL is taken.
struct ModelCall {
  ModelCall() { std::cout.flush(); }
  py::gil_scoped_acquire gil;
};

const py::object& object_of(const std::any& value, const char* what) {
  const auto* object = std::any_cast<SharedObject>(&value);
  if (object == nullptr || !*object) {
    throw ArgumentError(std::string(what) + " was not made by a Python detector");
  }
  return **object;
}

// ---- Python models behind the interfaces ----------------------------------------------------

class PythonPredictor : public ku::SegmentationPredictor {
 public:
  explicit PythonPredictor(py::object adapter) : adapter_(share(std::move(adapter))) {}

  void set_image(const cv::Mat& image) override {
    const ModelCall call;
    adapter_->attr("set_image")(array_copy(image));
  }

  ku::Prediction predict(const std::optional<cv::Mat>& point_coords,
                         const std::optional<cv::Mat>& point_labels, const cv::Mat& box,
                         bool multimask_output) override {
    const ModelCall call;
    const py::tuple result = adapter_->attr("predict")(
        array_copy(box), py::arg("point_coords") = optional_array(point_coords),
        py::arg("point_labels") = optional_array(point_labels),
        py::arg("multimask_output") = multimask_output);
    return {mat_copy(result[0], "predicted masks"), mat_copy(result[1], "predicted scores"),
            mat_copy(result[2], "predicted logits")};
  }

  std::map<std::string, cv::Mat> image_encoder(const cv::Mat& tensor) override {
    const ModelCall call;
    const py::object features = adapter_->attr("image_encoder")(array_copy(tensor));
    return {{"vision_features", mat_copy(features, "\"vision_features\" of the image encoder")}};
  }

 private:
  static py::object optional_array(const std::optional<cv::Mat>& mat) {
    return mat ? py::object(array_copy(*mat)) : py::none();
  }

  SharedObject adapter_;
};

class PythonBatch : public ku::DetectorBatch {
 public:
  PythonBatch(SharedObject adapter, SharedObject batch)
      : adapter_(std::move(adapter)), batch_(std::move(batch)) {}

  std::unique_ptr<ku::DetectorBatch> to(const ku::Device&) const override {
    // The adapter holds the caller's own device object; the text form is not needed.
    const ModelCall call;
    return std::make_unique<PythonBatch>(adapter_, share(adapter_->attr("to_device")(*batch_)));
  }

  std::any input_ids() const override {
    const ModelCall call;
    return share(adapter_->attr("input_ids")(*batch_));
  }

  const py::object& batch() const { return *batch_; }

 private:
  SharedObject adapter_;
  SharedObject batch_;
};

class PythonDetector : public ku::DetectionProcessor, public ku::DetectionNetwork {
 public:
  explicit PythonDetector(py::object adapter) : adapter_(share(std::move(adapter))) {}

  // `image` arrives as stored in its file (RGB, or RGBA with alpha), the order the Hugging Face
  // processor normalises for.
  std::unique_ptr<ku::DetectorBatch> operator()(const cv::Mat& image, const std::string& text,
                                                const std::string& return_tensors) override {
    const ModelCall call;
    return std::make_unique<PythonBatch>(
        adapter_, share(adapter_->attr("process")(array_copy(image), text, return_tensors)));
  }

  std::any operator()(const ku::DetectorBatch& inputs) override {
    const auto* batch = dynamic_cast<const PythonBatch*>(&inputs);
    if (batch == nullptr)
      throw ArgumentError("grounding_model: the batch was not made by a Python processor");
    const ModelCall call;
    return share(adapter_->attr("run")(batch->batch()));
  }

  std::vector<ku::DetectionResult> post_process_grounded_object_detection(
      const std::any& outputs, const std::any& input_ids, double text_threshold,
      const std::vector<std::pair<int, int>>& target_sizes) override {
    const ModelCall call;
    py::list sizes;
    for (const auto& [height, width] : target_sizes) sizes.append(py::make_tuple(height, width));
    const py::object results =
        adapter_->attr("post_process")(object_of(outputs, "the detector's outputs"),
                                       object_of(input_ids, "input_ids"), text_threshold, sizes);
    return detection_results(results);
  }

 private:
  SharedObject adapter_;
};

ku::DetectionResult detection_result(const py::handle& host) {
  const auto scores = host["scores"].cast<py::array_t<double, py::array::c_style>>();
  const auto boxes = host["boxes"].cast<py::array_t<double, py::array::c_style>>();
  ku::DetectionResult result;
  result.scores.assign(scores.data(), scores.data() + scores.size());
  result.labels = host["labels"].cast<std::vector<std::string>>();
  result.float32_scores = host["float32_scores"].cast<bool>();
  const double* box = boxes.data();
  for (py::ssize_t i = 0; i < boxes.shape(0); ++i, box += 4) {
    result.boxes.push_back({box[0], box[1], box[2], box[3]});
  }
  return result;
}

// ---- built-in stand-ins, callable like the real models --------------------------------------

cv::Mat box_argument(const py::object& box) {
  if (box.is_none()) return cv::Mat(0, 4, CV_64F);
  py::array values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(box);
  if (!values || values.size() % 4 != 0) {
    PyErr_Clear();
    throw ArgumentError("box must be an N x 4 array of [x1, y1, x2, y2] rows");
  }
  values = values.attr("reshape")(-1, 4);
  py::object keep;
  return mat_view(values, keep).clone();
}

void register_stand_ins(py::module_& module) {
  using ku::BrightBlobDetector;
  using ku::BrightBlobOptions;
  using ku::ThresholdPredictor;

  py::class_<ThresholdPredictor, ku::SegmentationPredictor>(
      module, "ThresholdPredictor",
      "Stand-in segmentation predictor, NOT a trained model: per prompted box, the bright\n"
      "component (gray level above `threshold`) that covers the box best, searched in the box\n"
      "grown by `box_margin` pixels. Called like a SAM2 image predictor.")
      .def(py::init([](double threshold, int min_area, int box_margin) {
             return ThresholdPredictor(BrightBlobOptions{threshold, min_area}, box_margin);
           }),
           py::arg("threshold") = 170.0, py::arg("min_area") = 400, py::arg("box_margin") = 40)
      .def("set_image", &ThresholdPredictor::set_image, py::arg("image"), library_call())
      .def(
          "predict",
          [](ThresholdPredictor& self, const py::object& point_coords,
             const py::object& point_labels, const py::object& box, bool multimask_output) {
            const std::optional<cv::Mat> none;
            if (!point_coords.is_none() || !point_labels.is_none()) {
              throw ArgumentError("the stand-in predictor takes box prompts only");
            }
            const cv::Mat boxes = box_argument(box);
            const ku::Prediction prediction =
                run_library([&] { return self.predict(none, none, boxes, multimask_output); });
            return py::make_tuple(prediction.masks, prediction.scores, prediction.logits);
          },
          py::arg("point_coords") = py::none(), py::arg("point_labels") = py::none(),
          py::arg("box") = py::none(), py::arg("multimask_output") = false);

  py::class_<BrightBlobDetector, ku::DetectionProcessor, ku::DetectionNetwork>(
      module, "BrightBlobDetector",
      "Stand-in detector, NOT a trained model: one box per bright blob (gray level above\n"
      "`threshold`, at least `min_area` pixels). Pass it as both `processor` and\n"
      "`grounding_model`.")
      .def(py::init([](double threshold, int min_area, double box_threshold) {
             return BrightBlobDetector(BrightBlobOptions{threshold, min_area}, box_threshold);
           }),
           py::arg("threshold") = 170.0, py::arg("min_area") = 400,
           py::arg("box_threshold") = 0.25);
}

}  // namespace

SharedObject share(py::object object) {
  return SharedObject(new py::object(std::move(object)), [](py::object* p) {
    py::gil_scoped_acquire gil;
    delete p;
  });
}

PredictorArgument::PredictorArgument(const py::object& image_predictor) {
  if (image_predictor.is_none()) return;
  if (py::isinstance<ku::SegmentationPredictor>(image_predictor)) {
    used_ = &image_predictor.cast<ku::SegmentationPredictor&>();
    return;
  }
  owned_ =
      std::make_unique<PythonPredictor>(adapters().attr("segmentation_adapter")(image_predictor));
  used_ = owned_.get();
}

PredictorArgument::~PredictorArgument() = default;

ku::SegmentationPredictor& PredictorArgument::required(std::string_view function) const {
  if (used_ == nullptr) {
    throw ArgumentError(std::string(function) + ": image_predictor is None");
  }
  return *used_;
}

DetectorArguments::DetectorArguments(const py::object& processor, const py::object& grounding_model,
                                     const py::object& device) {
  const bool builtin_processor = py::isinstance<ku::DetectionProcessor>(processor);
  const bool builtin_network = py::isinstance<ku::DetectionNetwork>(grounding_model);
  if (builtin_processor != builtin_network) {
    throw ArgumentError(
        "processor and grounding_model must both be Python models or both built-in stand-ins");
  }
  if (builtin_processor) {
    processor_ = &processor.cast<ku::DetectionProcessor&>();
    network_ = &grounding_model.cast<ku::DetectionNetwork&>();
    return;
  }
  auto detector = std::make_shared<PythonDetector>(
      adapters().attr("DetectionAdapter")(processor, grounding_model, device));
  processor_ = detector.get();
  network_ = detector.get();
  owned_ = std::move(detector);
}

DetectorArguments::~DetectorArguments() = default;

std::vector<ku::DetectionResult> detection_results(const py::object& gdino_results) {
  std::vector<ku::DetectionResult> results;
  for (const py::handle host : adapters().attr("host_detections")(gdino_results)) {
    results.push_back(detection_result(host));
  }
  return results;
}

ku::DisplayFunc display_function(const py::object& display_func) {
  if (display_func.is_none()) return {};
  if (!PyCallable_Check(display_func.ptr())) {
    throw py::type_error(std::string("display_func must be callable or None, got ") +
                         Py_TYPE(display_func.ptr())->tp_name);
  }
  return python_callback<void, const cv::Mat&>(display_func);
}

void bind_models(py::module_& module) {
  py::class_<ku::SegmentationPredictor>(module, "SegmentationPredictor",
                                        "Base of the built-in segmentation stand-in.");
  py::class_<ku::DetectionProcessor>(module, "DetectionProcessor",
                                     "Base of the built-in detector stand-in.");
  py::class_<ku::DetectionNetwork>(module, "DetectionNetwork",
                                   "Base of the built-in detector stand-in.");
  register_stand_ins(module);
}

}  // namespace kovra_python

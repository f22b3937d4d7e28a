#include "models.hpp"

#include "convert.hpp"

#include <kovra_utils/classical_models.hpp>

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
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

// ---- the video predictor ------------------------------------------------------------------

const py::object& python_state(const std::any& state) {
  const auto* object = std::any_cast<SharedObject>(&state);
  if (object == nullptr || !*object) {
    throw ArgumentError("inference_state was not made by the Python video predictor");
  }
  return **object;
}

// A propagated frame's masks as an array OpenCV can view: N x H x W becomes N x 1 x H x W (never
// channels), booleans are read as bytes.
py::array logit_array(const py::handle& value) {
  py::array array = py::array::ensure(value);
  if (!array) {
    PyErr_Clear();
    throw ContentError(std::string("mask logits must be an array, got ") +
                       Py_TYPE(value.ptr())->tp_name);
  }
  if (array.dtype().kind() == 'b') array = array.attr("view")("uint8");
  if (array.ndim() == 3) {
    array = array.attr("reshape")(array.shape(0), 1, array.shape(1), array.shape(2));
  }
  return array;
}

// The caller's video predictor behind the library's interface, through a
// kovra_utils.models.VideoPredictorAdapter.
class PythonVideoPredictor : public ku::VideoPredictor {
 public:
  explicit PythonVideoPredictor(py::object adapter) : adapter_(share(std::move(adapter))) {}

  std::any init_state(const std::string& video_path) override {
    const ModelCall call;
    return share(adapter_->attr("init_state")(video_path));
  }

  void add_new_mask(std::any& inference_state, std::int64_t frame_idx, std::int64_t obj_id,
                    const ku::Mask& mask) override {
    const ModelCall call;
    adapter_->attr("add_new_mask")(python_state(inference_state), frame_idx, obj_id,
                                   dense_array(mask).attr("astype")("bool"));
  }

  void propagate_in_video(std::any& inference_state, const FrameCallback& callback) override {
    const ModelCall call;
    const py::iterator frames =
        py::iter(adapter_->attr("propagate_in_video")(python_state(inference_state)));
    for (const py::handle item : frames) {
      const auto frame = py::reinterpret_borrow<py::tuple>(item);
      const auto frame_idx = frame[0].cast<std::int64_t>();
      const auto obj_ids = frame[1].cast<std::vector<std::int64_t>>();
      const py::array logits = logit_array(frame[2]);
      py::object keep;
      const cv::Mat view = mat_view(logits, keep);
      const py::gil_scoped_release release;
      callback(frame_idx, obj_ids, view);
    }
  }

  void reset_state(std::any& inference_state) override {
    const ModelCall call;
    adapter_->attr("reset_state")(python_state(inference_state));
  }

 private:
  SharedObject adapter_;
};

// `video_predictor` as the library's interface: a built-in stand-in directly, any other object
// through the adapter. Call with the GIL held and keep the object alive while the library runs.
class VideoPredictorArgument {
 public:
  explicit VideoPredictorArgument(const py::object& video_predictor) {
    if (py::isinstance<ku::VideoPredictor>(video_predictor)) {
      used_ = &video_predictor.cast<ku::VideoPredictor&>();
      return;
    }
    owned_ = std::make_unique<PythonVideoPredictor>(
        adapters().attr("video_predictor_adapter")(video_predictor));
    used_ = owned_.get();
  }
  ku::VideoPredictor& get() const { return *used_; }

 private:
  std::unique_ptr<ku::VideoPredictor> owned_;
  ku::VideoPredictor* used_ = nullptr;
};

// The image predictor of a BoxPropagationTracker, held before the tracker is built on it.
struct TrackerImagePredictor {
  explicit TrackerImagePredictor(const py::object& image_predictor) :
      argument(image_predictor), object(image_predictor) {}
  PredictorArgument argument;
  py::object object;  // keeps a built-in predictor alive
};

class PythonBoxPropagationTracker : private TrackerImagePredictor,
                                    public ku::BoxPropagationTracker {
 public:
  explicit PythonBoxPropagationTracker(const py::object& image_predictor) :
      TrackerImagePredictor(image_predictor),
      ku::BoxPropagationTracker(argument.required("BoxPropagationTracker")) {}
};

void register_video_tracking(py::module_& module) {
  py::class_<ku::VideoPredictor>(module, "VideoPredictor",
                                 "Base of the built-in video predictor stand-in.");
  py::class_<PythonBoxPropagationTracker, ku::VideoPredictor>(
      module, "BoxPropagationTracker",
      "Stand-in video predictor, NOT a trained model: on every frame after the prompted one,\n"
      "each object's mask is image_predictor's answer to the object's box on the frame before.\n"
      "Frames are the folder's JPEG files ordered by the number their names hold. Pass it to\n"
      "track_clip like a SAM2 video predictor.")
      .def(py::init<const py::object&>(), py::arg("image_predictor"));

  module.def(
      "track_clip",
      [](const py::object& video_predictor, const std::filesystem::path& video_dir,
         const std::vector<ku::Mask>& masks, std::int64_t ann_frame_idx) {
        const VideoPredictorArgument predictor(video_predictor);
        return run_library([&] {
          return ku::track_clip(predictor.get(), video_dir.string(), masks, ann_frame_idx);
        });
      },
      py::arg("video_predictor"), py::arg("video_dir"), py::arg("masks"),
      py::arg("ann_frame_idx") = 0,
      R"(Tracks masks through the clip of JPEG frames in video_dir with a video predictor (a SAM2
video predictor, taken unchanged, or BoxPropagationTracker): object ids 1 .. N for the masks in
order, prompted on frame ann_frame_idx, propagated, then the state is reset. Returns
{frame_idx: {obj_id: Mask}} with a pixel set where its logit is above 0. Exceptions raised by
the model reach the caller unchanged.)");
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
  register_video_tracking(module);
}

}  // namespace kovra_python

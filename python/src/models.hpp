#pragma once

// The caller's Python models behind the library's model interfaces.
//
// A model argument is either one of the library's built-in stand-ins (used directly) or any
// Python object with the real model's calls, reached through kovra_utils.models' adapters with
// the GIL taken for each call. A Python exception raised by a model travels through the
// library's C++ frames as pybind11::error_already_set and is raised again unchanged.

#include <kovra_utils/models.hpp>
#include <kovra_utils/visual.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string_view>
#include <vector>

namespace kovra_python {

namespace py = pybind11;

/// A Python object that C++ code may copy and destroy without holding the GIL.
using SharedObject = std::shared_ptr<py::object>;
/// Takes a reference to `object`; call with the GIL held.
SharedObject share(py::object object);

/// `image_predictor` as the library's interface. None gives a null pointer (the matcher
/// accepts one); call with the GIL held and keep the object alive while the library runs.
class PredictorArgument {
 public:
  explicit PredictorArgument(const py::object& image_predictor);
  ~PredictorArgument();
  kovra_utils::SegmentationPredictor* get() const { return used_; }
  /// The predictor, which must not be None (ArgumentError naming `function` otherwise).
  kovra_utils::SegmentationPredictor& required(std::string_view function) const;

 private:
  std::unique_ptr<kovra_utils::SegmentationPredictor> owned_;
  kovra_utils::SegmentationPredictor* used_ = nullptr;
};

/// The detector's processor and network as the library's interfaces: built-in stand-ins are
/// used directly; Python objects go through one kovra_utils.models.DetectionAdapter, which
/// hands `device` to the batch's `to` unchanged.
class DetectorArguments {
 public:
  DetectorArguments(const py::object& processor, const py::object& grounding_model,
                    const py::object& device);
  ~DetectorArguments();
  kovra_utils::DetectionProcessor& processor() const { return *processor_; }
  kovra_utils::DetectionNetwork& network() const { return *network_; }

 private:
  std::shared_ptr<void> owned_;
  kovra_utils::DetectionProcessor* processor_ = nullptr;
  kovra_utils::DetectionNetwork* network_ = nullptr;
};

/// Post-processed detector results (dicts of host or device arrays and label lists, one per
/// image) as the library's detection results.
std::vector<kovra_utils::DetectionResult> detection_results(const py::object& gdino_results);

/// `display_func` as the library's callback: empty for None, otherwise a call of the Python
/// callable with the image as an array, the GIL taken for it. Raises TypeError for an object
/// that is not callable.
kovra_utils::DisplayFunc display_function(const py::object& display_func);

}  // namespace kovra_python

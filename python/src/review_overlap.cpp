// kovra_utils/review.hpp, the model-driven part: process_overlap_frames.

#include "convert.hpp"
#include "models.hpp"

#include <kovra_utils/review.hpp>

namespace kovra_python {

namespace {

py::tuple process_overlap_frames(const ku::Table& overlap_frames_dataframe,
                                 const ku::ClipData& kovra_annotation_data,
                                 const py::object& image_predictor, std::int64_t n_consecutive) {
  const PredictorArgument predictor(image_predictor);
  ku::OverlapResolution result = run_library([&] {
    return ku::process_overlap_frames(overlap_frames_dataframe, kovra_annotation_data,
                                      predictor.required("process_overlap_frames"), n_consecutive);
  });
  return py::make_tuple(result.test_frame, result.most_frequent_box, result.con_frames_dict,
                        result.worst_boxes);
}

}  // namespace

void bind_review_overlap(py::module_& module) {
  module.def("process_overlap_frames", &process_overlap_frames, py::arg("overlap_frames_dataframe"),
             py::arg("kovra_annotation_data"), py::arg("image_predictor"),
             py::arg("n_consecutive") = 2,
             "(test_frame, most_frequent_box, con_frames_dict, worst_boxes): the box most likely\n"
             "to carry an identity error around the overlap runs of the report's first table,\n"
             "comparing masks and image_predictor's appearance features (a SAM2 image predictor)\n"
             "on up to five frames before the overlap with the frame just past it. test_frame and\n"
             "most_frequent_box are None when no frame could be compared.");
}

}  // namespace kovra_python

// kovra_utils/review.hpp: the tracking question report and consecutive-frame runs
// (process_overlap_frames, which needs a model, is bound in review_overlap.cpp).

#include "convert.hpp"

#include <kovra_utils/review.hpp>

namespace kovra_python {

namespace {

// The zero-area rows as the list of dicts scripts receive: the cells a row uses, column order.
py::list table_records(const ku::Table& table) {
  py::list records;
  for (std::size_t r = 0; r < table.row_count(); ++r) {
    py::dict record;
    for (std::size_t c = 0; c < table.columns().size(); ++c) {
      const ku::Value& cell = table.at(r, c);
      if (!std::holds_alternative<std::monostate>(cell)) record[py::str(table.columns()[c])] = py::cast(cell);
    }
    records.append(record);
  }
  return records;
}

}  // namespace

void bind_review(py::module_& module) {
  module.def("tracking_report_columns", &ku::tracking_report_columns,
             "The eight report columns, in file order.");

  module.def(
      "generate_tracking_report",
      [](const ku::ClipData& kovra_annotation_data, const std::string& save_dir_base, double intersection_thrr) {
        ku::TrackingReport report = run_library([&] {
          return ku::generate_tracking_report(kovra_annotation_data, save_dir_base, intersection_thrr);
        });
        return py::make_tuple(py::cast(std::move(report.overlap_frames_data)),
                              table_records(report.zero_area_frames), report.overlap_frames,
                              py::cast(std::move(report.box_keys_df)));
      },
      py::arg("kovra_annotation_data"), py::arg("save_dir_base"), py::arg("intersection_thrr") = 80,
      R"((overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df): writes
save_dir_base/tracking_question_report.csv. zero_area_frames is a list of row dicts.)");

  module.def(
      "find_continuous_frames",
      [](const ku::Table& frames_df, const std::string& group_by, std::int64_t n_consecutive) {
        return run_library([&] { return ku::find_continuous_frames(frames_df, group_by, n_consecutive); });
      },
      py::arg("frames_df"), py::arg("group_by") = "Box ID", py::arg("n_consecutive") = 3,
      "Group value -> runs of consecutive frame numbers of at least n_consecutive frames.");
}

}  // namespace kovra_python

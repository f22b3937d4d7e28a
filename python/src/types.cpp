// kovra_utils/types.hpp: Mask, the table classes and the shared helpers.

#include "convert.hpp"

#include <kovra_utils/config.hpp>
#include <kovra_utils/types.hpp>

#include <string>
#include <vector>

namespace kovra_python {

namespace {

py::tuple rect_tuple(const cv::Rect& rect) {
  return py::make_tuple(rect.x, rect.y, rect.width, rect.height);
}

void bind_mask(py::module_& module) {
  py::class_<ku::Mask>(module, "Mask", R"(A binary mask over a frame, stored as the tight bounding
rectangle of its set pixels and a 0/1 crop of it. Behaves like the H x W uint8 0/1 array it stands
for: np.asarray(mask), numpy functions and comparisons, shape, dtype, sum(), any().)")
      .def(py::init(&mask_from_array), py::arg("array"),
           "From an H x W or 1 x H x W array (or nested list) of bool, integer or floating values\n"
           "(non-zero = set, NaN included), or a torch tensor on any device.")
      .def_static(
          "from_crop",
          [](std::pair<int, int> shape, std::pair<int, int> origin, const cv::Mat& crop) {
            return ku::Mask::from_crop(cv::Size(shape.second, shape.first),
                                       cv::Point(origin.first, origin.second), crop);
          },
          py::arg("shape"), py::arg("origin"), py::arg("crop"),
          "A mask of `shape` (height, width) holding `crop` with its top-left pixel at `origin` (x, y).")
      .def_static(
          "zeros", [](int height, int width) { return ku::Mask(cv::Size(width, height)); },
          py::arg("height"), py::arg("width"), "An all-clear mask.")
      .def_property_readonly("shape", [](const ku::Mask& m) { return py::make_tuple(m.rows(), m.cols()); })
      .def_property_readonly("dtype", [](const ku::Mask&) { return py::dtype::of<std::uint8_t>(); })
      .def_property_readonly("ndim", [](const ku::Mask&) { return 2; })
      .def_property_readonly("size", [](const ku::Mask& m) {
        return static_cast<std::int64_t>(m.rows()) * m.cols();
      })
      .def_property_readonly("area", &ku::Mask::area, "Number of set pixels.")
      .def_property_readonly("bounds", [](const ku::Mask& m) { return rect_tuple(m.bounds()); },
                             "Tight bounding rectangle (x, y, width, height); (0, 0, 0, 0) when clear.")
      .def_property_readonly(
          "crop",
          [](py::object self) {
            return share_mat(self.cast<const ku::Mask&>().crop(), false, self);
          },
          "Read-only uint8 0/1 view of the bounds, sharing the mask's buffer.")
      .def_property_readonly("box", &ku::Mask::box,
                             "Inclusive [x_min, y_min, x_max, y_max]; [0, 0, 0, 0] when clear.")
      .def_property_readonly("centroid", &ku::Mask::centroid,
                             "Mean (x, y) of the set pixels; None when clear.")
      .def("is_clear", &ku::Mask::is_clear)
      .def("at", &ku::Mask::at, py::arg("row"), py::arg("col"))
      .def("intersection", &ku::Mask::intersection, py::arg("other"))
      .def("dense", &dense_array, "The mask as a new H x W uint8 0/1 array.")
      .def(
          "__array__",
          [](const ku::Mask& m, py::object dtype, py::object) {
            py::array dense = dense_array(m);
            return dtype.is_none() ? dense : py::array(dense.attr("astype")(dtype));
          },
          py::arg("dtype") = py::none(), py::arg("copy") = py::none())
      .def("__repr__",
           [](const ku::Mask& m) {
             return "Mask(shape=(" + std::to_string(m.rows()) + ", " + std::to_string(m.cols()) +
                    "), area=" + std::to_string(m.area()) + ")";
           })
      .def(py::pickle(
          [](const ku::Mask& m) {
            const cv::Rect& b = m.bounds();
            return py::make_tuple(m.rows(), m.cols(), b.x, b.y, share_mat(m.crop().clone()));
          },
          [](const py::tuple& state) {
            if (state.size() != 5) throw ku::ArgumentError("Mask state must have 5 entries");
            py::object keep;
            const cv::Mat crop = mat_view(state[4].cast<py::array>(), keep);
            return ku::Mask::from_crop(cv::Size(state[1].cast<int>(), state[0].cast<int>()),
                                       cv::Point(state[2].cast<int>(), state[3].cast<int>()), crop);
          }));
}

// Column `col` of `table` as (kind, values): "int" and "float" columns as numpy arrays (absent
// floats as NaN), "int?" (integers with absent cells), "text" and "mixed" as lists with None.
py::tuple column_data(const ku::Table& table, std::size_t col) {
  bool has_int = false, has_double = false, has_text = false, has_absent = false;
  for (std::size_t r = 0; r < table.row_count(); ++r) {
    const ku::Value& v = table.at(r, col);
    has_absent |= std::holds_alternative<std::monostate>(v);
    has_int |= std::holds_alternative<std::int64_t>(v);
    has_double |= std::holds_alternative<double>(v);
    has_text |= std::holds_alternative<std::string>(v);
  }
  const auto rows = static_cast<py::ssize_t>(table.row_count());
  if (has_int && !has_double && !has_text && !has_absent) {
    py::array_t<std::int64_t> values(rows);
    for (py::ssize_t r = 0; r < rows; ++r) values.mutable_at(r) = std::get<std::int64_t>(table.at(r, col));
    return py::make_tuple("int", values);
  }
  if (has_double && !has_int && !has_text) {
    py::array_t<double> values(rows);
    for (py::ssize_t r = 0; r < rows; ++r) {
      const ku::Value& v = table.at(r, col);
      values.mutable_at(r) = std::holds_alternative<double>(v) ? std::get<double>(v) : NAN;
    }
    return py::make_tuple("float", values);
  }
  py::list values;
  for (std::size_t r = 0; r < table.row_count(); ++r) values.append(py::cast(table.at(r, col)));
  const char* kind = has_int && !has_double && !has_text ? "int?" : has_text && !has_int && !has_double ? "text" : "mixed";
  return py::make_tuple(kind, values);
}

py::list table_rows(const ku::Table& table) {
  py::list rows;
  for (std::size_t r = 0; r < table.row_count(); ++r) rows.append(py::cast(table.row(r)));
  return rows;
}

void bind_tables(py::module_& module) {
  py::class_<TableHandle>(module, "Table", R"(A library table kept as it is; to_pandas() gives the
DataFrame. Functions hand tables out as DataFrames when pandas is installed.)")
      .def(py::init([](py::handle frame) { return TableHandle{table_from_python(frame)}; }),
           py::arg("frame"), "From a pandas DataFrame.")
      .def_property_readonly("columns", [](const TableHandle& t) { return t.table.columns(); })
      .def_property_readonly("index", [](const TableHandle& t) { return t.table.labels(); })
      .def("__len__", [](const TableHandle& t) { return t.table.row_count(); })
      .def("rows", [](const TableHandle& t) { return table_rows(t.table); },
           "The cells, one list per row; absent cells are None.")
      .def("_column_data",
           [](const TableHandle& t) {
             py::list columns;
             for (std::size_t c = 0; c < t.table.columns().size(); ++c) columns.append(column_data(t.table, c));
             return columns;
           })
      .def("to_pandas", [](py::object self) {
        return py::module_::import("kovra_utils._types").attr("table_frame")(self);
      })
      .def("to_csv", [](const TableHandle& t) { return t.table.to_csv(); })
      .def("write_csv", [](const TableHandle& t, const std::filesystem::path& path) { t.table.write_csv(path); },
           py::arg("path"))
      .def(py::pickle(
          [](const TableHandle& t) {
            return py::make_tuple(t.table.columns(), t.table.labels(), table_rows(t.table));
          },
          [](const py::tuple& state) {
            if (state.size() != 3) throw ku::ArgumentError("Table state must have 3 entries");
            TableHandle handle{ku::Table(state[0].cast<std::vector<std::string>>())};
            const auto labels = state[1].cast<std::vector<std::int64_t>>();
            const auto rows = state[2].cast<std::vector<std::vector<ku::Value>>>();
            for (std::size_t r = 0; r < rows.size(); ++r) handle.table.append_row(rows[r], labels.at(r));
            return handle;
          }));

  py::class_<IntersectionTableHandle>(module, "IntersectionTable", R"(Square table of pairwise
overlap percentages labelled by box keys, kept as it is; to_pandas() gives the DataFrame.)")
      .def(py::init([](py::handle frame) { return IntersectionTableHandle{intersection_table_from_python(frame)}; }),
           py::arg("frame"), "From a square pandas DataFrame labelled by box keys.")
      .def_property_readonly("keys", [](const IntersectionTableHandle& t) { return t.table.keys(); })
      .def_property_readonly("values",
                             [](const IntersectionTableHandle& t) {
                               const auto n = static_cast<py::ssize_t>(t.table.size());
                               py::array_t<double> values({n, n});
                               std::copy(t.table.values().begin(), t.table.values().end(), values.mutable_data());
                               return values;
                             })
      .def("__len__", [](const IntersectionTableHandle& t) { return t.table.size(); })
      .def("at",
           [](const IntersectionTableHandle& t, const std::string& row_key, const std::string& col_key) {
             return t.table.at(row_key, col_key);
           },
           py::arg("row_key"), py::arg("col_key"))
      .def("max", [](const IntersectionTableHandle& t) { return t.table.max(); })
      .def("to_pandas", [](py::object self) {
        return py::module_::import("kovra_utils._types").attr("intersection_frame")(self);
      })
      .def("to_table", [](const IntersectionTableHandle& t) { return TableHandle{t.table.to_table()}; })
      .def(py::pickle(
          [](py::object self) {
            return py::make_tuple(self.attr("keys"), self.attr("values"));
          },
          [](const py::tuple& state) {
            if (state.size() != 2) throw ku::ArgumentError("IntersectionTable state must have 2 entries");
            return IntersectionTableHandle{
                intersection_table_from_parts(state[0].cast<std::vector<std::string>>(), state[1])};
          }));
}

}  // namespace

void bind_types(py::module_& module) {
  bind_mask(module);
  bind_tables(module);
  module.attr("PEN_JSON_DIR") = ku::PEN_JSON_DIR;
  module.attr("DEFAULT_FRAMES_DIR") = ku::DEFAULT_FRAMES_DIR;
  module.attr("DEFAULT_TRACKER_OUTPUT_DIR") = ku::DEFAULT_TRACKER_OUTPUT_DIR;
  module.def("overlap_count", &ku::overlap_count, py::arg("a"), py::arg("b"),
             "Number of pixels set in both masks.");
  module.def("require_same_size", &ku::require_same_size, py::arg("a"), py::arg("b"), py::arg("what"));
  module.def(
      "write_file_atomically",
      [](const std::filesystem::path& path, const std::string& content) {
        ku::write_file_atomically(path, content);
      },
      py::arg("path"), py::arg("content"), library_call(),
      "Writes `content` through a temporary file in the same folder, renamed over `path`.");
}

}  // namespace kovra_python

#include "convert.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace kovra_python {

namespace {

std::string shape_text(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    if (axis > 0) text += ", ";
    text += std::to_string(array.shape(axis));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

std::string dtype_text(const py::array& array) { return py::str(array.dtype()).cast<std::string>(); }

// OpenCV depth of a numpy element type; -1 when OpenCV has none.
int cv_depth(const py::dtype& dtype) {
  const char kind = dtype.kind();
  const auto size = dtype.itemsize();
  if (kind == 'b') return CV_8U;
  if (kind == 'u') return size == 1 ? CV_8U : size == 2 ? CV_16U : -1;
  if (kind == 'i') return size == 1 ? CV_8S : size == 2 ? CV_16S : size == 4 ? CV_32S : -1;
  if (kind == 'f') return size == 2 ? CV_16F : size == 4 ? CV_32F : size == 8 ? CV_64F : -1;
  return -1;
}

py::dtype numpy_dtype(int depth) {
  switch (depth) {
    case CV_8U: return py::dtype::of<std::uint8_t>();
    case CV_8S: return py::dtype::of<std::int8_t>();
    case CV_16U: return py::dtype::of<std::uint16_t>();
    case CV_16S: return py::dtype::of<std::int16_t>();
    case CV_32S: return py::dtype::of<std::int32_t>();
    case CV_32F: return py::dtype::of<float>();
    case CV_64F: return py::dtype::of<double>();
    case CV_16F: return py::dtype("float16");
    default: throw std::logic_error("matrix depth " + std::to_string(depth) + " has no numpy type");
  }
}

// Whether OpenCV can address the array where it lies: the innermost axis (and for H x W x C the
// channel axis) packed, rows that do not overlap (views made with as_strided may), every stride
// a multiple of the element size.
bool opencv_addressable(const py::array& array) {
  const auto item = array.itemsize();
  const auto rank = array.ndim();
  if (rank < 2 || rank > 3) return array.flags() & py::array::c_style;
  if (array.strides(rank - 1) != item) return false;
  if (rank == 3 && array.strides(1) != item * array.shape(2)) return false;
  const auto row = array.strides(0);
  const auto row_bytes = item * array.shape(1) * (rank == 3 ? array.shape(2) : 1);
  return row >= row_bytes && row % item == 0;
}

void make_read_only(py::array& array) {
  py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
}

}  // namespace

cv::Mat mat_view(const py::array& array, py::object& keep) {
  const int depth = cv_depth(array.dtype());
  if (depth < 0) {
    throw ku::ArgumentError("arrays of " + dtype_text(array) +
                            " have no image type; expected bool, 8/16/32-bit integers or floats");
  }
  py::array source = array;
  if (array.size() > 0 && !opencv_addressable(array)) {
    source = py::array::ensure(array, py::array::c_style);
  }
  keep = source;
  void* data = const_cast<void*>(source.data());
  const auto rank = source.ndim();
  if (rank == 0) throw ku::ArgumentError("expected an array, got a scalar");
  if (rank == 1) return cv::Mat(1, static_cast<int>(source.shape(0)), depth, data);
  if (source.size() == 0) {
    std::vector<int> sizes(source.shape(), source.shape() + rank);
    return cv::Mat(static_cast<int>(rank), sizes.data(), depth);
  }
  const int rows = static_cast<int>(source.shape(0));
  const int cols = static_cast<int>(source.shape(1));
  if (rank == 2) return cv::Mat(rows, cols, depth, data, static_cast<std::size_t>(source.strides(0)));
  if (rank == 3 && source.shape(2) <= CV_CN_MAX) {
    return cv::Mat(rows, cols, CV_MAKETYPE(depth, static_cast<int>(source.shape(2))), data,
                   static_cast<std::size_t>(source.strides(0)));
  }
  std::vector<int> sizes(source.shape(), source.shape() + rank);
  std::vector<std::size_t> steps(source.strides(), source.strides() + rank - 1);
  return cv::Mat(static_cast<int>(rank), sizes.data(), depth, data, steps.data());
}

py::array share_mat(const cv::Mat& mat, bool writeable, py::handle base) {
  std::vector<py::ssize_t> shape;
  std::vector<py::ssize_t> strides;
  for (int axis = 0; axis < mat.dims; ++axis) {
    shape.push_back(mat.size[axis]);
    strides.push_back(static_cast<py::ssize_t>(mat.step[axis]));
  }
  if (mat.channels() > 1) {
    shape.push_back(mat.channels());
    strides.push_back(static_cast<py::ssize_t>(mat.elemSize1()));
  }
  if (mat.empty() && mat.dims == 0) shape = {0, 0}, strides = {0, 0};
  const py::dtype dtype = numpy_dtype(mat.depth());
  py::array array;
  if (mat.data == nullptr) {
    array = py::array(dtype, shape);
  } else if (base) {
    array = py::array(dtype, shape, strides, mat.data, base);
  } else {
    auto* owner = new cv::Mat(mat);
    py::capsule capsule(owner, [](void* p) { delete static_cast<cv::Mat*>(p); });
    array = py::array(dtype, shape, strides, mat.data, capsule);
  }
  if (!writeable) make_read_only(array);
  return array;
}

// ---- Standard output ------------------------------------------------------------------------

namespace {

// std::cout's buffer for the life of the process: forwards to the calling thread's target, or
// to the original buffer when the thread is not inside a library call.
class RoutedBuffer : public std::streambuf {
 public:
  explicit RoutedBuffer(std::streambuf* fallback) : fallback_(fallback) {}
  static std::streambuf* exchange_target(std::streambuf* target) { return std::exchange(target_, target); }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return current()->pubsync() == 0 ? 0 : c;
    return current()->sputc(traits_type::to_char_type(c));
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    return current()->sputn(text, count);
  }
  int sync() override { return current()->pubsync(); }

 private:
  std::streambuf* current() const { return target_ != nullptr ? target_ : fallback_; }
  std::streambuf* fallback_;
  static thread_local std::streambuf* target_;
};

thread_local std::streambuf* RoutedBuffer::target_ = nullptr;

}  // namespace

void route_stdout() {
  // Never destroyed: std::cout may be flushed after this module's statics are gone.
  static auto* routed = new RoutedBuffer(std::cout.rdbuf());
  std::cout.rdbuf(routed);
}

namespace {

std::atomic<bool> quiet_output{false};

// Swallows everything written to it.
class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

void set_quiet(bool quiet) { quiet_output = quiet; }
bool is_quiet() { return quiet_output; }

StdoutToPython::StdoutToPython() {
  if (quiet_output) {
    buffer_ = std::make_unique<NullBuffer>();
    previous_ = RoutedBuffer::exchange_target(buffer_.get());
    return;
  }
  const py::object stdout_ = py::module_::import("sys").attr("stdout");
  if (stdout_.is_none()) return;  // no sys.stdout (pythonw): the lines go where they always go
  buffer_ = std::make_unique<py::detail::pythonbuf>(stdout_);
  previous_ = RoutedBuffer::exchange_target(buffer_.get());
}

StdoutToPython::~StdoutToPython() {
  if (!buffer_) return;
  buffer_->pubsync();
  RoutedBuffer::exchange_target(previous_);
}

SignalCheck::SignalCheck()
    : check_([last = std::chrono::steady_clock::now()]() mutable {
        const auto now = std::chrono::steady_clock::now();
        if (now - last < std::chrono::milliseconds(50)) return;
        last = now;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      }) {}

std::string describe(py::handle value) {
  return py::module_::import("kovra_utils._arguments").attr("describe")(value).cast<std::string>();
}

namespace {

bool is_tensor(py::handle object) {
  const py::object module = py::type::handle_of(object).attr("__module__");
  return py::isinstance<py::str>(module) && module.cast<std::string>().rfind("torch", 0) == 0 &&
         py::hasattr(object, "detach");
}

[[noreturn]] void refuse_mask(py::handle object, const char* what) {
  throw ku::ArgumentError(std::string(what) +
                          " must be an H x W or 1 x H x W array of bool, integers or floats (or a "
                          "torch tensor), got " + describe(object));
}

}  // namespace

ku::Mask mask_from_python(py::handle object, const char* what) {
  if (py::isinstance<ku::Mask>(object)) return object.cast<const ku::Mask&>();
  const py::module_ numpy = py::module_::import("numpy");
  // Exceptions raised by the object itself (its __array__, a device copy) propagate as they are.
  py::object host = is_tensor(object)
                        ? py::module_::import("kovra_utils.models").attr("to_host")(object)
                        : py::reinterpret_borrow<py::object>(object);
  py::array array = numpy.attr("asarray")(host);
  const char kind = array.dtype().kind();
  if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f') refuse_mask(object, what);
  if (array.ndim() == 3 && array.shape(0) == 1) array = array[py::int_(0)];
  if (array.ndim() != 2) refuse_mask(object, what);
  if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX) {
    throw ku::ArgumentError(std::string(what) + " is too large: sides of at most " +
                            std::to_string(INT_MAX) + " pixels, got " + shape_text(array));
  }
  // uint8 and bool are read where they lie; other types (NaN is set) become a 0/1 byte copy.
  if (kind != 'b' && !(kind == 'u' && array.itemsize() == 1)) {
    array = py::array(array.attr("__ne__")(0));
  }
  if (array.size() > 0 && !opencv_addressable(array)) {
    array = numpy.attr("ascontiguousarray")(array);
  }
  py::object keep;
  return ku::Mask::from_dense(mat_view(array, keep));
}

ku::Mask mask_from_array(py::handle object) { return mask_from_python(object, "mask"); }

py::array dense_array(const ku::Mask& mask) {
  py::array_t<std::uint8_t> array({static_cast<py::ssize_t>(mask.rows()),
                                   static_cast<py::ssize_t>(mask.cols())});
  auto* data = array.mutable_data();
  std::memset(data, 0, static_cast<std::size_t>(array.size()));
  const cv::Rect& bounds = mask.bounds();
  for (int row = 0; row < bounds.height; ++row) {
    std::memcpy(data + static_cast<std::size_t>(bounds.y + row) * mask.cols() + bounds.x,
                mask.crop().ptr(row), static_cast<std::size_t>(bounds.width));
  }
  return array;
}

py::object mask_like(const ku::Mask& mask, py::handle original) {
  if (!py::isinstance<py::array>(original)) return py::cast(mask);
  const auto source = py::reinterpret_borrow<py::array>(original);
  py::array dense = dense_array(mask);
  if (source.size() != dense.size()) return py::cast(mask);
  return dense.attr("reshape")(source.attr("shape")).attr("astype")(source.dtype(), py::arg("copy") = false);
}

// ---- Tables ---------------------------------------------------------------------------------

namespace {

py::object types_module() { return py::module_::import("kovra_utils._types"); }

ku::Value value_from_python(py::handle cell) {
  if (cell.is_none()) return std::monostate{};
  if (py::isinstance<py::str>(cell)) return cell.cast<std::string>();
  if (py::isinstance<py::bool_>(cell)) return static_cast<std::int64_t>(cell.cast<bool>());
  if (py::isinstance<py::int_>(cell)) return cell.cast<std::int64_t>();
  if (py::isinstance<py::float_>(cell)) return cell.cast<double>();
  throw ku::ArgumentError(std::string("table cells must be None, int, float or str, got ") +
                          Py_TYPE(cell.ptr())->tp_name);
}

}  // namespace

py::object table_result(ku::Table table) {
  return types_module().attr("table_result")(py::cast(TableHandle{std::move(table)}));
}

py::object intersection_table_result(ku::IntersectionTable table) {
  return types_module().attr("table_result")(py::cast(IntersectionTableHandle{std::move(table)}));
}

ku::Table table_from_python(py::handle object) {
  if (py::isinstance<TableHandle>(object)) return object.cast<const TableHandle&>().table;
  // A DataFrame: the Python side hands over plain columns, labels and cells.
  const py::tuple parts = types_module().attr("table_parts")(object);
  ku::Table table(parts[0].cast<std::vector<std::string>>());
  const auto labels = parts[1].cast<std::vector<std::int64_t>>();
  const py::list rows = parts[2];
  for (std::size_t r = 0; r < labels.size(); ++r) {
    std::vector<ku::Value> cells;
    for (py::handle cell : rows[r]) cells.push_back(value_from_python(cell));
    table.append_row(std::move(cells), labels[r]);
  }
  return table;
}

ku::IntersectionTable intersection_table_from_python(py::handle object) {
  if (py::isinstance<IntersectionTableHandle>(object)) {
    return object.cast<const IntersectionTableHandle&>().table;
  }
  const py::tuple parts = types_module().attr("intersection_parts")(object);
  return intersection_table_from_parts(parts[0].cast<std::vector<std::string>>(), parts[1]);
}

ku::IntersectionTable intersection_table_from_parts(const std::vector<std::string>& keys,
                                                   py::handle cells) {
  const auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(cells);
  if (!values || values.ndim() != 2 || values.shape(0) != static_cast<py::ssize_t>(keys.size()) ||
      values.shape(1) != static_cast<py::ssize_t>(keys.size())) {
    throw ku::ArgumentError("an intersection table must be square with one column per key, got " +
                            std::to_string(keys.size()) + " keys");
  }
  ku::IntersectionTable table(keys);
  for (std::size_t r = 0; r < keys.size(); ++r) {
    for (std::size_t c = 0; c < keys.size(); ++c) {
      table.set(r, c, values.at(static_cast<py::ssize_t>(r), static_cast<py::ssize_t>(c)));
    }
  }
  return table;
}

// ---- Frame records --------------------------------------------------------------------------

py::object record_to_python(const ku::FrameRecord& record) {
  py::object intersections = py::none();
  if (record.intersections_df) intersections = py::cast(IntersectionTableHandle{*record.intersections_df});
  return types_module().attr("FrameRecord")(
      py::arg("frame_index") = record.frame_index, py::arg("masks_dict") = record.masks_dict,
      py::arg("mask_areas") = record.mask_areas, py::arg("json_path") = record.json_path,
      py::arg("image_path") = record.image_path, py::arg("intersections_df") = intersections);
}

ku::FrameRecord record_from_python(py::handle object) {
  const py::tuple fields = types_module().attr("record_parts")(object);
  ku::FrameRecord record;
  record.frame_index = fields[0].cast<std::int64_t>();
  record.masks_dict = fields[1].cast<ku::MasksDict>();
  record.mask_areas = fields[2].cast<ku::MaskAreas>();
  record.json_path = fields[3].cast<std::string>();
  record.image_path = fields[4].cast<std::string>();
  if (!fields[5].is_none()) record.intersections_df = intersection_table_from_python(fields[5]);
  return record;
}

// ---- Errors ---------------------------------------------------------------------------------

void register_errors(py::module_& module) {
  const py::module_ types = py::module_::import("kovra_utils._errors");
  for (const char* name : {"Error", "FileError", "ContentError", "ArgumentError", "OutOfRangeError"}) {
    module.attr(name) = types.attr(name);
  }
  py::register_exception_translator([](std::exception_ptr error) {
    if (!error) return;
    const auto raise = [](const char* name, const std::exception& e) {
      const py::object type = py::module_::import("kovra_utils._errors").attr(name);
      PyErr_SetString(type.ptr(), e.what());
    };
    try {
      std::rethrow_exception(error);
    } catch (const ku::FileError& e) {
      raise("FileError", e);
    } catch (const ku::ContentError& e) {
      raise("ContentError", e);
    } catch (const ku::ArgumentError& e) {
      raise("ArgumentError", e);
    } catch (const ku::Error& e) {
      raise("Error", e);
    } catch (const std::out_of_range& e) {
      raise("OutOfRangeError", e);
    } catch (const cv::Exception& e) {
      if (e.code != cv::Error::StsNoMem) throw;
      PyErr_SetString(PyExc_MemoryError, e.what());
    }
  });
}

namespace {

// The image as PNG bytes, for inline display: RGB(A) in, OpenCV's BGR(A) order in the file.
py::bytes png_bytes(const cv::Mat& image) {
  cv::Mat ordered = image;
  if (image.channels() == 3) cv::cvtColor(image, ordered, cv::COLOR_RGB2BGR);
  if (image.channels() == 4) cv::cvtColor(image, ordered, cv::COLOR_RGBA2BGRA);
  std::vector<unsigned char> encoded;
  if (!cv::imencode(".png", ordered, encoded)) throw ku::ArgumentError("the image cannot be encoded as PNG");
  return py::bytes(reinterpret_cast<const char*>(encoded.data()), encoded.size());
}

}  // namespace

void register_runtime(py::module_& module) {
  module.def(
      "set_verbosity",
      [](const std::string& level) {
        if (level != "quiet" && level != "normal") {
          throw ku::ArgumentError("set_verbosity: level must be \"quiet\" or \"normal\", got '" +
                                  level.substr(0, 20) + "'");
        }
        set_quiet(level == "quiet");
      },
      py::arg("level"),
      "Whether the library prints its lines: \"normal\" (the default) or \"quiet\" (nothing).\n"
      "Process-wide.");
  module.def("get_verbosity", [] { return is_quiet() ? "quiet" : "normal"; },
             "The current verbosity: \"normal\" or \"quiet\".");
  module.def("_png_bytes", &png_bytes, py::arg("image"));
}

}  // namespace kovra_python

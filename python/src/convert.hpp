#pragma once

// The Python boundary shared by every binding file: numpy <-> cv::Mat and Mask, the lazy table
// handles, frame records, the library's errors as Python exceptions, and how library calls run
// (std::cout sent to sys.stdout, the GIL released).
//
// Rules that hold for every binding:
//  - A binding converts its arguments with the GIL held, runs the library under `run_library`
//    (or the `library_call` guard when it takes and returns plain C++ values), and converts the
//    result with the GIL held again. Both send std::cout to sys.stdout (or nowhere when quiet),
//    and let Ctrl-C stop the library's frame loops: a KeyboardInterrupt raised within a second.
//  - Arguments: a Mask parameter (alone or inside containers) takes a Mask, any H x W or
//    1 x H x W array form and torch tensors on any device (mask_from_python); a wrong argument
//    fails conversion and the package's Python layer (kovra_utils._arguments) turns pybind11's
//    "incompatible function arguments" into one short line naming the parameter. Bindings added
//    to bindings.def get that layer without further work; a binding that converts inside its
//    body uses mask_from_python / describe() for its messages.
//  - Python callables handed to the library go through `python_callback`, which takes the GIL
//    back for the call and flushes the library's pending output first, so lines stay in order.

#include <kovra_utils/cancellation.hpp>
#include <kovra_utils/types.hpp>

#include <opencv2/core.hpp>

#include <pybind11/functional.h>
#include <pybind11/iostream.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <functional>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

namespace kovra_python {

namespace py = pybind11;
namespace ku = kovra_utils;

// ---- Running library code -------------------------------------------------------------------

/// While alive, std::cout written by this thread goes to the sys.stdout of the moment (so
/// contextlib.redirect_stdout and notebooks see it, in order). Each thread has its own target,
/// so library calls running at once in several Python threads never share a buffer. Construct
/// with the GIL held.
class StdoutToPython {
 public:
  StdoutToPython();
  ~StdoutToPython();
  StdoutToPython(const StdoutToPython&) = delete;
  StdoutToPython& operator=(const StdoutToPython&) = delete;

 private:
  std::unique_ptr<std::streambuf> buffer_;
  std::streambuf* previous_ = nullptr;
};

/// Makes std::cout follow StdoutToPython; called once when the module loads.
void route_stdout();

/// Whether the library's lines are printed ("normal") or dropped ("quiet"); process-wide, as
/// the lines all go to the one sys.stdout.
void set_quiet(bool quiet);
bool is_quiet();

/// While alive, the library's frame loops on this thread look for pending signals (at most every
/// 50 ms, taking the GIL for it): Ctrl-C raises KeyboardInterrupt out of the library call.
/// Construct with the GIL held.
class SignalCheck {
 public:
  SignalCheck();

 private:
  ku::CancellationCheck check_;
};

/// The state of one library call: output routed, signals checked. Construct with the GIL held.
struct LibraryScope {
  StdoutToPython output;
  SignalCheck signals;
};

/// Call guard for bindings whose arguments and result are plain C++ values.
using library_call = py::call_guard<LibraryScope, py::gil_scoped_release>;

/// Runs `work` with std::cout sent to sys.stdout, signals checked and the GIL released; returns
/// its result. `work` must not touch Python objects.
template <class Work>
decltype(auto) run_library(Work&& work) {
  LibraryScope scope;
  py::gil_scoped_release release;
  return std::forward<Work>(work)();
}

/// `value` described for a message: its type, with shape, dtype and device for arrays and
/// tensors and the length for containers; never its repr (kovra_utils._arguments.describe).
std::string describe(py::handle value);

/// A Python callable as a C++ callback: the GIL is taken for the call, the library's pending
/// output is flushed first, the arguments are converted with `py::cast`. A Python exception
/// raised by the callable propagates as py::error_already_set and is re-raised unchanged.
/// Copying the callback never touches Python reference counts, so it may happen without the GIL.
template <class Result = void, class... Args>
std::function<Result(Args...)> python_callback(py::object callable) {
  auto shared = std::shared_ptr<py::object>(new py::object(std::move(callable)), [](py::object* f) {
    py::gil_scoped_acquire gil;
    delete f;
  });
  return [shared](Args... args) -> Result {
    std::cout.flush();
    py::gil_scoped_acquire gil;
    py::object result = (*shared)(std::forward<Args>(args)...);
    if constexpr (!std::is_void_v<Result>) return result.template cast<Result>();
  };
}

// ---- Arrays ---------------------------------------------------------------------------------

/// An OpenCV view of `array`'s memory when its last axes are contiguous (a copy otherwise; the
/// copy is stored in `keep`, which must outlive the view). 2-D arrays are single-channel, 3-D
/// arrays H x W x C have C channels, other ranks become n-dimensional single-channel matrices.
/// Throws ArgumentError naming the element type when OpenCV has no matching depth.
cv::Mat mat_view(const py::array& array, py::object& keep);

/// `mat` as a numpy array sharing its buffer; the array keeps the buffer alive (through `base`
/// when given, otherwise through a capsule owning a reference to the matrix). Single-channel
/// matrices are rows x cols, others rows x cols x channels.
py::array share_mat(const cv::Mat& mat, bool writeable = true, py::handle base = py::handle());

// ---- Masks ----------------------------------------------------------------------------------

/// A Mask from any H x W or 1 x H x W array of bool, integer or floating values (non-zero =
/// set, NaN included), a nested list of them, or a torch tensor on any device (copied to the
/// host); uint8 and bool arrays are read in place when their rows are contiguous. Throws
/// ArgumentError naming what was given (`what` names the parameter) for anything else, object
/// arrays and sides beyond the int range included; an exception raised by the object itself
/// (its __array__, a tensor's copy) propagates unchanged.
ku::Mask mask_from_python(py::handle object, const char* what = "mask");
/// mask_from_python for Mask(array).
ku::Mask mask_from_array(py::handle object);

/// The mask as a new H x W uint8 0/1 array.
py::array dense_array(const ku::Mask& mask);

/// `mask` in the form of `original`, for results the caller expects in the input's own form:
/// an array of the original's shape (H x W or 1 x H x W) and element type when `original` is an
/// array, a Mask otherwise.
py::object mask_like(const ku::Mask& mask, py::handle original);

// ---- Tables ---------------------------------------------------------------------------------

/// The Python classes kovra_utils.Table and kovra_utils.IntersectionTable: a library table held
/// as it is, turned into a pandas DataFrame only when asked (`to_pandas()`).
struct TableHandle {
  ku::Table table;
};
struct IntersectionTableHandle {
  ku::IntersectionTable table;
};

/// A table handed out: a DataFrame when pandas is installed, the handle otherwise.
py::object table_result(ku::Table table);
py::object intersection_table_result(ku::IntersectionTable table);

/// A table handed in: a handle or a pandas DataFrame.
ku::Table table_from_python(py::handle object);
ku::IntersectionTable intersection_table_from_python(py::handle object);
/// An intersection table from its keys and a square array-like of cells.
ku::IntersectionTable intersection_table_from_parts(const std::vector<std::string>& keys,
                                                   py::handle cells);

// ---- Frame records --------------------------------------------------------------------------

/// A frame record as a kovra_utils.FrameRecord (a dict whose members also read as attributes);
/// its intersection table stays a handle until first read.
py::object record_to_python(const ku::FrameRecord& record);
/// A frame record from a FrameRecord or any mapping with its members.
ku::FrameRecord record_from_python(py::handle object);

// ---- Errors ---------------------------------------------------------------------------------

/// Registers Error, FileError (also OSError), ContentError and ArgumentError (also ValueError)
/// and OutOfRangeError (KeyError and IndexError) on `module`, and translates the library's
/// exceptions into them, messages unchanged; OpenCV's allocation failures become MemoryError.
void register_errors(py::module_& module);

/// set_verbosity, get_verbosity and the private helpers of kovra_utils._display.
void register_runtime(py::module_& module);

}  // namespace kovra_python

// ---- Type casters ---------------------------------------------------------------------------

namespace pybind11::detail {

/// cv::Mat <-> numpy: arguments are read in place where possible, results share the buffer.
template <>
struct type_caster<cv::Mat> {
  PYBIND11_TYPE_CASTER(cv::Mat, const_name("numpy.ndarray"));

  bool load(handle source, bool convert) {
    if (!convert && !isinstance<array>(source)) return false;
    array converted = array::ensure(source);
    if (!converted) {
      PyErr_Clear();
      return false;
    }
    value = kovra_python::mat_view(converted, keep_);
    return true;
  }

  static handle cast(const cv::Mat& mat, return_value_policy, handle) {
    return kovra_python::share_mat(mat).release();
  }

 private:
  object keep_;
};

/// Insertion-ordered maps <-> dict (dicts keep insertion order).
template <class Key, class Value, class Hash, class KeyEqual, class Allocator, class Values,
          class Index>
struct type_caster<tsl::ordered_map<Key, Value, Hash, KeyEqual, Allocator, Values, Index>>
    : map_caster<tsl::ordered_map<Key, Value, Hash, KeyEqual, Allocator, Values, Index>, Key,
                 Value> {};

/// Table and IntersectionTable: DataFrames (or handles) out, DataFrames or handles in.
template <>
struct type_caster<kovra_utils::Table> {
  PYBIND11_TYPE_CASTER(kovra_utils::Table, const_name("pandas.DataFrame"));
  bool load(handle source, bool) {
    if (source.is_none()) return false;
    value = kovra_python::table_from_python(source);
    return true;
  }
  static handle cast(kovra_utils::Table table, return_value_policy, handle) {
    return kovra_python::table_result(std::move(table)).release();
  }
};

template <>
struct type_caster<kovra_utils::IntersectionTable> {
  PYBIND11_TYPE_CASTER(kovra_utils::IntersectionTable, const_name("pandas.DataFrame"));
  bool load(handle source, bool) {
    if (source.is_none()) return false;
    value = kovra_python::intersection_table_from_python(source);
    return true;
  }
  static handle cast(kovra_utils::IntersectionTable table, return_value_policy, handle) {
    return kovra_python::intersection_table_result(std::move(table)).release();
  }
};

/// Mask: a Mask object as it is; any other mask form through mask_from_python. A value that is
/// not a mask fails conversion (pybind11 then tries the next overload).
template <>
struct type_caster<kovra_utils::Mask> : type_caster_base<kovra_utils::Mask> {
  bool load(handle source, bool convert) {
    if (type_caster_base<kovra_utils::Mask>::load(source, false)) return true;
    if (!convert || source.is_none()) return false;
    try {
      converted_ = std::make_shared<kovra_utils::Mask>(kovra_python::mask_from_python(source));
    } catch (const kovra_utils::ArgumentError&) {
      return false;
    }
    value = converted_.get();
    return true;
  }

 private:
  std::shared_ptr<kovra_utils::Mask> converted_;
};

/// FrameRecord <-> kovra_utils.FrameRecord.
template <>
struct type_caster<kovra_utils::FrameRecord> {
  PYBIND11_TYPE_CASTER(kovra_utils::FrameRecord, const_name("FrameRecord"));
  bool load(handle source, bool) {
    if (source.is_none()) return false;
    value = kovra_python::record_from_python(source);
    return true;
  }
  static handle cast(const kovra_utils::FrameRecord& record, return_value_policy, handle) {
    return kovra_python::record_to_python(record).release();
  }
};

/// Box <-> [x1, y1, x2, y2].
template <>
struct type_caster<kovra_utils::Box> {
  PYBIND11_TYPE_CASTER(kovra_utils::Box, const_name("list[float]"));
  bool load(handle source, bool convert) {
    make_caster<std::array<double, 4>> corners;
    if (!corners.load(source, convert)) return false;
    const auto& c = cast_op<const std::array<double, 4>&>(corners);
    value = kovra_utils::Box{c[0], c[1], c[2], c[3]};
    return true;
  }
  static handle cast(const kovra_utils::Box& box, return_value_policy, handle) {
    return pybind11::cast(std::array<double, 4>{box.x1, box.y1, box.x2, box.y2}).release();
  }
};

/// cv::Point2d <-> (x, y).
template <>
struct type_caster<cv::Point2d> {
  PYBIND11_TYPE_CASTER(cv::Point2d, const_name("tuple[float, float]"));
  bool load(handle source, bool convert) {
    make_caster<std::array<double, 2>> xy;
    if (!xy.load(source, convert)) return false;
    const auto& c = cast_op<const std::array<double, 2>&>(xy);
    value = cv::Point2d(c[0], c[1]);
    return true;
  }
  static handle cast(const cv::Point2d& point, return_value_policy, handle) {
    return pybind11::make_tuple(point.x, point.y).release();
  }
};

}  // namespace pybind11::detail

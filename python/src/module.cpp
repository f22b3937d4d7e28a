// The compiled module kovra_utils._core. Each binding file registers the names of one public
// header; bindings.def lists them in registration order (types first: the others use them).

#include "convert.hpp"

namespace kovra_python {
#define KOVRA_BINDING(name) void bind_##name(py::module_& module);
#include "bindings.def"
#undef KOVRA_BINDING
}  // namespace kovra_python

PYBIND11_MODULE(_core, module) {
  using namespace kovra_python;
  module.doc() = "kovra_utils compiled library";
  module.attr("__version__") = KOVRA_VERSION;
  register_errors(module);
  register_runtime(module);
  route_stdout();
#define KOVRA_BINDING(name) bind_##name(module);
#include "bindings.def"
#undef KOVRA_BINDING
}

#include "convert.hpp"

namespace kovra_python {

void bind_continuation(py::module_&) {}

}  // namespace kovra_python

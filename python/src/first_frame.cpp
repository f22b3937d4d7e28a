#include "convert.hpp"

namespace kovra_python {

void bind_first_frame(py::module_&) {}

}  // namespace kovra_python

#include "convert.hpp"

namespace kovra_python {

void bind_refinement(py::module_&) {}

}  // namespace kovra_python

#include "convert.hpp"

namespace kovra_python {

void bind_visual(py::module_&) {}

}  // namespace kovra_python

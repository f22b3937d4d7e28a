#include "convert.hpp"

namespace kovra_python {

void bind_models(py::module_&) {}

}  // namespace kovra_python

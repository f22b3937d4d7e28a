#include "convert.hpp"

namespace kovra_python {

void bind_review(py::module_&) {}

}  // namespace kovra_python

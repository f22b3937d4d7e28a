#include "convert.hpp"

namespace kovra_python {

void bind_review_overlap(py::module_&) {}

}  // namespace kovra_python

#include "convert.hpp"

namespace kovra_python {

void bind_video(py::module_&) {}

}  // namespace kovra_python

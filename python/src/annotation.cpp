// kovra_utils/annotation.hpp: annotation files, overlap measures, tracker-output loading.

#include "convert.hpp"

#include <kovra_utils/annotation.hpp>

namespace kovra_python {

void bind_annotation(py::module_& module) {
  module.def("count_mask_areas", &ku::count_mask_areas, py::arg("masks_dict"), library_call(),
             "The number of set pixels of every mask, in map order.");
}

}  // namespace kovra_python

// norviai.function_calling.base extension module.
#include "modules/common/pyutil.hpp"

PYBIND11_MODULE(base, m) { (void)m; }

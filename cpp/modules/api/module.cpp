// norviai.api extension module.
#include "modules/common/pyutil.hpp"

PYBIND11_MODULE(api, m) { (void)m; }

// norviai.master extension module.
#include "modules/common/pyutil.hpp"

PYBIND11_MODULE(master, m) { (void)m; }

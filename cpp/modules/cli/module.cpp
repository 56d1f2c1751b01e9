// norviai.cli extension module.
#include "modules/common/pyutil.hpp"

PYBIND11_MODULE(cli, m) { (void)m; }

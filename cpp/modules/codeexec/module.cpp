// norviai.codeexec extension module.
#include "modules/common/pyutil.hpp"

PYBIND11_MODULE(codeexec, m) { (void)m; }

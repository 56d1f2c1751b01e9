// norviai.agent extension module.
#include "modules/common/pyutil.hpp"

PYBIND11_MODULE(agent, m) { (void)m; }

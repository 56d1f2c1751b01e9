// norviai.dbaccess extension module.
#include "modules/common/pyutil.hpp"

PYBIND11_MODULE(dbaccess, m) { (void)m; }

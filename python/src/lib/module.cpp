// The extension module _tessaradb: module initialisation and the module-level state.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tessaradb",
    "TessaraDB \xe2\x80\x94 embedded vector + graph memory for AI agents.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tessaradb(void) { return PyModule_Create(&module_def); }

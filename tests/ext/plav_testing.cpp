// Test-only extension: reaches every code path of the kernels (scalar, AVX2,
// AVX-512) on this machine, whatever plav_core itself would choose. Not installed
// by default; it adds nothing to plav_core. Each area registers its functions in
// its own testing_*.cpp table.
#include <Python.h>

#include <vector>

namespace plav {
extern PyMethodDef SCAN_METHODS[];
extern PyMethodDef ESCAPE_METHODS[];
extern PyMethodDef PARSER_METHODS[];
} // namespace plav

namespace {

std::vector<PyMethodDef> ALL_METHODS;

PyModuleDef MODULE_DEF = {PyModuleDef_HEAD_INIT,
                          "_plav_testing",
                          "Test-only access to plav_core's kernels.",
                          0,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

} // namespace

PyMODINIT_FUNC PyInit__plav_testing(void) {
    if (ALL_METHODS.empty()) {
        for (PyMethodDef *table : {plav::SCAN_METHODS, plav::ESCAPE_METHODS, plav::PARSER_METHODS})
            for (PyMethodDef *m = table; m->ml_name; ++m)
                ALL_METHODS.push_back(*m);
        ALL_METHODS.push_back({nullptr, nullptr, 0, nullptr});
        MODULE_DEF.m_methods = ALL_METHODS.data();
    }
    return PyModule_Create(&MODULE_DEF);
}

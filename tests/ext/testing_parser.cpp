// Test-only access to the parser kernels.
#include <Python.h>

namespace plav {

PyMethodDef PARSER_METHODS[] = {{nullptr, nullptr, 0, nullptr}};

}  // namespace plav

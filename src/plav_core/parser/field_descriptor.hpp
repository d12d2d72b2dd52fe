// One field name of a caller's schema: the objects read under a schema take their
// n-th member's key from the n-th descriptor instead of from the text.
#pragma once
#include "memory.hpp"
#include "py_ref.hpp"

namespace plav {

struct FieldDescriptor {
    PyRef key; // the dict key, shared by every object read under the schema
};

using Schema = Vec<FieldDescriptor>;

} // namespace plav

// One field name of a caller's schema: the objects read under a schema take their
// n-th member's key from the n-th descriptor instead of from the text.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "py_ref.hpp"

namespace plav {

struct FieldDescriptor {
    std::string name; // owned UTF-8 copy of the caller's name
    PyRef key;        // the dict key, shared by every object read under the schema
    uint64_t index = 0;
    uint8_t flag = 1;
    uint8_t code = 3;
};

using Schema = std::vector<FieldDescriptor>;

} // namespace plav

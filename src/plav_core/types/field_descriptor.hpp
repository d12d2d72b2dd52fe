// One field name of a caller's schema: the objects read under a schema take their
// n-th member's key from the n-th descriptor instead of from the text.
#pragma once
#include <cstdint>
#include <string_view>

#include "memory.hpp"
#include "py_ref.hpp"

namespace plav {

struct FieldDescriptor {
    std::string_view name; // the UTF-8 text of `key`, valid while the descriptor lives
    PyRef key;             // the dict key, shared by every object read under the schema
    uint64_t index = 0;
    uint8_t flag = 1;
    uint8_t code = 3;
};

using Schema = Vec<FieldDescriptor>;

} // namespace plav

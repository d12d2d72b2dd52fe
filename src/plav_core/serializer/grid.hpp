// Mox Grid detection and writing, shared by grid_detect.cpp and grid_writer.cpp.
#pragma once
#include <cstdint>
#include <string_view>

#include "memory.hpp"
#include "py_ref.hpp"
#include "serializer/serializer.hpp"

namespace plav {

// The header of a grid: the first row's keys in its order. `keys` are exact str
// objects for the row lookups, held by the header; `texts` are their own UTF-8
// forms, valid while `keys` live, whatever happens to the first row meanwhile.
struct GridHeader {
    Vec<PyRef> keys;
    Vec<std::string_view> texts;
    // The columns' written order as indices into `keys` (sort_keys); empty: as they are.
    Vec<uint32_t> order;
    // Every row's cells in header order, row after row (borrowed), when detection
    // read them all: a short list whose rows hold the header's own key objects in
    // its order and only exact scalars, which the writer then takes from here
    // instead of walking the rows again. Empty otherwise.
    Vec<PyObject *> cells;
};

// Yields true and fills `header` when the sampled elements of `list` (n >= 2
// elements) are dicts of grid-safe scalars sharing the first one's keys.
Result<bool> detect_mox_grid_candidate(Writer &w, PyObject *list, Py_ssize_t n,
                                       GridHeader &header) noexcept;

// A new list of the elements converted to plain data (model_dump, dataclass,
// dict() with __fields__), or an empty PyRef when one element has no conversion.
Result<PyRef> materialize_as_dicts(Writer &w, PyObject *list, Py_ssize_t n) noexcept;

// Writes the grid; yields false, with nothing appended, when an element turns out
// not to be a dict or to hold a key outside the header (the caller then writes a
// plain array). `converted`: the rows came from materialize_as_dicts.
Result<bool> write_mox_grid(Writer &w, PyObject *list, Py_ssize_t n, const GridHeader &header,
                            Nesting at, bool converted) noexcept;

} // namespace plav

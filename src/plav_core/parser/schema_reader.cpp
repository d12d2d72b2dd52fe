// Objects read under a caller's schema: the n-th member is stored under the n-th
// field name, whatever key the text gives it; keys are skipped, not decoded.
#include "parser/error.hpp"
#include "parser/index_parser.hpp"
#include "py_ref.hpp"

namespace plav {

// Moves `p` from an opening quote to just past its closing quote, honouring
// backslash escapes and checking nothing else. False when the key never closes.
bool FastIndexParser::skip_quoted_key(size_t &p) {
    size_t i = p + 1;
    while (i < len_) {
        const uint8_t c = in_[i];
        if (c == '\\') {
            i += 2;
        } else if (c == '"') {
            p = i + 1;
            return true;
        } else {
            ++i;
        }
    }
    return false;
}

PyObject *FastIndexParser::parse_object_schema(const Schema &schema) {
    PyRef dict = PyRef::steal(open_object());
    if (!dict)
        return nullptr;
    skip_ws();
    if (pos_ < len_ && in_[pos_] == '}') {
        ++pos_;
        --depth_;
        return dict.release();
    }
    // Input that ends inside a member leaves the member out (partial mode).
    auto keep = [&]() -> PyObject * {
        if (failed_)
            return nullptr;
        --depth_;
        return dict.release();
    };
    for (const FieldDescriptor &d : schema) {
        skip_ws();
        if (pos_ >= len_)
            return cut_short(pos_), keep();
        // The member's colon: the first after a quoted key (skipped unread), else
        // the first at or after the member's first byte. It must come before the
        // next ',' or '}', or the member has none.
        const size_t member = pos_;
        size_t from = member;
        if (in_[member] == '"' && !skip_quoted_key(from))
            return cut_short(member), keep();
        if (!seek_member_colon(from, member))
            return keep();

        PyRef value = PyRef::steal(parse_value(nullptr));
        if (!value)
            return keep();
        if (PyDict_SetItem(dict.get(), d.key.get(), value.get()) < 0)
            return fail(PendingError::runtime_error("Dict insertion failed"));
        if (at_end_)
            return keep();
        skip_ws();
        if (pos_ >= len_)
            return cut_short(pos_), keep();
        const uint8_t c = in_[pos_];
        if (c == '}') {
            ++pos_;
            --depth_;
            return dict.release();
        }
        if (c != ',')
            return fail(invalid_char(c, pos_));
        ++pos_;
        skip_ws();
        if (pos_ >= len_ && partial_)
            return cut_short(pos_), keep();
        if (pos_ < len_ && in_[pos_] == '}') { // a trailing comma, also before the last field
            ++pos_;
            --depth_;
            return dict.release();
        }
    }
    // Past the last field (or at once for an empty schema) only '}' may follow.
    skip_ws();
    if (pos_ >= len_ && partial_)
        return cut_short(pos_), keep();
    if (pos_ < len_ && in_[pos_] == '}') {
        ++pos_;
        --depth_;
        return dict.release();
    }
    return fail(expected_char('}', pos_));
}

} // namespace plav

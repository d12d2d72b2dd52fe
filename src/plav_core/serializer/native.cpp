// Values of the standard library's datetime, date, time, UUID, Decimal and Enum
// types, written natively. Fields are read through the base types' own
// descriptors (C getters), so a subclass's overrides never decide the text, and
// the types are taken from the modules once those are imported, so nothing here
// imports a module or runs Python code to find out what a value is.
#include <array>
#include <cstdlib>
#include <cstring>

#include "py_ref.hpp"
#include "serializer/serializer.hpp"

namespace plav {
namespace {

// A descriptor of a base type and its getter, kept for the life of the process.
struct Field {
    PyObject *descr = nullptr;
    descrgetfunc get = nullptr;

    bool load(PyObject *type, const char *name) noexcept {
        PyObject *d = PyObject_GetAttrString(type, name); // the descriptor itself
        if (!d)
            return false;
        auto getter = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(d), Py_tp_descr_get));
        if (!getter) {
            PyRef drop = PyRef::steal(d);
            return false;
        }
        descr = d;
        get = getter;
        return true;
    }
    // New reference, or nullptr with an exception set.
    PyObject *read(PyObject *obj) const noexcept {
        return get(descr, obj, reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    }
    // An int field within long; false with an exception set otherwise.
    bool read_long(PyObject *obj, long &out) const noexcept {
        PyRef v = PyRef::steal(read(obj));
        if (!v)
            return false;
        out = PyLong_AsLong(v.get());
        return !(out == -1 && PyErr_Occurred());
    }
};

// Every reference below is strong and kept for the life of the process (the module
// refuses a second interpreter). A group is filled at once or not at all.
struct DatetimeTypes {
    bool ready = false;
    PyObject *datetime = nullptr, *date = nullptr, *time = nullptr, *timedelta = nullptr,
             *timezone = nullptr, *utcoffset = nullptr;
    Field year, month, day;                            // date's, also for datetime
    Field dt_hour, dt_minute, dt_second, dt_us, dt_tz; // datetime's
    Field t_hour, t_minute, t_second, t_us, t_tz;      // time's
    Field td_days, td_seconds, td_us;                  // timedelta's
    // Whether the packed fields can be read from the objects themselves (see
    // PackedLayout), for date, datetime and time.
    bool packed_date = false, packed_datetime = false, packed_time = false;
};

// CPython's date, datetime and time objects keep their fields packed after the
// object header and a cached hash: a byte that says whether a tzinfo follows, then
// the year (2 bytes, big-endian), month, day, hour, minute, second and microsecond
// (3 bytes, big-endian), as far as the type has them. Reading them there saves a
// getter call and an int object per field. The layout is not part of the stable
// ABI, so it is checked at load on values made by the types' own constructors
// (and against the types' sizes); the getters are used where it does not match.
struct PackedLayout {
    static constexpr size_t HAS_TZINFO = sizeof(PyObject) + sizeof(Py_hash_t);
    static constexpr size_t DATA = HAS_TZINFO + 1;

    static const uint8_t *data(PyObject *v) noexcept {
        return reinterpret_cast<const uint8_t *>(v) + DATA;
    }
    static bool has_tzinfo(PyObject *v) noexcept {
        return reinterpret_cast<const uint8_t *>(v)[HAS_TZINFO] != 0;
    }
    // Whether `sample` (new reference, may be nullptr) holds `expect` there.
    static bool matches(PyObject *sample, const uint8_t *expect, size_t n, bool aware) noexcept {
        PyRef owned = PyRef::steal(sample);
        return owned && std::memcmp(data(sample), expect, n) == 0 && has_tzinfo(sample) == aware;
    }
    // Whether instances of `type` hold n packed bytes.
    static bool fits(PyObject *type, size_t n) noexcept {
        PyRef size = PyRef::steal(PyObject_GetAttrString(type, "__basicsize__"));
        if (!size)
            return false;
        const long basic = PyLong_AsLong(size.get());
        return basic > 0 && static_cast<size_t>(basic) >= DATA + n;
    }
};

// 2024-05-06 07:08:09.123456, packed.
constexpr uint8_t SAMPLE_DATE[] = {0x07, 0xE8, 5, 6};
constexpr uint8_t SAMPLE_TIME[] = {7, 8, 9, 0x01, 0xE2, 0x40};
constexpr uint8_t SAMPLE_DATETIME[] = {0x07, 0xE8, 5, 6, 7, 8, 9, 0x01, 0xE2, 0x40};

void check_packed_layout(DatetimeTypes &d) noexcept {
#ifdef PLAV_BUILD_TESTING
    // Test builds can be told to use the getters, so that tests cover them too.
    if (std::getenv("PLAV_TESTING_FIELD_GETTERS"))
        return;
#endif
    PyObject *utc = PyObject_GetAttrString(d.timezone, "utc");
    PyRef hold_utc = PyRef::steal(utc);
    if (!utc)
        return;
    d.packed_date = PackedLayout::fits(d.date, sizeof SAMPLE_DATE) &&
                    PackedLayout::matches(PyObject_CallFunction(d.date, "iii", 2024, 5, 6),
                                          SAMPLE_DATE, sizeof SAMPLE_DATE, false);
    d.packed_time =
        PackedLayout::fits(d.time, sizeof SAMPLE_TIME) &&
        PackedLayout::matches(PyObject_CallFunction(d.time, "iiii", 7, 8, 9, 123456), SAMPLE_TIME,
                              sizeof SAMPLE_TIME, false) &&
        PackedLayout::matches(PyObject_CallFunction(d.time, "iiiiO", 7, 8, 9, 123456, utc),
                              SAMPLE_TIME, sizeof SAMPLE_TIME, true);
    d.packed_datetime = PackedLayout::fits(d.datetime, sizeof SAMPLE_DATETIME) &&
                        PackedLayout::matches(PyObject_CallFunction(d.datetime, "iiiiiii", 2024, 5,
                                                                    6, 7, 8, 9, 123456),
                                              SAMPLE_DATETIME, sizeof SAMPLE_DATETIME, false) &&
                        PackedLayout::matches(PyObject_CallFunction(d.datetime, "iiiiiiiO", 2024, 5,
                                                                    6, 7, 8, 9, 123456, utc),
                                              SAMPLE_DATETIME, sizeof SAMPLE_DATETIME, true);
    PyErr_Clear();
}
struct UuidTypes {
    bool ready = false;
    PyObject *uuid = nullptr, *sixty_four = nullptr;
    Field int_value; // the slot UUID keeps its 128-bit value in
};
struct DecimalTypes {
    bool ready = false;
    PyObject *decimal = nullptr, *base_str = nullptr;
    bool builtin = false; // the C implementation: its __str__ runs no Python code
};
struct EnumTypes {
    bool ready = false;
    PyObject *enum_type = nullptr, *value_name = nullptr;
};

DatetimeTypes DATETIME;
UuidTypes UUID_TYPES;
DecimalTypes DECIMAL;
EnumTypes ENUM;

// A type attribute of `module` (new reference), or nullptr.
PyObject *type_attr(PyObject *module, const char *name) noexcept {
    PyObject *t = PyObject_GetAttrString(module, name);
    if (t && !PyType_Check(t)) {
        PyRef drop = PyRef::steal(t);
        return nullptr;
    }
    return t;
}

// The module when it is already imported (new reference), else nullptr; never
// imports. `name` caches the interned module name.
PyRef imported(const char *text, PyObject *&name) noexcept {
    if (!name)
        name = PyUnicode_InternFromString(text);
    PyRef m = PyRef::steal(name ? PyImport_GetModule(name) : nullptr);
    if (!m)
        PyErr_Clear();
    return m;
}
PyObject *DATETIME_NAME = nullptr, *UUID_NAME = nullptr, *DECIMAL_NAME = nullptr,
         *ENUM_NAME = nullptr; // strong references, kept for the life of the process

// Each loader fills its group from the imported module or leaves it as it was,
// with no exception set. What it took before failing stays referenced; a later
// call may try again.
void load_datetime() noexcept {
    PyRef m = imported("datetime", DATETIME_NAME);
    if (!m)
        return;
    DatetimeTypes d;
    PyObject *mod = m.get();
    d.datetime = type_attr(mod, "datetime");
    d.date = type_attr(mod, "date");
    d.time = type_attr(mod, "time");
    d.timedelta = type_attr(mod, "timedelta");
    d.timezone = type_attr(mod, "timezone");
    d.utcoffset = PyUnicode_InternFromString("utcoffset");
    const bool ok =
        d.datetime && d.date && d.time && d.timedelta && d.timezone && d.utcoffset &&
        d.year.load(d.date, "year") && d.month.load(d.date, "month") && d.day.load(d.date, "day") &&
        d.dt_hour.load(d.datetime, "hour") && d.dt_minute.load(d.datetime, "minute") &&
        d.dt_second.load(d.datetime, "second") && d.dt_us.load(d.datetime, "microsecond") &&
        d.dt_tz.load(d.datetime, "tzinfo") && d.t_hour.load(d.time, "hour") &&
        d.t_minute.load(d.time, "minute") && d.t_second.load(d.time, "second") &&
        d.t_us.load(d.time, "microsecond") && d.t_tz.load(d.time, "tzinfo") &&
        d.td_days.load(d.timedelta, "days") && d.td_seconds.load(d.timedelta, "seconds") &&
        d.td_us.load(d.timedelta, "microseconds");
    PyErr_Clear();
    if (!ok)
        return;
    check_packed_layout(d);
    d.ready = true;
    DATETIME = d;
}

void load_uuid() noexcept {
    PyRef m = imported("uuid", UUID_NAME);
    if (!m)
        return;
    UuidTypes u;
    u.uuid = type_attr(m.get(), "UUID");
    u.sixty_four = PyLong_FromLong(64);
    const bool ok = u.uuid && u.sixty_four && u.int_value.load(u.uuid, "int");
    PyErr_Clear();
    if (!ok)
        return;
    u.ready = true;
    UUID_TYPES = u;
}

void load_decimal() noexcept {
    PyRef m = imported("decimal", DECIMAL_NAME);
    if (!m)
        return;
    DecimalTypes d;
    d.decimal = type_attr(m.get(), "Decimal");
    if (d.decimal)
        d.base_str = PyObject_GetAttrString(d.decimal, "__str__");
    PyErr_Clear();
    if (!d.decimal || !d.base_str)
        return;
    d.builtin = (PyType_GetFlags(reinterpret_cast<PyTypeObject *>(d.decimal)) &
                 Py_TPFLAGS_IMMUTABLETYPE) != 0;
    d.ready = true;
    DECIMAL = d;
}

void load_enum() noexcept {
    PyRef m = imported("enum", ENUM_NAME);
    if (!m)
        return;
    EnumTypes e;
    e.enum_type = type_attr(m.get(), "Enum");
    e.value_name = PyUnicode_InternFromString("value");
    PyErr_Clear();
    if (!e.enum_type || !e.value_name)
        return;
    e.ready = true;
    ENUM = e;
}

bool is_sub(PyTypeObject *t, PyObject *base) noexcept {
    return PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(base)) != 0;
}

// ---- text ----

// "00" to "99".
constexpr auto TWO_DIGITS = [] {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
        t[2 * i] = static_cast<char>('0' + i / 10);
        t[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

// v (0 <= v < 10^width) in `width` digits, width even, zero-padded.
char *put_digits(char *p, long v, int width) noexcept {
    auto n = static_cast<unsigned long>(v);
    for (int i = width - 2; i >= 0; i -= 2) {
        std::memcpy(p + i, &TWO_DIGITS[2 * (n % 100)], 2);
        n /= 100;
    }
    return p + width;
}

// HH:MM:SS and .ffffff when the microseconds are nonzero.
char *put_clock(char *p, long hour, long minute, long second, long us) noexcept {
    p = put_digits(p, hour, 2);
    *p++ = ':';
    p = put_digits(p, minute, 2);
    *p++ = ':';
    p = put_digits(p, second, 2);
    if (us) {
        *p++ = '.';
        p = put_digits(p, us, 6);
    }
    return p;
}

// A quoted string of ASCII text that needs no escape.
void put_quoted_ascii(Writer &w, const char *s, size_t n) noexcept {
    w.buf.reserve(n + 2);
    w.buf.put_unchecked('"');
    w.buf.put_unchecked(s, n);
    w.buf.put_unchecked('"');
}

// Appends the UTC offset as isoformat writes it: +HH:MM, then :SS and .ffffff
// when they are nonzero; nothing when `tzinfo` is None or its utcoffset(arg) is.
// `arg` is the datetime itself, or None for a time.
Status put_utc_offset(Writer &w, PyObject *tzinfo, PyObject *arg, char *&p) noexcept {
    if (tzinfo == Py_None)
        return ok();
    const DatetimeTypes &d = DATETIME;
    PythonCall call(w); // tzinfo and arg are held by the caller
    PyRef offset = PyRef::steal(PyObject_CallMethodObjArgs(tzinfo, d.utcoffset, arg, nullptr));
    if (!offset)
        return PendingError::pass_through();
    if (offset.get() == Py_None)
        return ok();
    if (!is_sub(Py_TYPE(offset.get()), d.timedelta))
        return PendingError::type_error("tzinfo.utcoffset() must return None or timedelta, not '" +
                                        type_name(Py_TYPE(offset.get()), false) + "'");
    long days = 0, seconds = 0, us = 0;
    if (!d.td_days.read_long(offset.get(), days) ||
        !d.td_seconds.read_long(offset.get(), seconds) || !d.td_us.read_long(offset.get(), us))
        return PendingError::pass_through();
    if ((days == -1 && seconds == 0 && us < 1) || days < -1 || days >= 1)
        return PendingError::value_error(
            "offset must be a timedelta strictly between -timedelta(hours=24) and "
            "timedelta(hours=24).");
    long long total = (static_cast<long long>(days) * 86400 + seconds) * 1000000 + us;
    *p++ = total < 0 ? '-' : '+';
    if (total < 0)
        total = -total;
    const long rest_us = static_cast<long>(total % 1000000);
    const long secs = static_cast<long>(total / 1000000);
    p = put_digits(p, secs / 3600, 2);
    *p++ = ':';
    p = put_digits(p, secs / 60 % 60, 2);
    if (rest_us || secs % 60) {
        *p++ = ':';
        p = put_digits(p, secs % 60, 2);
    }
    if (rest_us) {
        *p++ = '.';
        p = put_digits(p, rest_us, 6);
    }
    return ok();
}

constexpr size_t ISO_ROOM = 64; // 26 for the datetime, 16 for the offset

// The fields of a date, datetime or time value (those its type has), and its
// tzinfo (a new reference; None when it has none).
struct DateFields {
    long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, us = 0;
    PyRef tzinfo;
};

bool read_date(PyObject *v, DateFields &f) noexcept {
    const DatetimeTypes &d = DATETIME;
    if (d.packed_date) {
        const uint8_t *p = PackedLayout::data(v);
        f.year = p[0] << 8 | p[1];
        f.month = p[2];
        f.day = p[3];
        return true;
    }
    return d.year.read_long(v, f.year) && d.month.read_long(v, f.month) &&
           d.day.read_long(v, f.day);
}

bool read_datetime(PyObject *v, DateFields &f) noexcept {
    const DatetimeTypes &d = DATETIME;
    if (d.packed_datetime) {
        const uint8_t *p = PackedLayout::data(v);
        f.year = p[0] << 8 | p[1];
        f.month = p[2];
        f.day = p[3];
        f.hour = p[4];
        f.minute = p[5];
        f.second = p[6];
        f.us = p[7] << 16 | p[8] << 8 | p[9];
        if (!PackedLayout::has_tzinfo(v)) {
            f.tzinfo = PyRef::borrow(Py_None);
            return true;
        }
    } else if (!d.year.read_long(v, f.year) || !d.month.read_long(v, f.month) ||
               !d.day.read_long(v, f.day) || !d.dt_hour.read_long(v, f.hour) ||
               !d.dt_minute.read_long(v, f.minute) || !d.dt_second.read_long(v, f.second) ||
               !d.dt_us.read_long(v, f.us)) {
        return false;
    }
    f.tzinfo = PyRef::steal(d.dt_tz.read(v));
    return static_cast<bool>(f.tzinfo);
}

bool read_time(PyObject *v, DateFields &f) noexcept {
    const DatetimeTypes &d = DATETIME;
    if (d.packed_time) {
        const uint8_t *p = PackedLayout::data(v);
        f.hour = p[0];
        f.minute = p[1];
        f.second = p[2];
        f.us = p[3] << 16 | p[4] << 8 | p[5];
        if (!PackedLayout::has_tzinfo(v)) {
            f.tzinfo = PyRef::borrow(Py_None);
            return true;
        }
    } else if (!d.t_hour.read_long(v, f.hour) || !d.t_minute.read_long(v, f.minute) ||
               !d.t_second.read_long(v, f.second) || !d.t_us.read_long(v, f.us)) {
        return false;
    }
    f.tzinfo = PyRef::steal(d.t_tz.read(v));
    return static_cast<bool>(f.tzinfo);
}

char *put_day(char *p, const DateFields &f) noexcept {
    p = put_digits(p, f.year, 4);
    *p++ = '-';
    p = put_digits(p, f.month, 2);
    *p++ = '-';
    return put_digits(p, f.day, 2);
}

Status write_date(Writer &w, PyObject *v) noexcept {
    DateFields f;
    if (!read_date(v, f))
        return PendingError::pass_through();
    char text[ISO_ROOM];
    const char *end = put_day(text, f);
    put_quoted_ascii(w, text, static_cast<size_t>(end - text));
    return ok();
}

Status write_datetime(Writer &w, PyObject *v) noexcept {
    DateFields f;
    if (!read_datetime(v, f))
        return PendingError::pass_through();
    char text[ISO_ROOM];
    char *p = put_day(text, f);
    *p++ = 'T';
    p = put_clock(p, f.hour, f.minute, f.second, f.us);
    if (Status s = put_utc_offset(w, f.tzinfo.get(), v, p); !s)
        return s;
    put_quoted_ascii(w, text, static_cast<size_t>(p - text));
    return ok();
}

Status write_time(Writer &w, PyObject *v) noexcept {
    DateFields f;
    if (!read_time(v, f))
        return PendingError::pass_through();
    char text[ISO_ROOM];
    char *p = put_clock(text, f.hour, f.minute, f.second, f.us);
    if (Status s = put_utc_offset(w, f.tzinfo.get(), Py_None, p); !s)
        return s;
    put_quoted_ascii(w, text, static_cast<size_t>(p - text));
    return ok();
}

// The 36-character lowercase form, from the int the UUID keeps. False, with no
// exception set, when that is not an int in [0, 2^128).
Result<bool> write_uuid(Writer &w, PyObject *v) noexcept {
    const UuidTypes &u = UUID_TYPES;
    PyRef value = PyRef::steal(u.int_value.read(v));
    if (!value || Py_TYPE(value.get()) != &PyLong_Type) {
        PyErr_Clear();
        return false;
    }
    const unsigned long long lo = PyLong_AsUnsignedLongLongMask(value.get());
    PyRef high = PyRef::steal(PyNumber_Rshift(value.get(), u.sixty_four));
    if (!high)
        return PendingError::pass_through();
    const unsigned long long hi = PyLong_AsUnsignedLongLong(high.get());
    if (hi == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear(); // negative, or 2^128 or more
        return false;
    }
    constexpr char HEX[] = "0123456789abcdef";
    char text[36];
    size_t at = 0;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20)
            text[at++] = '-';
        const unsigned long long half = i < 16 ? hi : lo;
        text[at++] = HEX[(half >> (60 - 4 * (i % 16))) & 0xF];
    }
    put_quoted_ascii(w, text, sizeof text);
    return true;
}

// Whether s[0, n) is a JSON number token: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_number_token(const char *s, size_t n) noexcept {
    size_t i = 0;
    auto digits = [&] {
        const size_t start = i;
        while (i < n && s[i] >= '0' && s[i] <= '9')
            ++i;
        return i - start;
    };
    if (i < n && s[i] == '-')
        ++i;
    if (i < n && s[i] == '0') {
        ++i;
    } else if (i >= n || s[i] < '1' || s[i] > '9' || digits() == 0) {
        return false;
    }
    if (i < n && s[i] == '.') {
        ++i;
        if (digits() == 0)
            return false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (digits() == 0)
            return false;
    }
    return i == n;
}

// The base Decimal.__str__ text as a number token; NaN, Infinity and -Infinity
// for the values that are not finite. False, having written nothing, when the
// text is none of these.
Result<bool> write_decimal(Writer &w, PyObject *v) noexcept {
    const DecimalTypes &d = DECIMAL;
    PythonCall call(w); // _pydecimal's __str__ is Python code; v is held by the caller
    PyRef text = PyRef::steal(PyObject_CallFunctionObjArgs(d.base_str, v, nullptr));
    if (!text)
        return PendingError::pass_through();
    if (!PyUnicode_Check(text.get()))
        return false;
    Py_ssize_t size = 0;
    const char *u = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!u)
        return PendingError::pass_through();
    const std::string_view s(u, static_cast<size_t>(size));
    const bool negative = !s.empty() && s[0] == '-';
    const std::string_view unsigned_text = s.substr(negative ? 1 : 0);
    if (unsigned_text.starts_with("NaN") || unsigned_text.starts_with("sNaN")) {
        w.buf.put(std::string_view("NaN"));
    } else if (unsigned_text == "Infinity") {
        w.buf.put(negative ? std::string_view("-Infinity") : std::string_view("Infinity"));
    } else if (is_number_token(s.data(), s.size())) {
        w.buf.put(s);
    } else {
        return false;
    }
    return true;
}

} // namespace

NativeKind native_kind(PyObject *value) noexcept {
    if (!DATETIME.ready)
        load_datetime();
    if (!UUID_TYPES.ready)
        load_uuid();
    if (!DECIMAL.ready)
        load_decimal();
    if (!ENUM.ready)
        load_enum();
    PyTypeObject *const t = Py_TYPE(value);
    if (DATETIME.ready) {
        if (is_sub(t, DATETIME.datetime))
            return NativeKind::DateTime; // before its base, date
        if (is_sub(t, DATETIME.date))
            return NativeKind::Date;
        if (is_sub(t, DATETIME.time))
            return NativeKind::Time;
    }
    if (UUID_TYPES.ready && is_sub(t, UUID_TYPES.uuid))
        return NativeKind::Uuid;
    if (DECIMAL.ready && is_sub(t, DECIMAL.decimal))
        return NativeKind::Decimal;
    if (ENUM.ready && is_sub(t, ENUM.enum_type))
        return NativeKind::Enum;
    return NativeKind::None;
}

NativeKind exact_native_kind(PyTypeObject *t) noexcept {
    const auto *o = reinterpret_cast<PyObject *>(t);
    if (DATETIME.ready) {
        if (o == DATETIME.datetime)
            return NativeKind::DateTime;
        if (o == DATETIME.date)
            return NativeKind::Date;
        if (o == DATETIME.time)
            return NativeKind::Time;
    }
    if (DECIMAL.ready && DECIMAL.builtin && o == DECIMAL.decimal)
        return NativeKind::Decimal;
    return NativeKind::None;
}

Result<bool> write_native(Writer &w, PyObject *value, Nesting at, NativeKind kind) noexcept {
    auto written = [](Status s) -> Result<bool> {
        if (!s)
            return std::move(s.error());
        return true;
    };
    switch (kind == NativeKind::None ? native_kind(value) : kind) {
    case NativeKind::DateTime:
        return written(write_datetime(w, value));
    case NativeKind::Date:
        return written(write_date(w, value));
    case NativeKind::Time:
        return written(write_time(w, value));
    case NativeKind::Uuid:
        return write_uuid(w, value);
    case NativeKind::Decimal:
        return write_decimal(w, value);
    case NativeKind::Enum: {
        // The member's value, written in its place as one conversion.
        PythonCall call(w); // declared first: ends after the value is released
        PyRef inner = PyRef::steal(PyObject_GetAttr(value, ENUM.value_name));
        if (!inner)
            return PendingError::pass_through();
        return written(write_value(w, inner.get(), at.converted()));
    }
    case NativeKind::None:
        break;
    }
    return false;
}

PyRef enum_stored_value(PyObject *member) noexcept {
    PyRef dict = PyRef::steal(PyObject_GenericGetDict(member, nullptr));
    if (!dict || !PyDict_Check(dict.get())) {
        PyErr_Clear();
        return {};
    }
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *v = nullptr;
    while (PyDict_Next(dict.get(), &pos, &key, &v))
        if (Py_TYPE(key) == &PyUnicode_Type &&
            PyUnicode_CompareWithASCIIString(key, "_value_") == 0)
            return PyRef::borrow(v);
    return {};
}

} // namespace plav

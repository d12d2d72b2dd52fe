// Differential fuzz target for the byte kernels: the three scanners, the
// whitespace skipper and its vector phase, the string content scan, the unsafe
// cell byte test, the three string escapers and the UTF-8 to UTF-16 transcoder
// must agree with each other and with the plain reference loops below on every
// input. Each input is run
// twice from guarded memory: flush against a PROT_NONE page after it (any
// over-read faults) and right after a PROT_NONE page (any under-read faults).
// Heap over-reads would only be caught by ASan where its redzones happen to
// lie; the guard pages make every stray vector load a crash.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cpu.hpp"
#include "simd/cell_scan.hpp"
#include "simd/escape.hpp"
#include "simd/scanner.hpp"
#include "simd/string_scan.hpp"
#include "simd/utf16.hpp"
#include "simd/whitespace.hpp"
#include "types/output_buffer.hpp"

namespace {

using namespace plav;

constexpr size_t MAX_INPUT = 1 << 16; // longer inputs are cut; -max_len stays far below

[[noreturn]] void fail(const char *what, size_t n, size_t detail) {
    std::fprintf(stderr, "kernel disagreement: %s (input length %zu, at %zu)\n", what, n, detail);
    std::abort();
}

// Three mappings widen what a random byte string reaches: raw bytes, bytes drawn
// from the whitespace/comment alphabet, and bytes drawn from the structural and
// escape alphabet (with high bytes that differ from brackets only in bit 7).
constexpr uint8_t WS_ALPHABET[] = {' ', '\t', '\n', '\r', '/', '*', 0xEF, 0xBB, 0xBF, 'x', '{'};
constexpr uint8_t STRUCT_ALPHABET[] = {'"',  ',',  ':',  ';',  '[',  ']',  '{',
                                       '}',  '\\', 0x1F, 0x00, 0x7F, 0xDB, 0xFB,
                                       0xDD, 0xFD, 0xBA, 0xBB, 'a',  ' ',  0x0A};

// A region [guard | pages... | guard] mapped once; inputs are copied into it.
struct Guarded {
    uint8_t *base = nullptr; // first usable byte, right after the front guard
    size_t usable = 0;

    Guarded() {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        usable = (MAX_INPUT + page - 1) / page * page;
        auto *map = static_cast<uint8_t *>(mmap(nullptr, usable + 2 * page, PROT_READ | PROT_WRITE,
                                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (map == MAP_FAILED)
            std::abort();
        if (mprotect(map, page, PROT_NONE) != 0)
            std::abort();
        if (mprotect(map + page + usable, page, PROT_NONE) != 0)
            std::abort();
        base = map + page;
    }
    // Copies the input so that its last byte is the last readable byte.
    const uint8_t *flush_end(const uint8_t *data, size_t n) {
        uint8_t *dst = base + usable - n;
        if (n)
            std::memcpy(dst, data, n);
        return dst;
    }
    // Copies the input so that its first byte is the first readable byte.
    const uint8_t *flush_start(const uint8_t *data, size_t n) {
        if (n)
            std::memcpy(base, data, n);
        return base;
    }
};

Guarded &region() {
    static Guarded g;
    return g;
}

// ---- scanners -------------------------------------------------------------

const PosList &list_at(const StructuralIndex &idx, int i) {
    const PosList *lists[] = {&idx.open_braces,  &idx.open_brackets, &idx.colons,
                              &idx.semicolons,   &idx.commas,        &idx.close_brackets,
                              &idx.close_braces, &idx.quotes};
    return *lists[i];
}

constexpr uint8_t LIST_BYTE[8] = {'{', '[', ':', ';', ',', ']', '}', '"'};

// The index by definition: every position of each of the eight bytes, in order.
struct Reference {
    std::vector<uint64_t> lists[8];
    explicit Reference(const uint8_t *data, size_t n) {
        for (size_t p = 0; p < n; ++p) {
            for (int i = 0; i < 8; ++i) {
                if (data[p] == LIST_BYTE[i])
                    lists[i].push_back(p);
            }
        }
    }
};

void check_index(const StructuralIndex &idx, const Reference &want, size_t n, const char *name) {
    for (int i = 0; i < 8; ++i) {
        const PosList &l = list_at(idx, i);
        if (l.size() != want.lists[i].size())
            fail(name, n, l.size());
        if (l.size() && std::memcmp(l.data(), want.lists[i].data(), l.size() * 8) != 0)
            fail(name, n, i);
    }
}

// One index serves every scanner and input, as the thread's index serves loads.
void check_scanners(const uint8_t *data, size_t n, const CpuFeatures &f, const Reference &want) {
    static StructuralIndex idx;
    auto run = [&](void (*scanner)(const uint8_t *, size_t, StructuralIndex &), const char *name) {
        if (!idx.prepare(n))
            std::abort(); // a fuzzer's own memory, not the module's
        scanner(data, n, idx);
        check_index(idx, want, n, name);
    };
    run(scan_scalar, "scan_scalar");
    if (f.avx2)
        run(scan_avx2, "scan_avx2");
    if (f.avx512f && f.avx512bw)
        run(scan_avx512, "scan_avx512");
}

// ---- whitespace -----------------------------------------------------------

void check_whitespace(const uint8_t *data, size_t n, const CpuFeatures &f) {
    // The first 40 start positions (past the first 32-byte block) and a spread of
    // later ones, so the cost stays linear in the input length.
    const size_t step = n / 8 + 1;
    for (size_t start = 0; start <= n; start += start < 40 ? 1 : step) {
        size_t want = start;
        skip_whitespace_bytes(data, n, want);
        if (want < start || want > n)
            fail("skip_whitespace_bytes out of range", n, start);
        size_t got = start;
        skip_whitespace_simd(data, n, got);
        if (got != want)
            fail("skip_whitespace_simd", n, start);
        // A tab-delimited grid's rows: the same skip, stopped at a tab it would cross.
        size_t rows = start;
        syntax::skip_whitespace_and_comments(data, n, rows, true);
        if (rows < start || rows > want || (rows < want && data[rows] != '\t'))
            fail("skip_whitespace_and_comments with tab_is_delimiter", n, start);
        if (f.avx2) {
            got = start;
            skip_whitespace_avx2(data, n, got);
            if (got != want)
                fail("skip_whitespace_avx2", n, start);
        }
        if (f.avx2 && n - start >= 32) {
            // The vector phase alone: the run, cut at the last whole 32-byte block.
            size_t run = 0;
            while (start + run < n && (data[start + run] == ' ' || data[start + run] == '\t' ||
                                       data[start + run] == '\n' || data[start + run] == '\r'))
                ++run;
            const size_t blocks = (n - start) / 32 * 32;
            const size_t counted = whitespace_prefix_avx2(data + start, data + n);
            if (counted != (run < blocks ? run : blocks))
                fail("whitespace_prefix_avx2", n, start);
        }
    }
}

// ---- string content scan and unsafe cell bytes ---------------------------

// Both kernels over every suffix the whitespace check also starts from, against
// answers for all suffixes found in one backward pass: the content scan gives
// HAS_BACKSLASH before NON_ASCII, the cell test whether any unsafe byte is there.
void check_suffix_kernels(const uint8_t *data, size_t n, const CpuFeatures &f) {
    static std::vector<uint8_t> content, unsafe;
    content.assign(n + 1, 0);
    unsafe.assign(n + 1, 0);
    bool backslash = false, high = false, bad = false;
    for (size_t i = n; i-- > 0;) {
        backslash |= data[i] == '\\';
        high |= data[i] >= 0x80;
        bad |= syntax::is_unsafe_in_cell(data[i]);
        content[i] = backslash ? HAS_BACKSLASH : high ? NON_ASCII : 0;
        unsafe[i] = bad;
    }
    const size_t step = n / 8 + 1;
    for (size_t start = 0; start <= n; start += start < 40 ? 1 : step) {
        const uint8_t *p = data + start;
        const size_t len = n - start;
        if (scan_content_words(p, len) != content[start])
            fail("scan_content_words", n, start);
        if (f.avx2 && len >= 32 && scan_content_avx2(p, len) != content[start])
            fail("scan_content_avx2", n, start);
        if (scan_content(p, len, f.avx2) != content[start])
            fail("scan_content", n, start);
        if (has_unsafe_byte(p, len) != (unsafe[start] != 0))
            fail("has_unsafe_byte", n, start);
        if (has_unsafe_byte_bytes(p, len) != (unsafe[start] != 0))
            fail("has_unsafe_byte_bytes", n, start);
    }
}

// ---- escapers -------------------------------------------------------------

// The escape table, one byte at a time.
std::string escape_reference(const uint8_t *data, size_t n) {
    static const char HEX[] = "0123456789abcdef";
    static const char NAMED[] = "\"\\\n\r\t\b\f", LETTER[] = "\"\\nrtbf";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = data[i];
        const char *named = c ? std::strchr(NAMED, c) : nullptr;
        if (named) {
            out += '\\';
            out += LETTER[named - NAMED];
        } else if (c < 0x20) {
            out += "\\u00";
            out += HEX[c >> 4];
            out += HEX[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

template <class Escaper>
void check_escaper(Escaper escape, const char *name, const uint8_t *data, size_t n,
                   const std::string &want) {
    OutputBuffer buf;
    // A prefix checks that the escaper appends and never rewrites earlier bytes.
    buf.put("<>", 2);
    escape(data, n, buf);
    const std::string got(reinterpret_cast<const char *>(buf.data()), buf.size());
    if (got.size() < 2 || got.compare(0, 2, "<>") != 0)
        fail(name, n, 0);
    if (got.compare(2, std::string::npos, want) != 0)
        fail(name, n, got.size() - 2);
}

void check_escapers(const uint8_t *data, size_t n, const CpuFeatures &f) {
    const std::string want = escape_reference(data, n);
    if (want.size() > 6 * n)
        fail("escape longer than six times its input", n, want.size());
    check_escaper(write_escaped_str_scalar, "write_escaped_str_scalar", data, n, want);
    if (f.avx2)
        check_escaper(write_escaped_str_avx2, "write_escaped_str_avx2", data, n, want);
    if (f.avx512bw)
        check_escaper(write_escaped_str_avx512, "write_escaped_str_avx512", data, n, want);
}

// ---- UTF-16 text ----------------------------------------------------------

// Strict UTF-8 within U+FFFF, one character at a time; empty on anything else.
bool utf16_reference(const uint8_t *s, size_t n, std::vector<uint16_t> &out) {
    for (size_t i = 0; i < n;) {
        const uint8_t c = s[i];
        const size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 0;
        if (len == 0 || n - i < len)
            return false;
        uint32_t u = len == 1 ? c : len == 2 ? (c & 0x1Fu) : (c & 0x0Fu);
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            u = (u << 6) | (s[i + k] & 0x3Fu);
        }
        if ((len == 2 && u < 0x80) || (len == 3 && (u < 0x800 || (u >= 0xD800 && u <= 0xDFFF))))
            return false;
        out.push_back(static_cast<uint16_t>(u));
        i += len;
    }
    return true;
}

void check_utf16(const uint8_t *data, size_t n) {
    std::vector<uint16_t> want;
    const bool valid = utf16_reference(data, n, want);
    std::vector<uint16_t> got(n + 1, 0xABCD); // the unit past n must stay untouched
    const size_t count = utf8_to_utf16_bmp(data, n, got.data());
    if (got[n] != 0xABCD)
        fail("utf8_to_utf16_bmp wrote past its room", n, n);
    if (!valid) {
        if (count != SIZE_MAX)
            fail("utf8_to_utf16_bmp accepted text it cannot hold", n, count);
        return;
    }
    if (count != want.size())
        fail("utf8_to_utf16_bmp unit count", n, count);
    if (count && std::memcmp(got.data(), want.data(), count * 2) != 0)
        fail("utf8_to_utf16_bmp units", n, 0);
}

// Latin-1: the same strict reading, accepted only when every unit is at most 0xFF.
void check_latin1(const uint8_t *data, size_t n) {
    std::vector<uint16_t> want;
    bool fits = utf16_reference(data, n, want);
    for (uint16_t u : want)
        fits = fits && u <= 0xFF;
    std::vector<uint8_t> got(n + 1, 0xAB); // the byte past n must stay untouched
    const size_t count = utf8_to_latin1(data, n, got.data());
    if (got[n] != 0xAB)
        fail("utf8_to_latin1 wrote past its room", n, n);
    if (!fits) {
        if (count != SIZE_MAX)
            fail("utf8_to_latin1 accepted text it cannot hold", n, count);
        return;
    }
    if (count != want.size())
        fail("utf8_to_latin1 byte count", n, count);
    for (size_t i = 0; i < count; ++i)
        if (got[i] != want[i])
            fail("utf8_to_latin1 bytes", n, i);
}

void check_all(const uint8_t *data, size_t n, const CpuFeatures &f, const Reference &want) {
    check_scanners(data, n, f, want);
    check_whitespace(data, n, f);
    check_suffix_kernels(data, n, f);
    check_escapers(data, n, f);
    check_utf16(data, n);
    check_latin1(data, n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        const CpuFeatures f = cpu_features();
        check_all(region().flush_end(data, 0), 0, f, Reference(data, 0));
        return 0;
    }
    const CpuFeatures f = cpu_features();
    // The first byte picks the mapping; the rest is the input.
    const uint8_t mode = data[0] % 4;
    ++data;
    --size;
    if (size > MAX_INPUT)
        size = MAX_INPUT;
    std::string mapped;
    if (mode == 1 || mode == 2) {
        const uint8_t *alphabet = mode == 1 ? WS_ALPHABET : STRUCT_ALPHABET;
        const size_t k = mode == 1 ? sizeof WS_ALPHABET : sizeof STRUCT_ALPHABET;
        mapped.resize(size);
        for (size_t i = 0; i < size; ++i)
            mapped[i] = static_cast<char>(alphabet[data[i] % k]);
        data = reinterpret_cast<const uint8_t *>(mapped.data());
    }
    const Reference want(data, size);
    Guarded &g = region();
    check_all(g.flush_end(data, size), size, f, want);
    check_all(g.flush_start(data, size), size, f, want);
    return 0;
}

#include "host/buffer_view.hpp"

#include <cctype>

namespace host {
namespace {

const char *element_name(element_kind kind) {
    switch (kind) {
        case element_kind::float64: return "float64_t";
        case element_kind::int64: return "int64_t";
        case element_kind::object: return "unicode object";
    }
    return "";
}

// How the dtype messages name what a buffer format holds.
const char *describe_format_char(char code, bool is_complex) {
    switch (code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return is_complex ? "'complex float'" : "'float'";
        case 'd': return is_complex ? "'complex double'" : "'double'";
        case 'g': return is_complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        case 0: return "end";
        default: return "unparsable format string";
    }
}

[[noreturn]] void raise_dtype_mismatch(element_kind kind, const char *got) {
    raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",  // pinned
                 element_name(kind), "'", got);
}

// Checks a struct-module style format string against the one element
// type a view accepts: an optional byte-order prefix, an optional count of
// 1, and a single type code.
void check_format(const char *format, element_kind kind) {
    if (format == nullptr) format = "B";  // the protocol's default: unsigned bytes
    bool standard_sizes = false;
    bool swapped = false;  // big-endian data: its values cannot be read in place
    switch (*format) {
        case '@': case '^': ++format; break;
        case '=': case '<': standard_sizes = true; ++format; break;
        case '>': case '!': standard_sizes = swapped = true; ++format; break;
        default: break;
    }
    bool counted = false;
    long count = 0;
    while (std::isdigit(static_cast<unsigned char>(*format))) {
        counted = true;
        count = count * 10 + (*format++ - '0');
    }
    bool is_complex = false;
    if (*format == 'Z') {
        is_complex = true;
        ++format;
    }
    const char code = *format;
    const char *got = describe_format_char(code, is_complex);
    const bool single = (!counted || count == 1) && code != 0 && format[1] == 0 && !is_complex;
    bool matches = false;
    switch (kind) {
        case element_kind::float64: matches = code == 'd'; break;
        case element_kind::int64: matches = code == 'q' || (code == 'l' && !standard_sizes && sizeof(long) == 8); break;
        case element_kind::object: matches = code == 'O'; break;
    }
    if (swapped && single && matches) raise_dtype_mismatch(kind, "big-endian data");
    if (!single || !matches) raise_dtype_mismatch(kind, got);
}

Py_ssize_t element_size(element_kind kind) {
    return kind == element_kind::object ? Py_ssize_t(sizeof(PyObject *)) : 8;
}

}  // namespace

bool acquire_buffer(Py_buffer &buffer, PyObject *object, element_kind kind, int ndim, bool writable) {
    if (object == Py_None) return false;
    const int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    require_status(PyObject_GetBuffer(object, &buffer, flags));
    try {
        if (buffer.ndim != ndim) {
            raise_format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",  // pinned
                         ndim, buffer.ndim);
        }
        check_format(buffer.format, kind);
        if (buffer.itemsize != element_size(kind)) {
            raise_dtype_mismatch(kind, describe_format_char(buffer.format ? buffer.format[0] : 'B', false));
        }
    } catch (...) {
        PyBuffer_Release(&buffer);
        throw;
    }
    return true;
}

void raise_out_of_bounds(int axis) {
    raise_format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);  // pinned
}

}  // namespace host

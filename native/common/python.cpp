// Shared boundary helpers: traceback entries, buffer checks, version warning.
#include "arrays.hpp"

#include <frameobject.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace vostra {

namespace {
PyObject *traceback_globals = nullptr;  // borrowed: the module dict lives for the process
}

PyObject *GlobalName::lookup(PyObject *dict) const {
    if (!key_) {
        key_ = PyUnicode_InternFromString(text_);
        if (!key_) throw_py();
    }
#if PY_VERSION_HEX < 0x030C0000
    // A namespace gets a new version tag with every change, so an unchanged
    // tag means the name still binds (and the namespace still holds) the
    // value found last time. A run looks names up once per trade.
    std::uint64_t tag = reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
    if (dict == cached_dict_ && tag == cached_tag_) return cached_;
#endif
    PyObject *v = PyDict_GetItemWithError(dict, key_);
#if PY_VERSION_HEX < 0x030C0000
    if (v) {
        cached_dict_ = dict;
        cached_tag_ = tag;
        cached_ = v;
    }
#endif
    if (!v && !PyErr_Occurred()) {
        if (PyObject *builtins = PyEval_GetBuiltins()) v = PyDict_GetItemWithError(builtins, key_);
        if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", text_);
    }
    if (!v) throw_py();
    return v;
}

void set_traceback_globals(PyObject *module_dict) { traceback_globals = module_dict; }

void add_traceback(const char *qualname, const char *file) {
    // Code objects are cached per function: a failing run in a sweep adds one
    // entry per exception, not one allocation of names per entry.
    static std::map<std::string, PyCodeObject *> codes;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject *code = nullptr;
    auto it = codes.find(qualname);
    if (it != codes.end()) {
        code = it->second;
    } else {
        code = PyCode_NewEmpty(file, qualname, 1);
        if (code) codes.emplace(qualname, code);
    }
    PyObject *globals = traceback_globals;
    Ref fallback;
    if (!globals) {
        fallback = Ref::steal(PyDict_New());
        globals = fallback.get();
    }
    PyFrameObject *frame = (code && globals) ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    // A failure to build the entry must not replace the exception being reported.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

int check_binary_version(const char *module_name) {
    int rt_major = 0, rt_minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &rt_major, &rt_minor);
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", rt_major, rt_minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

void raise_buffer_index(int axis) {
    raisef(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
}

namespace {

const char *elem_name(Elem e) {
    switch (e) {
        case Elem::f64: return "float64_t";
        case Elem::i64: return "int64_t";
        case Elem::object: return "object";
        case Elem::const_i64: return "const int64_t";
    }
    return "?";
}

bool descr_matches(PyArray_Descr *d, Elem e) {
    if (d->byteorder == '>') return false;
    switch (e) {
        case Elem::f64: return d->type_num == NPY_DOUBLE;
        case Elem::i64:
        case Elem::const_i64: return d->kind == 'i' && PyDataType_ELSIZE(d) == 8;
        case Elem::object: return d->type_num == NPY_OBJECT;
    }
    return false;
}

// How a buffer format character is named in a dtype mismatch message.
const char *describe_type_char(char ch, bool complex) {
    switch (ch) {
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
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's':
        case 'p': return "a string";
        case 0: return "end";
        default: return "unparseable format string";
    }
}

// Type character of a format string after its byte-order prefix and count.
// Raises for a big-endian buffer, which this engine cannot read natively.
void raise_format_mismatch(const char *fmt, Elem expected) {
    const char *ts = fmt ? fmt : "B";
    bool complex = false;
    for (;; ++ts) {
        char c = *ts;
        if (c == '@' || c == '=' || c == '<' || c == '^' || (c >= '0' && c <= '9')) continue;
        if (c == '>' || c == '!') raise(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        if (c == 'Z') {
            complex = true;
            continue;
        }
        break;
    }
    char ch = *ts == 'T' && ts[1] == '{' ? 'T' : *ts;
    raisef(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", elem_name(expected), "'",
           describe_type_char(ch, complex));
}

void check_buffer(const Py_buffer &b, Elem elem, int ndim) {
    if (b.ndim != ndim)
        raisef(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, b.ndim);
    const char *fmt = b.format ? b.format : "B";
    const char *ts = fmt;
    while (*ts == '@' || *ts == '=' || *ts == '<') ++ts;
    bool ok = false;
    switch (elem) {
        case Elem::f64: ok = (*ts == 'd' && ts[1] == 0 && b.itemsize == 8); break;
        case Elem::i64:
        case Elem::const_i64: ok = ((*ts == 'l' || *ts == 'q') && ts[1] == 0 && b.itemsize == 8); break;
        case Elem::object: ok = (*ts == 'O' && ts[1] == 0); break;
    }
    if (!ok) raise_format_mismatch(fmt, elem);
}

}  // namespace

void check_array(PyObject *arr, Elem elem, int ndim) {
    auto *a = reinterpret_cast<PyArrayObject *>(arr);
    if (PyArray_NDIM(a) == ndim && descr_matches(PyArray_DESCR(a), elem)) return;
    // Only a rejected array pays for a buffer export: it yields the exact
    // format that the messages describe (and NumPy's own error for dtypes it
    // cannot export at all).
    Py_buffer b;
    if (PyObject_GetBuffer(arr, &b, PyBUF_FORMAT | PyBUF_STRIDES) < 0) throw_py();
    try {
        check_buffer(b, elem, ndim);
    } catch (...) {
        PyBuffer_Release(&b);
        throw;
    }
    PyBuffer_Release(&b);
}

void get_checked_buffer(PyObject *obj, Py_buffer *view, Elem elem, int ndim) {
    if (PyObject_GetBuffer(obj, view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) throw_py();
    try {
        check_buffer(*view, elem, ndim);
    } catch (...) {
        PyBuffer_Release(view);
        throw;
    }
}

}  // namespace vostra

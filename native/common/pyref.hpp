// Owning references to Python objects and the C++ <-> Python error bridge.
//
// Native code below the Python boundary reports a failure by leaving a Python
// exception set and throwing `py_error`; each Python-visible entry point (and
// each exported recorder function) catches it and returns the C-level failure
// value, so no C++ exception ever crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kernel/views.hpp"

#include <cstdint>
#include <new>
#include <utility>

namespace vostra {

// Thrown after a Python exception has been set.
struct py_error {};

[[noreturn]] inline void throw_py() { throw py_error{}; }

// Sets a Python exception and throws.
[[noreturn]] inline void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw py_error{};
}

template <class... A>
[[noreturn]] void raisef(PyObject *type, const char *fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    throw py_error{};
}

inline void throw_if_error() {
    if (PyErr_Occurred()) throw py_error{};
}

// An owned (strong) reference. Constructed either by stealing a new reference
// or by borrowing (which increments); released on destruction.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject *o) noexcept { return Ref(o); }
    static Ref borrow(PyObject *o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    // Steals a new reference returned by a C-API call; throws when it is null.
    static Ref check(PyObject *o) {
        if (!o) throw py_error{};
        return Ref(o);
    }

    Ref(const Ref &o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref &operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

// Python truth test that throws on failure.
inline bool truth(PyObject *o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) throw py_error{};
    return r != 0;
}

inline Ref py_int(long long v) { return Ref::check(PyLong_FromLongLong(v)); }
inline Ref py_float(double v) { return Ref::check(PyFloat_FromDouble(v)); }

inline void list_append(PyObject *list, PyObject *item) {
    if (PyList_CheckExact(list)) {
        if (PyList_Append(list, item) < 0) throw py_error{};
        return;
    }
    Ref r = Ref::check(PyObject_CallMethod(list, "append", "O", item));
}

// A name looked up in a module namespace at every use (so rebinding the
// attribute takes effect at once), with its key interned on first use.
class GlobalName {
public:
    constexpr explicit GlobalName(const char *text) : text_(text) {}
    // Borrowed reference; NameError when neither the namespace nor the
    // builtins hold the name.
    PyObject *lookup(PyObject *dict) const;
    const char *text() const { return text_; }

private:
    const char *text_;
    mutable PyObject *key_ = nullptr;
    // Last value found, for the namespace and version tag it was found in.
    mutable PyObject *cached_dict_ = nullptr;
    mutable std::uint64_t cached_tag_ = 0;
    mutable PyObject *cached_ = nullptr;
};

// Adds a traceback entry "qualname" in source file "file" to the pending
// exception, the way the engine reports where a failure passed through.
void add_traceback(const char *qualname, const char *file);

// Sets the Python exception for the C++ exception being handled (a fault
// of the simulation body, or anything else) and throws py_error; call it
// only inside a catch handler. `pos_labels` names stocks in messages.
[[noreturn]] void raise_current_fault(const kernel::View1<PyObject *> &pos_labels);

// Runs `body`; a fault of the simulation body or an allocation failure
// becomes the pending Python exception and py_error.
template <class F>
decltype(auto) python_errors(const kernel::View1<PyObject *> &labels, F &&body) {
    try {
        return body();
    } catch (const py_error &) {
        throw;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        throw py_error{};
    } catch (...) {
        raise_current_fault(labels);
    }
}

// Runs `body` and converts a pending Python exception, a fault of the
// simulation body or an allocation failure into the C-level failure value
// `fail`, adding the traceback entry of the function.
template <class R, class F>
R firewall(const char *qualname, const char *file, R fail, const kernel::View1<PyObject *> &labels, F &&body) {
    try {
        return python_errors(labels, static_cast<F &&>(body));
    } catch (const py_error &) {
        add_traceback(qualname, file);
        return fail;
    }
}

template <class R, class F>
R firewall(const char *qualname, const char *file, R fail, F &&body) {
    return firewall(qualname, file, fail, kernel::View1<PyObject *>{}, static_cast<F &&>(body));
}

// Module dict whose globals the traceback frames of a module refer to.
void set_traceback_globals(PyObject *module_dict);

// Issues the warning for an interpreter whose major.minor differs from the one
// the module was compiled for.
int check_binary_version(const char *module_name);

}  // namespace vostra

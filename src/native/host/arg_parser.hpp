// Argument parsing for the fast calling convention (positional arguments
// plus a tuple of keyword names), with the host's own argument messages.
#pragma once

#include <initializer_list>
#include <vector>

#include "host/ref.hpp"

namespace host {

class keyword_table {
public:
    // The first `required` names are required; all may be given by position
    // or by keyword.
    keyword_table(const char *function_name, std::initializer_list<const char *> names, int required);

    Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(names_.size()); }

    // Fills values[0..size) with borrowed references, NULL where a parameter
    // was not given. Throws with the pending TypeError on a bad call.
    void parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **values) const;

private:
    void intern_names() const;
    Py_ssize_t find(PyObject *keyword, Py_ssize_t from) const;
    [[noreturn]] void raise_count(Py_ssize_t given) const;

    const char *function_name_;
    std::vector<const char *> names_;
    Py_ssize_t required_;
    // The names as interned strings, made on first use and held for the
    // life of the process. The array is never freed, so the strings stay
    // reachable after static destructors have run (as a leak checker at
    // exit must see them).
    mutable PyObject **interned_ = nullptr;
};

}  // namespace host

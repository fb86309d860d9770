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
    mutable std::vector<PyObject *> interned_;  // immortal for the process
};

}  // namespace host

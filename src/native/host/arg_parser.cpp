#include "host/arg_parser.hpp"

namespace host {

keyword_table::keyword_table(const char *function_name, std::initializer_list<const char *> names, int required)
    : function_name_(function_name), names_(names), required_(required) {}

void keyword_table::intern_names() const {
    if (interned_ != nullptr) return;
    std::vector<ref> made;
    made.reserve(names_.size());
    for (const char *name : names_) made.push_back(require(PyUnicode_InternFromString(name)));
    PyObject **kept = new PyObject *[made.size()];
    for (std::size_t i = 0; i < made.size(); ++i) kept[i] = made[i].release();
    interned_ = kept;
}

// Index of the parameter named `keyword` at or after `from`, or -1. Keyword
// names from the call are usually the interned names themselves, so the
// pointer comparison almost always decides.
Py_ssize_t keyword_table::find(PyObject *keyword, Py_ssize_t from) const {
    for (Py_ssize_t i = from; i < size(); ++i) {
        if (interned_[i] == keyword) return i;
    }
    for (Py_ssize_t i = from; i < size(); ++i) {
        const int equal = PyUnicode_Compare(interned_[i], keyword);
        if (equal == -1 && PyErr_Occurred()) throw_pending();
        if (equal == 0) return i;
    }
    return -1;
}

void keyword_table::raise_count(Py_ssize_t given) const {
    const Py_ssize_t maximum = size();
    const char *bound;
    Py_ssize_t expected;
    if (required_ == maximum) {
        bound = "exactly";
        expected = maximum;
    } else if (given < required_) {
        bound = "at least";
        expected = required_;
    } else {
        bound = "at most";
        expected = maximum;
    }
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function_name_,  // pinned
                 bound, expected, expected == 1 ? "" : "s", given);
}

void keyword_table::parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **values) const {
    intern_names();
    if (nargs > size()) raise_count(nargs);
    for (Py_ssize_t i = 0; i < size(); ++i) values[i] = i < nargs ? args[i] : nullptr;
    if (kwnames == nullptr) {
        if (nargs < required_) raise_count(nargs);
        return;
    }
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    PyObject *const *keyword_values = args + nargs;
    // Keywords that name a parameter are taken first; a missing required
    // parameter is reported before the first keyword that names none.
    PyObject *first_bad = nullptr;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = PyUnicode_Check(keyword) ? find(keyword, nargs) : -1;
        if (index >= 0) {
            values[index] = keyword_values[k];
        } else if (first_bad == nullptr) {
            first_bad = keyword;
        }
    }
    for (Py_ssize_t i = nargs; i < required_; ++i) {
        if (values[i] == nullptr) raise_count(i);
    }
    if (first_bad == nullptr) return;
    if (!PyUnicode_Check(first_bad)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name_);  // pinned
    } else if (find(first_bad, 0) >= 0) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function_name_,  // pinned
                     first_bad);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name_, first_bad);  // pinned
    }
    throw_pending();
}

}  // namespace host

// Iterators over objects whose items are fetched by position.
//
// Some classes accept every integer as an index (the index wraps around), so
// the interpreter's fallback iteration through __getitem__ would never end.
// Such a class gives itself a real iterator instead: it yields item 0, 1, ...
// until `fetch` reports the end.
#pragma once

#include <cstddef>

#include "binding/python.hpp"

namespace tpy {

// Item `i` of `source` as a new reference; null with no error set when `i`
// is past the end; may throw like any binding code.
using IndexFetch = PyObject* (*)(PyObject* source, std::size_t i);

// A new iterator over `source`, holding a reference to it until it runs out.
PyObject* index_iterator(PyObject* source, IndexFetch fetch);

}  // namespace tpy

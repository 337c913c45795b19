// Complex matrices to and from NumPy arrays.  NumPy's C API is imported on
// first use, not at module import.
#pragma once

#include "model/gate.hpp"
#include "binding/python.hpp"

namespace tpy {

// A two-dimensional complex128 array (or anything numpy.asarray turns into
// one), read through its strides.
tsl::GateMatrix matrix_from_numpy(PyObject* obj);
// A new column-major complex128 array holding exactly the stored floats.
PyObject* matrix_to_numpy(const tsl::GateMatrix& m);

}  // namespace tpy

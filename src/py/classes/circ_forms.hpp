// Helpers shared by the Python classes Circ and IdentityCirc.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "binding/class_builder.hpp"
#include "binding/index_iterator.hpp"
#include "classes/registry.hpp"
#include "model/instr32.hpp"
#include "base/panic.hpp"

namespace tpy {

// Instruction `idx` modulo the count, the remainder taken non-negative.
inline tsl::Instr32 instr_at(const std::vector<tsl::Instr32>& instrs, std::int64_t idx) {
    const auto n = static_cast<std::int64_t>(instrs.size());
    if (n == 0) tsl::panic("attempt to calculate the remainder with a divisor of zero");
    std::int64_t r = idx % n;
    if (r < 0) r += n;
    return instrs[static_cast<std::size_t>(r)];
}

// Iteration over the instructions of a T, each once, in order, as the
// indices 0 .. len-1 give them.  `Instrs` reads the instruction list (a data
// member, or a callable taking the value).
template <class T, auto Instrs>
PyObject* instrs_iter(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        return index_iterator(self, [](PyObject* source, std::size_t i) -> PyObject* {
            Shared<T> s(source);
            const std::vector<tsl::Instr32>& instrs = std::invoke(Instrs, s.get());
            return i < instrs.size() ? to_py(instrs[i]) : nullptr;
        });
    });
}

// All six comparisons through the value's total order; a foreign operand
// gives NotImplemented.
template <class T>
PyObject* ordered_richcompare(PyObject* a, PyObject* b, int op) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!is_instance<T>(a) || !is_instance<T>(b)) Py_RETURN_NOTIMPLEMENTED;
        Shared<T> x(a);
        Shared<T> y(b);
        const std::strong_ordering c = x.get() <=> y.get();
        bool r = false;
        switch (op) {
            case Py_LT: r = c < 0; break;
            case Py_LE: r = c <= 0; break;
            case Py_EQ: r = c == 0; break;
            case Py_NE: r = c != 0; break;
            case Py_GT: r = c > 0; break;
            case Py_GE: r = c >= 0; break;
            default: Py_RETURN_NOTIMPLEMENTED;
        }
        return to_py(r);
    });
}

}  // namespace tpy

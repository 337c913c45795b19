// Python forms of core values that are not classes of their own.
#pragma once

#include "binding/convert.hpp"
#include "model/instr32.hpp"
#include "model/permut32.hpp"

namespace tpy {

// A permutation is any integer sequence but `str` in, a tuple out.
template <>
struct FromPy<tsl::Permut32> {
    static tsl::Permut32 convert(PyObject* o) {
        return tsl::Permut32::from_iter(FromPy<std::vector<std::uint8_t>>::convert(o));
    }
};

template <>
struct ToPy<tsl::Permut32> {
    static PyObject* convert(tsl::Permut32 p) {
        std::uint8_t entries[8];
        std::size_t n = 0;
        for (std::uint8_t v : p) entries[n++] = v;
        return int_tuple(std::span<const std::uint8_t>(entries, n));
    }
};

// Raw bytes as a Python `bytes` object.
struct Bytes {
    std::string data;
};
inline PyObject* to_py(const Bytes& b) {
    return check(PyBytes_FromStringAndSize(b.data.data(), static_cast<Py_ssize_t>(b.data.size())));
}

}  // namespace tpy

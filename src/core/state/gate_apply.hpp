// In-place kernels of the nine common gates (h, x, z, s, sdg, t, tdg, cx,
// swap).  `gate_kernel` is their one table, by gate index: `StateVec::apply`
// looks each gate up there, and callers that apply the same gate many times
// can look its kernel up once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/gate.hpp"

namespace tsl {

class StateVec;

// A kernel takes exactly its gate's number of qubits (1, or 2 for cx and
// swap; anything else panics), checks them against the state and then
// updates only the amplitudes the gate changes.
using GateKernel = void (*)(StateVec& state, const std::uint8_t* qubits, std::size_t nargs);

void perform_h_gate(StateVec& state, const std::uint8_t* qubits, std::size_t nargs);
void perform_x_gate(StateVec& state, const std::uint8_t* qubits, std::size_t nargs);
void perform_z_gate(StateVec& state, const std::uint8_t* qubits, std::size_t nargs);
void perform_s_gate(StateVec& state, const std::uint8_t* qubits, std::size_t nargs);
void perform_sdg_gate(StateVec& state, const std::uint8_t* qubits, std::size_t nargs);
void perform_t_gate(StateVec& state, const std::uint8_t* qubits, std::size_t nargs);
void perform_tdg_gate(StateVec& state, const std::uint8_t* qubits, std::size_t nargs);
// Argument 0 is the control, argument 1 the target.
void perform_cx_gate(StateVec& state, const std::uint8_t* qubits, std::size_t nargs);
void perform_swap_gate(StateVec& state, const std::uint8_t* qubits, std::size_t nargs);

// The kernel of a gate, or nullptr when the gate goes through the dense
// product.  Gates are deduplicated by matrix, so a user gate equal to one of
// the nine is that gate and has its kernel.
GateKernel gate_kernel(Gate16 gate);

}  // namespace tsl

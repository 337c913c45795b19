#include "model/swap_network.hpp"

#include "model/instr32.hpp"

namespace tsl {

void append_swap_instrs(Permut32 p, std::vector<Instr32>& out) {
    for (SwapPair s : p.generate_swaps()) out.emplace_back(gates::SWAP, s.a, s.b);
}

}  // namespace tsl

#include "identity/circ_view.hpp"

#include <bit>
#include <cstdint>

namespace tsl {

std::size_t CircFastHash::operator()(const CircView& c) const noexcept {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ c.instrs.size();
    h = (h ^ c.perm.raw) * 0xBF58476D1CE4E5B9ULL;
    for (const Instr32& in : c.instrs) h = std::rotl(h ^ std::bit_cast<std::uint32_t>(in), 27) * 0x94D049BB133111EBULL;
    h ^= h >> 31;
    return static_cast<std::size_t>(h);
}

}  // namespace tsl

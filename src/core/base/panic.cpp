#include "base/panic.hpp"

namespace tsl {

void panic_index_oob(std::size_t len, std::size_t index) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
          std::to_string(index));
}

}  // namespace tsl

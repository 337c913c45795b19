// Nanoseconds per gate application on 3 and 5 qubits, for a kernel gate
// (h, cx) and for gates that go through the dense product (y, cz).
//
// usage: bench_gates [applications per case, default 20000000]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "state/random.hpp"
#include "state/state_vec.hpp"

using namespace tsl;

namespace {

double ns_per_application(unsigned n, Gate16 gate, long reps) {
    auto rng = ChaCha12Rng::from_os_rng();
    StateVec s = StateVec::from_random(rng, n);
    const unsigned k = gate.nqargs();
    std::uint8_t q[2] = {0, 1};
    const auto t0 = std::chrono::steady_clock::now();
    for (long r = 0; r < reps; ++r) {
        q[0] = static_cast<std::uint8_t>(r % n);
        q[1] = static_cast<std::uint8_t>((r + 1) % n);
        s.apply(q, k, gate);
    }
    const auto t1 = std::chrono::steady_clock::now();
    // keep the result alive
    if (s.hash_value() == 42) std::puts("");
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(reps);
}

}  // namespace

int main(int argc, char** argv) {
    const long reps = argc > 1 ? std::atol(argv[1]) : 20000000;
    std::printf("%-8s %-8s %7s %12s\n", "qubits", "gate", "path", "ns/apply");
    const struct {
        const char* name;
        Gate16 gate;
        const char* path;
    } cases[] = {{"h", gates::H, "kernel"}, {"cx", gates::CX, "kernel"}, {"y", gates::Y, "dense"},
                 {"cz", gates::CZ, "dense"}};
    for (unsigned n : {3u, 5u})
        for (const auto& c : cases)
            std::printf("%-8u %-8s %7s %12.2f\n", n, c.name, c.path, ns_per_application(n, c.gate, reps));
    return 0;
}

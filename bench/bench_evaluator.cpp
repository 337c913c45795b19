// Evaluations per second of the evaluator on random circuits of 3 to 5
// instructions, on 3 and 5 qubits, through the allocation-free workspace
// path the search uses.
//
// usage: bench_evaluator [seconds per case, default 1]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "search/evaluator.hpp"

using namespace tsl;

namespace {

// The gate set of a typical search: Clifford+T kernels and two dense gates.
const Gate16 kGates1[] = {gates::H, gates::X, gates::S, gates::SDG, gates::T, gates::TDG, gates::Y};
const Gate16 kGates2[] = {gates::CX, gates::CZ};

std::vector<Instr32> random_circuit(std::mt19937& g, unsigned n, unsigned size) {
    std::vector<Instr32> c;
    for (unsigned k = 0; k < size; ++k) {
        const auto a = static_cast<std::uint8_t>(g() % n);
        if (g() % 3 == 0) {
            auto b = static_cast<std::uint8_t>(g() % (n - 1));
            if (b >= a) ++b;
            c.push_back(Instr32(kGates2[g() % std::size(kGates2)], a, b));
        } else {
            c.push_back(Instr32(kGates1[g() % std::size(kGates1)], a));
        }
    }
    return c;
}

void run(unsigned n, double seconds) {
    ChaCha12Rng::Seed seed{};
    seed[0] = static_cast<std::uint8_t>(n);
    ChaCha12Rng rng(seed);
    const Evaluator ev = Evaluator::from_random(rng, n);

    std::mt19937 g(1234 + n);
    std::vector<std::vector<Instr32>> circuits;
    for (int i = 0; i < 4096; ++i) circuits.push_back(random_circuit(g, n, 3 + g() % 3));

    Evaluation out;
    std::uint64_t sink = 0;
    std::size_t pairs = 0;
    for (const auto& c : circuits) sink ^= ev.evaluate_multiple(c, out);  // warm-up

    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    std::size_t done = 0;
    double elapsed = 0.0;
    do {
        for (const auto& c : circuits) {
            sink ^= ev.evaluate_multiple(c, out);
            pairs += out.pairs().size();
        }
        done += circuits.size();
        elapsed = std::chrono::duration<double>(clock::now() - start).count();
    } while (elapsed < seconds);

    std::printf("%u qubits, 3-5 instructions: %.0f evaluations/s (%.1f ns each, %.2f pairs on average) [%llx]\n", n,
                done / elapsed, 1e9 * elapsed / done, double(pairs) / done, static_cast<unsigned long long>(sink & 0xF));
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    run(3, seconds);
    run(5, seconds);
    return 0;
}

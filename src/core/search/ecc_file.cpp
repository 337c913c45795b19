#include "search/ecc_file.hpp"

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "model/file_io.hpp"
#include "model/gate.hpp"
#include "model/postcard.hpp"

namespace tsl {

namespace {

// Counts read from a file reserve at most this many elements up front; the
// vectors grow as data actually arrives.
constexpr std::uint64_t kReserveCap = 4096;

std::size_t capped(std::uint64_t n) { return static_cast<std::size_t>(std::min(n, kReserveCap)); }

// Display names of the gates written by one save, each checked once.
class NameCache {
public:
    const std::string& name(Gate16 g) {
        if (last_ && g == last_gate_) return *last_;
        auto it = names_.find(g.index());
        if (it == names_.end()) {
            g.check_serializable();
            it = names_.emplace(g.index(), &g.display()).first;
        }
        last_gate_ = g;
        last_ = it->second;
        return *last_;
    }

private:
    std::unordered_map<std::uint16_t, const std::string*> names_;
    Gate16 last_gate_{};
    const std::string* last_ = nullptr;
};

// Gates found by one load.  The table only grows and a name resolves to its
// first entry, so a hit stays valid; a miss panics and is never stored.
class GateCache {
public:
    Gate16 lookup(const std::string& name) {
        auto it = gates_.find(name);
        if (it != gates_.end()) return it->second;
        const Gate16 g = Gate16::from_serial_name(name);
        gates_.emplace(name, g);
        return g;
    }

private:
    std::unordered_map<std::string, Gate16> gates_;
};

void encode(const ECCs& eccs, PostcardWriter& w) {
    NameCache names;
    w.varint(eccs.eccs.size());
    for (const ECC& ecc : eccs.eccs) {
        w.varint(ecc.circs.size());
        for (const EccCircuit& c : ecc.circs) {
            w.varint(c.first.size());
            for (const Instr32& in : c.first) {
                w.str(names.name(in.gate()));
                w.u8(in.qargs().raw[0]);
                w.u8(in.qargs().raw[1]);
            }
            w.varint(c.second.raw);
        }
    }
    w.varint(eccs.nqubits);
    w.flush();
}

ECCs decode(PostcardReader& r) {
    GateCache gates;
    ECCs out;
    const std::uint64_t nclasses = r.varint_u64();
    out.eccs.reserve(capped(nclasses));
    for (std::uint64_t i = 0; i < nclasses; ++i) {
        ECC ecc;
        const std::uint64_t ncircs = r.varint_u64();
        ecc.circs.reserve(capped(ncircs));
        for (std::uint64_t j = 0; j < ncircs; ++j) {
            std::vector<Instr32> instrs;
            const std::uint64_t ninstrs = r.varint_u64();
            instrs.reserve(capped(ninstrs));
            for (std::uint64_t k = 0; k < ninstrs; ++k) {
                const Gate16 g = gates.lookup(r.str());
                const std::uint8_t q0 = r.u8();
                const std::uint8_t q1 = r.u8();
                instrs.emplace_back(g, QArgs16(q0, q1));
            }
            const Permut32 perm(r.varint_u32());
            ecc.circs.emplace_back(std::move(instrs), perm);
        }
        out.eccs.push_back(std::move(ecc));
    }
    out.nqubits = r.varint_u64();
    return out;
}

}  // namespace

void save_eccs_postcard(const ECCs& eccs, const std::string& path) {
    std::unique_ptr<AtomicWriteFile> file;
    try {
        file = std::make_unique<AtomicWriteFile>(path);
    } catch (const OsError& e) {
        throw FileError(FileError::Os, std::string("Failed to create file: ") + e.what());
    }
    auto writer = std::make_unique<PostcardWriter>(*file);
    try {
        encode(eccs, *writer);
        if (!file->close()) throw PostcardError(PostcardError::WriteFull);
    } catch (const PostcardError& e) {
        throw FileError(FileError::Data, std::string("Failed to write postcard data: ") + e.what());
    } catch (const AmbiguousGateName& e) {
        throw FileError(FileError::Data, std::string("Failed to write postcard data: ") + e.what());
    }
    try {
        file->commit();
    } catch (const OsError& e) {
        throw FileError(FileError::Os, std::string("Failed to create file: ") + e.what());
    }
}

ECCs load_eccs_postcard(const std::string& path) {
    std::unique_ptr<ReadFile> file;
    try {
        file = std::make_unique<ReadFile>(path);
    } catch (const OsError& e) {
        throw FileError(FileError::Os, std::string("Failed to open file: ") + e.what());
    }
    auto reader = std::make_unique<PostcardReader>(*file);
    try {
        return decode(*reader);
    } catch (const PostcardError& e) {
        throw FileError(FileError::Data, std::string("Failed to read postcard data: ") + e.what());
    }
}

}  // namespace tsl

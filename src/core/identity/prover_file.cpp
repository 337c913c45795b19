#include "identity/prover_file.hpp"

#include <algorithm>
#include <memory>

#include "identity/circ_serial.hpp"
#include "model/file_io.hpp"
#include "model/gate.hpp"
#include "model/postcard.hpp"

namespace tsl {

namespace {

// Counts read from a file reserve at most this many elements up front.
constexpr std::uint64_t kReserveCap = 4096;

void encode(const IdentityProver& p, PostcardWriter& w) {
    GateNameCache names;
    w.varint(p.assume.size());
    for (const IdentityCirc& id : p.assume) write_identity(w, id, names);
    w.varint(p.proved.size());
    p.proved.for_each_offset([&](IdentitySet::Offset off) { write_identity(w, p.proved.at(off), names); });
    w.varint(p.circ_map.size());
    for (const auto& [key, list] : p.circ_map.entries()) {
        write_circ(w, key, names);
        w.varint(list.size());
        for (const Circ& c : list) write_circ(w, c, names);
    }
    w.flush();
}

IdentityProver decode(PostcardReader& r) {
    GateLookupCache gates;
    IdentityProver p;
    const std::uint64_t n = r.varint_u64();
    p.assume.reserve(static_cast<std::size_t>(std::min(n, kReserveCap)));
    for (std::uint64_t i = 0; i < n; ++i) p.assume.push_back(read_identity(r, gates));
    const std::uint64_t m = r.varint_u64();
    for (std::uint64_t i = 0; i < m; ++i) p.proved.insert(read_identity(r, gates));
    const std::uint64_t k = r.varint_u64();
    for (std::uint64_t i = 0; i < k; ++i) {
        Circ key = read_circ(r, gates);
        const std::uint64_t j = r.varint_u64();
        std::vector<Circ> list;
        list.reserve(static_cast<std::size_t>(std::min(j, kReserveCap)));
        for (std::uint64_t x = 0; x < j; ++x) list.push_back(read_circ(r, gates));
        p.circ_map.insert(std::move(key), std::move(list));
    }
    return p;
}

}  // namespace

void save_prover_postcard(const IdentityProver& prover, const std::string& path) {
    std::unique_ptr<AtomicWriteFile> file;
    try {
        file = std::make_unique<AtomicWriteFile>(path);
    } catch (const OsError& e) {
        throw FileError(FileError::Os, std::string("Failed to create file: ") + e.what());
    }
    auto writer = std::make_unique<PostcardWriter>(*file);
    try {
        encode(prover, *writer);
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

IdentityProver load_prover_postcard(const std::string& path) {
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

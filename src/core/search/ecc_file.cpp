#include "search/ecc_file.hpp"

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "model/file_io.hpp"
#include "model/gate.hpp"
#include "model/postcard.hpp"
#include "model/serial_forms.hpp"

namespace tsl {

namespace {

void encode(const ECCs& eccs, PostcardWriter& w) {
    GateNameCache names;
    w.varint(eccs.eccs.size());
    for (const ECC& ecc : eccs.eccs) {
        w.varint(ecc.circs.size());
        for (const EccCircuit& c : ecc.circs) {
            write_instrs(w, c.first, names);
            write_permut(w, c.second);
        }
    }
    w.varint(eccs.nqubits);
    w.flush();
}

ECCs decode(PostcardReader& r) {
    GateLookupCache gates;
    ECCs out;
    const std::uint64_t nclasses = r.varint_u64();
    out.eccs.reserve(capped_reserve(nclasses));
    for (std::uint64_t i = 0; i < nclasses; ++i) {
        ECC ecc;
        const std::uint64_t ncircs = r.varint_u64();
        ecc.circs.reserve(capped_reserve(ncircs));
        for (std::uint64_t j = 0; j < ncircs; ++j) {
            std::vector<Instr32> instrs = read_instrs(r, gates);
            const Permut32 perm = read_permut(r);
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

#include "search/quartz.hpp"

#include <algorithm>
#include <charconv>
#include <memory>
#include <unordered_map>

#include "base/file_io.hpp"
#include "model/gate.hpp"
#include "model/swap_network.hpp"

namespace tsl {

void append_json_string(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

namespace {

void append_uint(std::string& out, std::uint64_t v, int base = 10) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v, base);
    out.append(buf, r.ptr);
}

// Quoted, escaped display names, each gate checked once.
class JsonNames {
public:
    const std::string& get(Gate16 g) {
        auto it = names_.find(g.index());
        if (it == names_.end()) {
            g.check_serializable();
            std::string s;
            append_json_string(s, g.display());
            it = names_.emplace(g.index(), std::move(s)).first;
        }
        return it->second;
    }

private:
    std::unordered_map<std::uint16_t, std::string> names_;
};

struct Member {
    std::string key;
    std::uint32_t cls;   // position in eccs
    std::uint32_t ref;   // circuit whose permutation is the reference
};

// The reference circuit of every variant of `ecc`, in order: each circuit
// not yet covered by an earlier variant opens one and covers every circuit
// whose permutation, taken relative to its own, is the identity.
void find_variants(const ECC& ecc, std::vector<char>& covered, std::vector<std::uint32_t>& refs) {
    const std::size_t n = ecc.circs.size();
    covered.assign(n, 0);
    refs.clear();
    for (std::size_t r = 0; r < n; ++r) {
        if (covered[r]) continue;
        const Permut32 inv = ecc.circs[r].perm.inv();
        for (std::size_t k = 0; k < n; ++k)
            if ((inv * ecc.circs[k].perm).is_identity()) covered[k] = 1;
        refs.push_back(static_cast<std::uint32_t>(r));
    }
}

void append_qubits(std::string& out, const Instr32& in) {
    out += '[';
    bool first = true;
    for (std::uint8_t q : in.qargs()) {
        if (!first) out += ',';
        first = false;
        out += "\"Q";
        append_uint(out, q);
        out += '"';
    }
    out += ']';
}

void append_circuit(std::string& out, const std::vector<Instr32>& instrs, JsonNames& names) {
    std::uint8_t largest = 0;
    for (const Instr32& in : instrs) largest = std::max(largest, in.largest_qubit());
    out += "[[";
    append_uint(out, std::uint64_t{largest} + 1);
    out += ',';
    append_uint(out, instrs.size());
    out += "],[";
    for (std::size_t i = 0; i < instrs.size(); ++i) {
        if (i) out += ',';
        out += '[';
        out += names.get(instrs[i].gate());
        out += ',';
        append_qubits(out, instrs[i]);
        out += ',';
        append_qubits(out, instrs[i]);
        out += ']';
    }
    out += "]]";
}

}  // namespace

std::string quartz_document(const ECCs& eccs) {
    JsonNames names;
    std::vector<Member> members;
    std::vector<char> covered;
    std::vector<std::uint32_t> refs;

    // First pass, in collection order: the variants of every written class
    // (the permutation products panic on a length mismatch) and the names
    // of its gates.
    for (std::size_t i = 0; i < eccs.eccs.size(); ++i) {
        const ECC& ecc = eccs.eccs[i];
        if (ecc.size() < 2) continue;
        find_variants(ecc, covered, refs);
        for (const EccCircuit& c : ecc.circs)
            for (const Instr32& in : c.instrs) names.get(in.gate());
        names.get(gates::SWAP);
        std::string prefix;
        append_uint(prefix, i, 16);
        prefix += '_';
        for (std::size_t j = 0; j < refs.size(); ++j) {
            std::string key = prefix;
            append_uint(key, j);
            members.push_back({std::move(key), static_cast<std::uint32_t>(i), refs[j]});
        }
    }
    std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.key < b.key; });

    // Second pass, in key order: the member texts.
    std::string out = "[[[0],[0]],{";
    std::vector<Instr32> buf;
    for (std::size_t m = 0; m < members.size(); ++m) {
        const Member& mem = members[m];
        const ECC& ecc = eccs.eccs[mem.cls];
        if (m) out += ',';
        append_json_string(out, mem.key);
        out += ":[";
        const Permut32 inv = ecc.circs[mem.ref].perm.inv();
        for (std::size_t k = 0; k < ecc.circs.size(); ++k) {
            if (k) out += ',';
            buf.clear();
            append_materialized(ecc.circs[k], inv, buf);
            append_circuit(out, buf, names);
        }
        out += ']';
    }
    out += "}]";
    return out;
}

void dump_quartz(const ECCs& eccs, const std::string& path) {
    std::string doc;
    try {
        doc = quartz_document(eccs);
    } catch (const AmbiguousGateName& e) {
        throw FileError(FileError::Data, std::string("Failed to write JSON: ") + e.what());
    }
    const std::unique_ptr<AtomicWriteFile> file = open_save(path);
    if (!file->write_all(doc.data(), doc.size()) || !file->finish() || !commit_save(*file)) {
        const std::string why =
            file->wrote_zero() ? std::string("failed to write whole buffer") : OsError::from_errno(file->last_errno()).what();
        throw FileError(FileError::Data, "Failed to write JSON: " + why);
    }
}

}  // namespace tsl

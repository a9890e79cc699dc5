#include "commit_journal.h"

#include <cstring>

#include "byteorder.h"

namespace orvala {

namespace {

constexpr char kMagic[8] = {'O', 'R', 'V', 'C', 'M', 'T', '0', '1'};

uint64_t fnv1a(std::span<const uint8_t> bytes) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ULL;
    }
    return h;
}

void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    out.resize(out.size() + 2);
    store_u16(out.data() + out.size() - 2, v, true);
}
void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    out.resize(out.size() + 4);
    store_u32(out.data() + out.size() - 4, v, true);
}
void put_u64(std::vector<uint8_t>& out, uint64_t v) {
    out.resize(out.size() + 8);
    store_u64(out.data() + out.size() - 8, v, true);
}
void put_name(std::vector<uint8_t>& out, const std::string& name) {
    put_u16(out, static_cast<uint16_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
}

// A cursor that refuses to read past the end.
class Cursor {
public:
    explicit Cursor(std::span<const uint8_t> b) : b_(b) {}
    size_t remaining() const { return b_.size() - pos_; }
    bool take(size_t n, const uint8_t*& p) {
        if (n > remaining()) return false;
        p = b_.data() + pos_;
        pos_ += n;
        return true;
    }
    bool u8(uint8_t& v) {
        const uint8_t* p;
        if (!take(1, p)) return false;
        v = *p;
        return true;
    }
    bool u16(uint16_t& v) {
        const uint8_t* p;
        if (!take(2, p)) return false;
        v = load_u16(p, true);
        return true;
    }
    bool u32(uint32_t& v) {
        const uint8_t* p;
        if (!take(4, p)) return false;
        v = load_u32(p, true);
        return true;
    }
    bool u64(uint64_t& v) {
        const uint8_t* p;
        if (!take(8, p)) return false;
        v = load_u64(p, true);
        return true;
    }
    bool name(std::string& s) {
        uint16_t n;
        const uint8_t* p;
        if (!u16(n) || !take(n, p)) return false;
        s.assign(reinterpret_cast<const char*>(p), n);
        return true;
    }

private:
    std::span<const uint8_t> b_;
    size_t pos_ = 0;
};

}  // namespace

bool is_commit_file_name(std::string_view name, bool patch) {
    if (name.empty() || name.size() > 255) return false;
    if (name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos) return false;
    if (name == "table.dat") return true;
    if (patch && name == "table.lock") return true;
    return name.starts_with("table.f");
}

std::vector<uint8_t> encode_commit_journal(std::span<const CommitStep> steps) {
    size_t size = 8 + 4 + 8;
    for (const auto& s : steps) size += 1 + 2 + s.name.size() + (s.kind == CommitStep::Kind::Patch ? 24 + s.bytes.size() : 0);
    std::vector<uint8_t> out;
    out.reserve(size);
    out.insert(out.end(), kMagic, kMagic + 8);
    put_u32(out, static_cast<uint32_t>(steps.size()));
    for (const auto& s : steps) {
        out.push_back(static_cast<uint8_t>(s.kind));
        put_name(out, s.name);
        if (s.kind == CommitStep::Kind::Patch) {
            put_u64(out, s.file_size);
            put_u64(out, s.offset);
            put_u64(out, s.bytes.size());
            out.insert(out.end(), s.bytes.begin(), s.bytes.end());
        }
    }
    put_u64(out, fnv1a(out));
    return out;
}

std::expected<std::vector<CommitStep>, std::string> decode_commit_journal(std::span<const uint8_t> bytes) {
    auto bad = [](std::string what) { return std::unexpected("damaged commit journal: " + std::move(what)); };
    if (bytes.size() < 20 || std::memcmp(bytes.data(), kMagic, 8) != 0) return bad("no journal header");
    auto body = bytes.first(bytes.size() - 8);
    if (load_u64(bytes.data() + body.size(), true) != fnv1a(body)) return bad("checksum mismatch");
    Cursor c(body.subspan(8));
    uint32_t count;
    c.u32(count);
    // Each step takes at least 3 bytes.
    if (count > c.remaining() / 3) return bad("step count beyond the data");
    std::vector<CommitStep> steps;
    steps.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        CommitStep s;
        uint8_t kind;
        if (!c.u8(kind) || !c.name(s.name)) return bad("truncated step");
        if (kind < 1 || kind > 3) return bad("unknown step kind " + std::to_string(kind));
        s.kind = static_cast<CommitStep::Kind>(kind);
        if (!is_commit_file_name(s.name, s.kind == CommitStep::Kind::Patch)) return bad("not a table file name");
        if (s.kind == CommitStep::Kind::Patch) {
            uint64_t len;
            const uint8_t* p;
            if (!c.u64(s.file_size) || !c.u64(s.offset) || !c.u64(len)) return bad("truncated patch");
            if (s.offset > s.file_size || len > s.file_size - s.offset) return bad("patch beyond its file");
            if (len > c.remaining() || !c.take(len, p)) return bad("truncated patch bytes");
            s.bytes.assign(p, p + len);
        }
        steps.push_back(std::move(s));
    }
    if (c.remaining() != 0) return bad("bytes after the last step");
    return steps;
}

}  // namespace orvala

#include "aipsio.h"

#include <bit>
#include <cstdio>

#include "byteorder.h"
#include "internal_error.h"
#include "quoted.h"
#include "utf8.h"

namespace orvala {

namespace {

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

}  // namespace

std::string AipsIoError::message() const {
    return std::visit(
        Overload{
            [](const Truncated& e) {
                return "buffer too short: need " + std::to_string(e.needed) + " bytes at offset " +
                       std::to_string(e.offset) + ", have " + std::to_string(e.len);
            },
            [](const BadMagic& e) {
                return "bad AipsIO magic at offset " + std::to_string(e.offset) + ": expected " +
                       hex32(kAipsIoMagic) + ", found " + hex32(e.found);
            },
            [](const BadString& e) {
                return "invalid string at offset " + std::to_string(e.offset) + ": not valid UTF-8";
            },
            [](const UnexpectedType& e) {
                return "unexpected object type at offset " + std::to_string(e.offset) + ": expected " +
                       quoted_form(e.expected) + ", found " + quoted_form(e.found);
            },
            [](const UnsupportedVersion& e) {
                return "unsupported object version " + std::to_string(e.version);
            },
            [](const BadLength& e) {
                return "bad object length " + std::to_string(e.length) + " at offset " + std::to_string(e.offset);
            },
        },
        v);
}

// ---- Reader ----

AipsIoError Reader::truncated(uint64_t needed, uint64_t offset) const {
    return AipsIoError{AipsIoError::Truncated{needed, offset, bytes_.size()}};
}

AipsIoResult<const uint8_t*> Reader::take(uint64_t n) {
    if (n > remaining()) return std::unexpected(truncated(n, pos_));
    const uint8_t* p = bytes_.data() + pos_;
    pos_ += n;
    return p;
}

AipsIoResult<void> Reader::seek(uint64_t offset) {
    if (offset > bytes_.size()) {
        // Report the shortfall as a read from the current position.
        uint64_t needed = offset > pos_ ? offset - pos_ : 0;
        return std::unexpected(truncated(needed, pos_));
    }
    pos_ = offset;
    return {};
}

AipsIoResult<void> Reader::skip(uint64_t n) {
    if (n > remaining()) return std::unexpected(truncated(n, pos_));
    pos_ += n;
    return {};
}

AipsIoResult<std::span<const uint8_t>> Reader::read_bytes(uint64_t n) {
    auto p = take(n);
    if (!p) return std::unexpected(p.error());
    return std::span<const uint8_t>(*p, n);
}

AipsIoResult<uint8_t> Reader::read_u8() {
    auto p = take(1);
    if (!p) return std::unexpected(p.error());
    return **p;
}

AipsIoResult<int8_t> Reader::read_i8() {
    auto p = take(1);
    if (!p) return std::unexpected(p.error());
    return static_cast<int8_t>(**p);
}

AipsIoResult<bool> Reader::read_bool() {
    auto p = take(1);
    if (!p) return std::unexpected(p.error());
    return (**p & 1) != 0;
}

AipsIoResult<uint16_t> Reader::read_u16() {
    auto p = take(2);
    if (!p) return std::unexpected(p.error());
    return load_u16(*p, le_);
}

AipsIoResult<int16_t> Reader::read_i16() {
    auto p = take(2);
    if (!p) return std::unexpected(p.error());
    return load_i16(*p, le_);
}

AipsIoResult<uint32_t> Reader::read_u32() {
    auto p = take(4);
    if (!p) return std::unexpected(p.error());
    return load_u32(*p, le_);
}

AipsIoResult<int32_t> Reader::read_i32() {
    auto p = take(4);
    if (!p) return std::unexpected(p.error());
    return load_i32(*p, le_);
}

AipsIoResult<uint64_t> Reader::read_u64() {
    auto p = take(8);
    if (!p) return std::unexpected(p.error());
    return load_u64(*p, le_);
}

AipsIoResult<int64_t> Reader::read_i64() {
    auto p = take(8);
    if (!p) return std::unexpected(p.error());
    return load_i64(*p, le_);
}

AipsIoResult<float> Reader::read_f32() {
    auto p = take(4);
    if (!p) return std::unexpected(p.error());
    return load_f32(*p, le_);
}

AipsIoResult<double> Reader::read_f64() {
    auto p = take(8);
    if (!p) return std::unexpected(p.error());
    return load_f64(*p, le_);
}

AipsIoResult<std::complex<float>> Reader::read_complex() {
    auto p = take(8);
    if (!p) return std::unexpected(p.error());
    return std::complex<float>(load_f32(*p, le_), load_f32(*p + 4, le_));
}

AipsIoResult<std::complex<double>> Reader::read_dcomplex() {
    auto p = take(16);
    if (!p) return std::unexpected(p.error());
    return std::complex<double>(load_f64(*p, le_), load_f64(*p + 8, le_));
}

AipsIoResult<std::string> Reader::read_string() {
    uint64_t start = pos_;
    auto count = read_u32();
    if (!count) return std::unexpected(count.error());
    if (*count > remaining()) {
        pos_ = start;
        return std::unexpected(truncated(*count, start + 4));
    }
    std::string_view text(reinterpret_cast<const char*>(bytes_.data() + pos_), *count);
    if (!is_valid_utf8(text)) {
        pos_ = start;
        return std::unexpected(AipsIoError{AipsIoError::BadString{start}});
    }
    pos_ += *count;
    return std::string(text);
}

AipsIoResult<void> Reader::check_count(uint64_t count, uint64_t min_bytes_each) const {
    // count is at most 2^32 and min_bytes_each small, but guard the product.
    if (min_bytes_each != 0 && count > remaining() / min_bytes_each) {
        uint64_t needed = count > UINT64_MAX / min_bytes_each ? UINT64_MAX : count * min_bytes_each;
        return std::unexpected(truncated(needed, pos_));
    }
    return {};
}

AipsIoResult<uint32_t> Reader::read_count(uint64_t min_bytes_each) {
    uint64_t start = pos_;
    auto n = read_u32();
    if (!n) return n;
    if (auto ok = check_count(*n, min_bytes_each); !ok) {
        pos_ = start;
        return std::unexpected(ok.error());
    }
    return n;
}

AipsIoResult<ObjectHeader> Reader::read_object_start(bool magic) {
    uint64_t begin = pos_;
    auto fail = [&](AipsIoError e) -> AipsIoResult<ObjectHeader> {
        pos_ = begin;
        return std::unexpected(std::move(e));
    };
    if (magic) {
        auto word = read_u32();
        if (!word) return fail(word.error());
        if (*word != kAipsIoMagic) return fail(AipsIoError{AipsIoError::BadMagic{begin, *word}});
    }
    ObjectHeader h;
    h.start = pos_;
    auto length = read_u32();
    if (!length) return fail(length.error());
    h.length = *length;
    auto name = read_string();
    if (!name) return fail(name.error());
    h.type_name = std::move(*name);
    auto version = read_u32();
    if (!version) return fail(version.error());
    h.version = *version;
    h.body_start = pos_;
    // The length is what callers skip by: it must reach past the header and
    // stay inside the slice.
    if (h.end() < h.body_start) return fail(AipsIoError{AipsIoError::BadLength{h.start, h.length}});
    if (h.end() > bytes_.size()) return fail(truncated(h.length, h.start));
    return h;
}

AipsIoResult<ObjectHeader> Reader::read_object(bool magic, std::string_view expected) {
    uint64_t begin = pos_;
    auto h = read_object_start(magic);
    if (!h) return h;
    if (h->type_name != expected) {
        pos_ = begin;
        return std::unexpected(AipsIoError{
            AipsIoError::UnexpectedType{h->body_start, std::string(expected), std::move(h->type_name)}});
    }
    return h;
}

AipsIoResult<std::vector<int64_t>> Reader::read_iposition() {
    uint64_t begin = pos_;
    auto fail = [&](AipsIoError e) -> AipsIoResult<std::vector<int64_t>> {
        pos_ = begin;
        return std::unexpected(std::move(e));
    };
    auto h = read_object(false, "IPosition");
    if (!h) return fail(h.error());
    auto n = read_u32();
    if (!n) return fail(n.error());
    if (h->version != 1 && h->version != 2) return fail(AipsIoError{AipsIoError::UnsupportedVersion{h->version}});
    uint64_t width = h->version == 1 ? 4 : 8;
    // Bound the count by what is there before allocating; the shortfall is
    // reported at the first element that does not fit.
    if (*n > remaining() / width) return fail(truncated(width, pos_ + (remaining() / width) * width));
    std::vector<int64_t> out(*n);
    for (auto& e : out) e = width == 4 ? int64_t{*read_i32()} : *read_i64();
    return out;
}

AipsIoResult<uint32_t> Reader::read_block_start(uint64_t min_bytes_each) {
    uint64_t begin = pos_;
    auto h = read_object(false, "Block");
    if (!h) return std::unexpected(h.error());
    auto n = read_count(min_bytes_each);
    if (!n) pos_ = begin;
    return n;
}

// ---- Writer ----

void Writer::put_u16(uint16_t v) {
    size_t at = out_.size();
    out_.resize(at + 2);
    store_u16(out_.data() + at, v, le_);
}

void Writer::put_u32(uint32_t v) {
    size_t at = out_.size();
    out_.resize(at + 4);
    store_u32(out_.data() + at, v, le_);
}

void Writer::put_u64(uint64_t v) {
    size_t at = out_.size();
    out_.resize(at + 8);
    store_u64(out_.data() + at, v, le_);
}

void Writer::put_f32(float v) { put_u32(std::bit_cast<uint32_t>(v)); }
void Writer::put_f64(double v) { put_u64(std::bit_cast<uint64_t>(v)); }

void Writer::put_string(std::string_view s) {
    put_u32(static_cast<uint32_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
}

void Writer::patch_u32(size_t offset, uint32_t v) {
    if (offset > out_.size() || out_.size() - offset < 4) throw InternalError("patch_u32 past the end of the output");
    store_u32(out_.data() + offset, v, le_);
}

void Writer::put_object_start(std::string_view type_name, uint32_t version) {
    open_.push_back(out_.size());
    put_u32(0);
    put_string(type_name);
    put_u32(version);
}

void Writer::put_object_end() {
    if (open_.empty()) throw InternalError("put_object_end without put_object_start");
    uint64_t start = open_.back();
    open_.pop_back();
    patch_u32(start, static_cast<uint32_t>(out_.size() - start));
}

void Writer::put_iposition(std::span<const int64_t> extents) {
    put_object_start("IPosition", 1);
    put_u32(static_cast<uint32_t>(extents.size()));
    for (int64_t e : extents) put_u32(static_cast<uint32_t>(e));
    put_object_end();
}

std::vector<uint8_t> Writer::take() {
    if (!open_.empty()) throw InternalError("AipsIO output taken with an object still open");
    open_.clear();
    return std::move(out_);
}

}  // namespace orvala

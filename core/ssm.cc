#include "ssm.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>

#include "byteorder.h"

namespace orvala {
namespace {

SsmError aipsio(AipsIoError e) { return SsmError{SsmError::AipsIo{std::move(e)}}; }

template <class T>
T saturate(unsigned __int128 v) {
    return v > std::numeric_limits<T>::max() ? std::numeric_limits<T>::max() : static_cast<T>(v);
}

// Buckets that lie inside the file and inside the header's bucket count.
uint64_t usable_buckets(std::span<const uint8_t> file, const SsmHeader& h) {
    if (file.size() < kSsmHeaderSize || h.bucket_size == 0) return 0;
    return std::min<uint64_t>(h.nr_buckets, (file.size() - kSsmHeaderSize) / h.bucket_size);
}

uint64_t bucket_start(uint64_t bucket, uint32_t bucket_size) { return kSsmHeaderSize + bucket * bucket_size; }

// The first data bucket (position in the index's lists) whose last row is
// at or after `row`; the lists' length when there is none. A list that is
// not ascending still gives a position in range; callers check it against
// its neighbours.
size_t find_bucket(const std::vector<uint64_t>& last_rows, uint64_t row) {
    size_t lo = 0, hi = last_rows.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (last_rows[mid] < row) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// Whether data bucket k of `index` holds `row`: it has a bucket number and
// the row lies after the previous bucket's last row and at or before its own.
bool bucket_holds(const SsmIndex& index, size_t k, uint64_t row) {
    if (k >= index.last_rows.size() || k >= index.bucket_numbers.size()) return false;
    if (index.last_rows[k] < row) return false;
    return k == 0 || index.last_rows[k - 1] < row;
}

uint64_t first_row_of(const SsmIndex& index, size_t k) { return k == 0 ? 0 : index.last_rows[k - 1] + 1; }

SsmResult<SsmIndex> read_one_index(Reader& r) {
    auto fail = [](AipsIoError e) { return std::unexpected(aipsio(std::move(e))); };
    auto head = r.read_object(true, "SSMIndex");
    if (!head) return fail(head.error());
    SsmIndex ix;
    auto used = r.read_u32();
    if (!used) return fail(used.error());
    auto rpb = r.read_u32();
    if (!rpb) return fail(rpb.error());
    ix.rows_per_bucket = *rpb;
    auto ncol = r.read_u32();
    if (!ncol) return fail(ncol.error());
    ix.column_count = *ncol;

    // Free-space map: default, count, increment, then (key, value) pairs.
    auto map = r.read_object_start(false);
    if (!map) return fail(map.error());
    if (auto d = r.read_i32(); !d) return fail(d.error());
    auto pairs = r.read_count(8);
    if (!pairs) return fail(pairs.error());
    if (auto inc = r.read_u32(); !inc) return fail(inc.error());
    if (auto s = r.skip(uint64_t{*pairs} * 8); !s) return fail(s.error());

    // Last rows: 32-bit in a version-1 Block, 64-bit otherwise.
    auto block = r.read_object(false, "Block");
    if (!block) return fail(block.error());
    bool narrow = block->version == 1;
    auto n = r.read_count(narrow ? 4 : 8);
    if (!n) return fail(n.error());
    ix.last_rows.resize(*n);
    for (auto& v : ix.last_rows) {
        if (narrow) {
            auto x = r.read_u32();
            if (!x) return fail(x.error());
            v = *x;
        } else {
            auto x = r.read_u64();
            if (!x) return fail(x.error());
            v = *x;
        }
    }
    auto nb = r.read_block_start(4);
    if (!nb) return fail(nb.error());
    ix.bucket_numbers.resize(*nb);
    for (auto& v : ix.bucket_numbers) {
        auto x = r.read_u32();
        if (!x) return fail(x.error());
        v = *x;
    }
    // Later versions may carry more: the next object starts at this one's end.
    if (r.position() < head->end())
        if (auto s = r.seek(head->end()); !s) return fail(s.error());
    return ix;
}

}  // namespace

// ---- opening ----

SsmResult<SsmHeader> StandardStManFile::parse_meta(std::span<const uint8_t> file, bool big_endian) {
    Reader r(file.first(std::min<size_t>(file.size(), kSsmHeaderSize)), !big_endian);
    auto fail = [](AipsIoError e) { return std::unexpected(aipsio(std::move(e))); };
    auto head = r.read_object_start(true);
    if (!head) {
        // A header written in the other byte order cannot be read in this
        // one (its length runs past the header); say so when it names that
        // order itself.
        Reader other(r.bytes(), big_endian);
        auto h = other.read_object_start(true);
        if (h && h->type_name == "StandardStMan" && h->version >= 3)
            if (auto flag = other.read_bool(); flag && *flag != big_endian)
                return std::unexpected(SsmError{SsmError::EndianMismatch{*flag, big_endian}});
        return fail(head.error());
    }
    if (head->type_name != "StandardStMan")
        return std::unexpected(SsmError{SsmError::UnexpectedType{head->type_name}});
    SsmHeader h;
    h.version = head->version;
    h.big_endian = big_endian;
    if (h.version >= 3) {
        auto flag = r.read_bool();
        if (!flag) return fail(flag.error());
        if (*flag != big_endian) return std::unexpected(SsmError{SsmError::EndianMismatch{*flag, big_endian}});
    }
    auto u32 = [&](uint32_t& f) -> bool {
        auto v = r.read_u32();
        if (v) f = *v;
        return v.has_value();
    };
    auto i32 = [&](int32_t& f) -> bool {
        auto v = r.read_i32();
        if (v) f = *v;
        return v.has_value();
    };
    bool ok = u32(h.bucket_size) && u32(h.nr_buckets) && u32(h.pers_cache_size) && u32(h.free_buckets_nr) &&
              i32(h.first_free_bucket) && u32(h.nr_idx_buckets) && i32(h.first_idx_bucket) &&
              i32(h.idx_bucket_offset) && i32(h.last_string_bucket) && u32(h.index_length) && u32(h.nr_indices);
    if (!ok) return fail(r.read_u32().error());  // the read that failed, again
    // A string bucket needs its 16-byte header, an index bucket its 8 bytes.
    if (h.bucket_size < kStringBucketHeader) return std::unexpected(SsmError{SsmError::BadBucketSize{h.bucket_size}});
    if (h.idx_bucket_offset >= 0 && static_cast<uint32_t>(h.idx_bucket_offset) >= h.bucket_size)
        return std::unexpected(SsmError{SsmError::BadIndexOffset{h.idx_bucket_offset, h.bucket_size}});
    return h;
}

SsmResult<std::vector<SsmIndex>> StandardStManFile::read_index(std::span<const uint8_t> file, const SsmHeader& h,
                                                               bool big_endian) {
    std::vector<SsmIndex> out;
    if (h.nr_indices == 0) return out;
    if (h.first_idx_bucket < 0) return std::unexpected(SsmError{SsmError::NoSuchBucket{h.first_idx_bucket}});
    uint64_t usable = usable_buckets(file, h);
    // One index bucket holds the stream from `start` on; chained ones from 8.
    uint64_t start = h.idx_bucket_offset > 0 ? static_cast<uint64_t>(h.idx_bucket_offset) : 8;
    std::vector<uint8_t> stream;
    stream.reserve(std::min<uint64_t>(h.index_length, file.size()));
    int64_t b = h.first_idx_bucket;
    std::vector<bool> visited;  // one bit per bucket: at most file size / 128 bytes
    for (uint64_t steps = 0; h.nr_idx_buckets > 0 && stream.size() < h.index_length && steps < h.nr_idx_buckets;
         ++steps) {
        if (b < 0 || static_cast<uint64_t>(b) >= usable) return std::unexpected(SsmError{SsmError::NoSuchBucket{b}});
        if (visited.empty()) visited.resize(usable);
        if (visited[static_cast<uint64_t>(b)]) return std::unexpected(SsmError{SsmError::IndexChainLoop{b}});
        visited[static_cast<uint64_t>(b)] = true;
        auto bucket = file.subspan(bucket_start(static_cast<uint64_t>(b), h.bucket_size), h.bucket_size);
        uint64_t take = std::min<uint64_t>(h.bucket_size - start, h.index_length - stream.size());
        stream.insert(stream.end(), bucket.begin() + static_cast<ptrdiff_t>(start),
                      bucket.begin() + static_cast<ptrdiff_t>(start + take));
        int32_t next = load_i32(bucket.data() + 4, /*le=*/false);
        if (next < 0) break;
        b = next;
    }
    Reader r(stream, !big_endian);
    for (uint32_t i = 0; i < h.nr_indices; ++i) {
        auto ix = read_one_index(r);
        if (!ix) return std::unexpected(std::move(ix.error()));
        out.push_back(std::move(*ix));
    }
    return out;
}

SsmResult<StandardStManFile> StandardStManFile::from_buffers(Buffer bucket_file, std::optional<Buffer> array_file,
                                                             bool big_endian, std::string array_file_name) {
    auto header = parse_meta(bucket_file.bytes(), big_endian);
    if (!header) return std::unexpected(std::move(header.error()));
    auto indices = read_index(bucket_file.bytes(), *header, big_endian);
    if (!indices) return std::unexpected(std::move(indices.error()));
    StandardStManFile f;
    f.usable_buckets_ = usable_buckets(bucket_file.bytes(), *header);
    f.file_ = std::move(bucket_file);
    f.array_file_ = std::move(array_file);
    f.array_file_name_ = std::move(array_file_name);
    f.big_endian_ = big_endian;
    f.header_ = *header;
    f.indices_ = std::move(*indices);
    return f;
}

SsmResult<StandardStManFile> StandardStManFile::open(const std::string& dir, uint32_t seq, bool big_endian) {
    std::string path = dir + "/table.f" + std::to_string(seq);
    auto file = Buffer::open(path);
    if (!file) return std::unexpected(SsmError{SsmError::FileIo{std::move(file.error())}});
    std::string array_path = path + "i";
    std::optional<Buffer> array_file;
    std::error_code ec;
    if (std::filesystem::is_regular_file(array_path, ec)) {
        auto a = Buffer::open(array_path);
        if (!a) return std::unexpected(SsmError{SsmError::FileIo{std::move(a.error())}});
        array_file = std::move(*a);
    }
    return from_buffers(std::move(*file), std::move(array_file), big_endian, array_path);
}

// ---- locating cells ----

std::optional<std::span<const uint8_t>> StandardStManFile::bucket_bytes(int64_t bucket) const {
    if (bucket < 0 || static_cast<uint64_t>(bucket) >= usable_buckets_) return std::nullopt;
    return file_.bytes().subspan(bucket_start(static_cast<uint64_t>(bucket), header_.bucket_size),
                                 header_.bucket_size);
}

SsmResult<uint64_t> StandardStManFile::locate(uint32_t bucket, uint32_t column_offset, uint64_t r,
                                              uint32_t cell_size, uint64_t cells) const {
    using U = unsigned __int128;
    U in_bucket, len;
    if (cell_size == kBitCell) {
        in_bucket = U{column_offset} + r / 8;
        len = (U{r % 8} + cells + 7) / 8;
    } else {
        in_bucket = U{column_offset} + U{r} * cell_size;
        len = U{cells} * cell_size;
    }
    U at = U{kSsmHeaderSize} + U{bucket} * header_.bucket_size + in_bucket;
    if (bucket >= usable_buckets_ || in_bucket + len > header_.bucket_size)
        return std::unexpected(SsmError{SsmError::CellOutside{saturate<uint64_t>(at), saturate<uint64_t>(len), bucket}});
    return static_cast<uint64_t>(at);
}

SsmResult<SsmCell> StandardStManFile::cell_bytes(uint32_t index, uint32_t column_offset, uint64_t row,
                                                 uint32_t cell_size) const {
    if (index >= indices_.size()) return std::unexpected(SsmError{SsmError::IndexNotFound{index, indices_.size()}});
    const SsmIndex& ix = indices_[index];
    size_t k = find_bucket(ix.last_rows, row);
    if (!bucket_holds(ix, k, row)) return std::unexpected(SsmError{SsmError::RowNotCovered{row}});
    uint64_t r = row - first_row_of(ix, k);
    auto at = locate(ix.bucket_numbers[k], column_offset, r, cell_size, 1);
    if (!at) return std::unexpected(std::move(at.error()));
    SsmCell c;
    c.bytes = file_.bytes().subspan(*at, cell_size == kBitCell ? 1 : cell_size);
    c.bit = cell_size == kBitCell ? static_cast<uint32_t>(r % 8) : 0;
    return c;
}

SsmResult<SsmColumnLayout> StandardStManFile::column_layout(const StandardStMan& settings, size_t position,
                                                            const CellColumn& column) const {
    size_t held = std::min(settings.column_offsets.size(), settings.column_index_map.size());
    if (position >= held) return std::unexpected(SsmError{SsmError::NoColumnSettings{position, held}});
    auto bits = cell_bits(column);
    if (!bits) return std::unexpected(std::move(bits.error()));
    SsmColumnLayout l;
    l.index = settings.column_index_map[position];
    l.offset = settings.column_offsets[position];
    l.cell_size = *bits == 1 ? kBitCell : *bits / 8;
    if (l.index >= indices_.size())
        return std::unexpected(SsmError{SsmError::IndexNotFound{l.index, indices_.size()}});
    return l;
}

SsmResult<SsmCell> StandardStManFile::scalar_cell_raw(const StandardStMan& settings, size_t position, uint64_t row,
                                                      const CellColumn& column) const {
    auto layout = column_layout(settings, position, column);
    if (!layout) return std::unexpected(std::move(layout.error()));
    return cell(*layout, row);
}

SsmResult<SsmRunCursor> StandardStManFile::runs(const SsmColumnLayout& layout, uint64_t first_row,
                                                uint64_t count) const {
    if (layout.index >= indices_.size())
        return std::unexpected(SsmError{SsmError::IndexNotFound{layout.index, indices_.size()}});
    SsmRunCursor c;
    c.file_ = this;
    c.index_ = &indices_[layout.index];
    c.layout_ = layout;
    c.row_ = first_row;
    if (count > UINT64_MAX - first_row) return std::unexpected(SsmError{SsmError::RowNotCovered{UINT64_MAX}});
    c.end_ = first_row + count;
    if (count > 0) c.bucket_ = find_bucket(c.index_->last_rows, first_row);
    return c;
}

SsmResult<bool> SsmRunCursor::next(SsmRun& run) {
    if (row_ >= end_) return false;
    const SsmIndex& ix = *index_;
    if (!bucket_holds(ix, bucket_, row_)) return std::unexpected(SsmError{SsmError::RowNotCovered{row_}});
    uint64_t span = ix.last_rows[bucket_] - row_;  // rows after row_ in this bucket
    uint64_t n = span >= end_ - row_ - 1 ? end_ - row_ : span + 1;
    uint64_t r = row_ - first_row_of(ix, bucket_);
    auto at = file_->locate(ix.bucket_numbers[bucket_], layout_.offset, r, layout_.cell_size, n);
    if (!at) return std::unexpected(std::move(at.error()));
    uint64_t len = layout_.cell_size == kBitCell ? (r % 8 + n + 7) / 8 : n * layout_.cell_size;
    run.first_row = row_;
    run.rows = n;
    run.bytes = file_->file_.bytes().subspan(*at, len);
    run.first_bit = layout_.cell_size == kBitCell ? static_cast<uint32_t>(r % 8) : 0;
    row_ += n;
    ++bucket_;
    return true;
}

// ---- string buckets ----

SsmResult<void> StandardStManFile::string_bytes(int32_t bucket, int32_t offset, int32_t length,
                                                std::string& out) const {
    auto bad = [&] { return std::unexpected(SsmError{SsmError::BadStringRef{bucket, offset, length}}); };
    if (bucket < 0 || offset < 0 || length < 0) return bad();
    if (length == 0) return {};
    const uint64_t capacity = header_.bucket_size - kStringBucketHeader;
    // Never more than all buckets' data areas together: checked before the
    // reservation.
    if (static_cast<uint64_t>(length) > usable_buckets_ * capacity) return bad();
    out.reserve(out.size() + static_cast<size_t>(length));
    int64_t b = bucket;
    uint64_t pos = static_cast<uint64_t>(offset);
    uint64_t missing = static_cast<uint64_t>(length);
    // An honest chain visits each bucket once.
    for (uint64_t steps = 0;; ++steps) {
        auto bytes = bucket_bytes(b);
        if (!bytes || steps >= usable_buckets_) return bad();
        uint32_t used = load_u32(bytes->data() + 4, false);
        if (used > capacity || pos > used) return bad();
        uint64_t take = std::min<uint64_t>(used - pos, missing);
        out.append(reinterpret_cast<const char*>(bytes->data() + kStringBucketHeader + pos), take);
        missing -= take;
        if (missing == 0) return {};
        int32_t next = load_i32(bytes->data() + 12, false);
        if (next < 0) return bad();
        b = next;
        pos = 0;
    }
}

SsmResult<std::string> StandardStManFile::read_long_string(int32_t bucket, int32_t offset, int32_t length) const {
    std::string raw;
    if (auto ok = string_bytes(bucket, offset, length, raw); !ok) return std::unexpected(std::move(ok.error()));
    return decode_text(std::span(reinterpret_cast<const uint8_t*>(raw.data()), raw.size()));
}

SsmResult<std::string> StandardStManFile::read_string_cell(std::span<const uint8_t> cell) const {
    StringRef ref = parse_string_ref(cell, big_endian_);
    if (ref.length < 0) return std::unexpected(SsmError{SsmError::BadStringRef{ref.bucket, ref.offset, ref.length}});
    if (ref.length <= 8) return decode_text(cell.first(static_cast<size_t>(ref.length)));
    return read_long_string(ref.bucket, ref.offset, ref.length);
}

SsmResult<StringArrayContent> StandardStManFile::read_string_array(std::span<const uint8_t> cell) const {
    StringRef ref = parse_string_ref(cell, big_endian_);
    std::string raw;
    if (auto ok = string_bytes(ref.bucket, ref.offset, ref.length, raw); !ok)
        return std::unexpected(std::move(ok.error()));
    return decode_string_array_content(std::span(reinterpret_cast<const uint8_t*>(raw.data()), raw.size()));
}

SsmResult<std::string> StandardStManFile::read_record_text(std::span<const uint8_t> cell) const {
    StringRef ref = parse_string_ref(cell, big_endian_);
    return read_long_string(ref.bucket, ref.offset, ref.length);
}

// ---- array file ----

SsmResult<void> StandardStManFile::array_region_at(int64_t ref, DataType element, std::string_view column,
                                                   SsmArrayRegion& out) const {
    if (!array_file_)
        return std::unexpected(SsmError{SsmError::ArrayFileMissing{std::string(column), array_file_name_}});
    auto file = array_file_->bytes();
    const uint64_t len = file.size();
    auto outside = [&] { return std::unexpected(SsmError{SsmError::ArrayRefOutside{ref, len}}); };
    auto version = u32_at(file, 0, big_endian_);
    if (ref <= 0 || static_cast<uint64_t>(ref) >= len || !version) return outside();
    uint64_t pos = static_cast<uint64_t>(ref);
    if (*version != 0) pos += 4;  // the array's reference count
    auto ndim = u32_at(file, pos, big_endian_);
    if (!ndim) return outside();
    pos += 4;
    if (*ndim > (len - pos) / 4) return outside();
    out.shape.resize(*ndim);
    uint64_t n = 1;
    for (uint32_t i = 0; i < *ndim; ++i, pos += 4) {
        uint32_t e = *u32_at(file, pos, big_endian_);
        // An extent is a signed 32-bit count in the format: the top bit set
        // is a negative extent.
        if ((e & 0x80000000u) || __builtin_mul_overflow(n, uint64_t{e}, &n)) return outside();
        out.shape[*ndim - 1 - i] = e;
    }
    uint32_t size = element_size(element);
    if (size == 0) return std::unexpected(SsmError{SsmError::UnsupportedArrayElement{element}});
    uint64_t room = len - pos;
    if (element == DataType::Bool ? n / 8 + (n % 8 != 0) > room : n > room / size) return outside();
    out.element_count = n;
    out.bytes = file.subspan(pos, element_bytes(element, n));
    return {};
}

SsmResult<SsmArrayRegion> StandardStManFile::array_cell_region(const StandardStMan& settings, size_t position,
                                                               uint64_t row, const CellColumn& column) const {
    DataType element = element_type(column.data_type);
    if (column.kind != CellKind::Array || element == DataType::String)
        return std::unexpected(SsmError{SsmError::UnsupportedArrayElement{element}});
    auto c = scalar_cell_raw(settings, position, row, column);
    if (!c) return std::unexpected(std::move(c.error()));
    int64_t ref = load_i64(c->bytes.data(), !big_endian_);
    if (ref == 0) return std::unexpected(SsmError{SsmError::EmptyArrayRef{row, std::string(column.name)}});
    SsmArrayRegion region;
    if (auto ok = array_region_at(ref, element, column.name, region); !ok) return std::unexpected(std::move(ok.error()));
    return region;
}

SsmResult<RecordValue> StandardStManFile::read_cell(const StandardStMan& settings, size_t position, uint64_t row,
                                                   const CellColumn& column) const {
    DataType element = element_type(column.data_type);
    if (column.kind == CellKind::Array && element != DataType::String) {
        auto region = array_cell_region(settings, position, row, column);
        if (!region) return std::unexpected(std::move(region.error()));
        auto a = decode_array_region(*region, element, big_endian_);
        if (!a) return std::unexpected(std::move(a.error()));
        return RecordValue(std::move(*a));
    }
    auto c = scalar_cell_raw(settings, position, row, column);
    if (!c) return std::unexpected(std::move(c.error()));
    if (column.kind == CellKind::Array) {
        auto content = read_string_array(c->bytes);
        if (!content) return std::unexpected(std::move(content.error()));
        return RecordValue(ArrayValue{std::move(content->shape), ArrayData(std::move(content->strings))});
    }
    if (column.kind == CellKind::Record) {
        auto text = read_record_text(c->bytes);
        if (!text) return std::unexpected(std::move(text.error()));
        return RecordValue(std::move(*text));
    }
    if (column.data_type == DataType::String && column.maxlen <= 0) {
        auto text = read_string_cell(c->bytes);
        if (!text) return std::unexpected(std::move(text.error()));
        return RecordValue(std::move(*text));
    }
    return decode_scalar(c->bytes, column, big_endian_, c->bit);
}

void StandardStManFile::drop_pages() const {
    file_.drop_pages();
    if (array_file_) array_file_->drop_pages();
}

// ---- element decoding ----

namespace {

template <class T>
std::vector<T> load_elements(std::span<const uint8_t> bytes, uint64_t n, bool le) {
    std::vector<T> v(n);
    if (n == 0) return v;
    std::memcpy(v.data(), bytes.data(), n * sizeof(T));
    if (le != (std::endian::native == std::endian::little) && sizeof(T) > 1) {
        for (auto& e : v) {
            if constexpr (std::is_same_v<T, std::complex<float>>) {
                e = {std::bit_cast<float>(std::byteswap(std::bit_cast<uint32_t>(e.real()))),
                     std::bit_cast<float>(std::byteswap(std::bit_cast<uint32_t>(e.imag())))};
            } else if constexpr (std::is_same_v<T, std::complex<double>>) {
                e = {std::bit_cast<double>(std::byteswap(std::bit_cast<uint64_t>(e.real()))),
                     std::bit_cast<double>(std::byteswap(std::bit_cast<uint64_t>(e.imag())))};
            } else if constexpr (std::is_floating_point_v<T>) {
                using U = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
                e = std::bit_cast<T>(std::byteswap(std::bit_cast<U>(e)));
            } else {
                e = static_cast<T>(std::byteswap(static_cast<std::make_unsigned_t<T>>(e)));
            }
        }
    }
    return v;
}

}  // namespace

SsmResult<ArrayValue> decode_array_region(const SsmArrayRegion& region, DataType element, bool big_endian) {
    uint32_t size = element_size(element);
    if (size == 0) return std::unexpected(SsmError{SsmError::UnsupportedArrayElement{element}});
    uint64_t n = region.element_count;
    if (region.bytes.size() < element_bytes(element, n)) {
        uint64_t present = element == DataType::Bool ? region.bytes.size() * 8 : region.bytes.size() / size;
        return std::unexpected(SsmError{SsmError::ArrayTruncated{n, present}});
    }
    bool le = !big_endian;
    ArrayValue a;
    a.shape = region.shape;
    const auto& b = region.bytes;
    switch (element) {
        case DataType::Bool: {
            std::vector<bool> v(n);
            for (uint64_t i = 0; i < n; ++i) v[i] = (b[i / 8] >> (i % 8)) & 1;
            a.data = std::move(v);
            break;
        }
        case DataType::Char:
        case DataType::UChar: a.data = load_elements<uint8_t>(b, n, le); break;
        case DataType::Short: a.data = load_elements<int16_t>(b, n, le); break;
        case DataType::UShort: a.data = load_elements<uint16_t>(b, n, le); break;
        case DataType::Int: a.data = load_elements<int32_t>(b, n, le); break;
        case DataType::UInt: a.data = load_elements<uint32_t>(b, n, le); break;
        case DataType::Int64: a.data = load_elements<int64_t>(b, n, le); break;
        case DataType::Float: a.data = load_elements<float>(b, n, le); break;
        case DataType::Double: a.data = load_elements<double>(b, n, le); break;
        case DataType::Complex: a.data = load_elements<std::complex<float>>(b, n, le); break;
        case DataType::DComplex: a.data = load_elements<std::complex<double>>(b, n, le); break;
        default: return std::unexpected(SsmError{SsmError::UnsupportedArrayElement{element}});
    }
    return a;
}

}  // namespace orvala

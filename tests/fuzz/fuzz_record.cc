// Keyword records (and the array objects inside them) from arbitrary bytes,
// read in both byte orders. A record that reads must write, and what it
// writes must read back and write again to the same bytes; its JSON text
// must be produced without fault.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "json.h"
#include "record.h"

namespace {

void check(std::span<const uint8_t> bytes, bool le) {
    using namespace orvala;
    Reader r(bytes, le);
    auto rec = TableRecord::read(r);
    if (!rec) {
        (void)rec.error().message();
        return;
    }
    Writer w(le);
    if (!write_table_record(w, *rec)) return;
    auto once = w.take();
    Reader r2(once, le);
    auto again = TableRecord::read(r2);
    if (!again || r2.remaining() != 0) std::abort();
    Writer w2(le);
    if (!write_table_record(w2, *again)) std::abort();
    if (w2.take() != once) std::abort();

    std::string ctx = "/data/x.ms";
    auto text = rec->to_json_string_ctx(ctx);
    (void)parse_json_record(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    check(bytes, false);
    check(bytes, true);
    // The same bytes as a bare array object of each element type.
    for (int32_t t = 0; t <= 30; ++t) {
        orvala::Reader r(bytes, size % 2 == 1);
        auto a = orvala::read_array(r, static_cast<orvala::DataType>(t));
        if (a && a->data.size() != 0 && a->shape.empty()) std::abort();
    }
    return 0;
}

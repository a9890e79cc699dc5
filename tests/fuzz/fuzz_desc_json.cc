// Feeds text to the table-description dict reader; whatever it accepts must
// survive the output dict form and the binary form.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "internal_error.h"
#include "table_dat.h"
#include "tabledesc_dict.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto desc = orvala::TableDesc::from_desc_json(text);
    if (!desc) {
        (void)desc.error().message();
        return 0;
    }
    const std::vector<int64_t> none;
    for (const auto& c : desc->columns) {
        auto back = orvala::column_from_desc_dict(c.name, orvala::column_to_desc_dict(c));
        if (!back || back->kind != c.kind) __builtin_trap();  // the output form keeps the kind
        // Array columns keep their shape (an empty one reads back as none).
        if (c.kind == orvala::ColumnKind::Array && back->shape.value_or(none) != c.shape.value_or(none)) {
            __builtin_trap();
        }
    }
    std::vector<uint32_t> seqs(desc->columns.size(), 0);
    try {
        auto bytes = orvala::build_table_dat(0, *desc, {}, seqs);
        if (!orvala::parse_table_dat(bytes)) __builtin_trap();
    } catch (const orvala::InternalError&) {
    }
    return 0;
}

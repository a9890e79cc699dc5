// Feeds raw bytes to the table.dat reader. Whatever parses must also survive
// being written back and read again.
#include <cstddef>
#include <cstdint>
#include <span>

#include "internal_error.h"
#include "table_dat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto dat = orvala::parse_table_dat(std::span(data, size));
    if (!dat) {
        (void)dat.error().message();
        return 0;
    }
    std::vector<orvala::DmBlob> blobs;
    for (const auto& dm : dat->column_set.data_managers) {
        auto* ssm = std::get_if<orvala::StandardStMan>(&dm.blob);
        blobs.push_back({dm.type_name, dm.sequence,
                         ssm ? orvala::build_standard_stman_blob(*ssm) : std::get<std::vector<uint8_t>>(dm.blob)});
    }
    std::vector<uint32_t> seqs;
    for (const auto& c : dat->column_set.columns) seqs.push_back(c.dm_sequence);
    try {
        auto bytes = orvala::build_table_dat(dat->row_count, dat->desc, blobs, seqs);
        auto again = orvala::parse_table_dat(bytes);
        if (!again) __builtin_trap();  // what was read must read back
    } catch (const orvala::InternalError&) {
        // Rows beyond the u32 range, or keyword records this writer refuses.
    }
    return 0;
}

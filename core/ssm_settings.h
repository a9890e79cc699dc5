// The settings of one StandardStMan data manager as kept in table.dat (its
// "SSM" blob): which SSM index of the data file locates each column's rows,
// and where each column's region starts inside a data bucket.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvala {

struct StandardStMan {
    std::string name;                        // the data-manager name
    std::vector<uint32_t> column_offsets;    // per column: byte offset inside a data bucket
    std::vector<uint32_t> column_index_map;  // per column: number of the SSM index serving it

    bool operator==(const StandardStMan& other) const = default;
};

}  // namespace orvala

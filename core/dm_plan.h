// Which data managers a newly written table gets, and which columns each
// one stores.
//
// Columns are taken in description order. A column's key is its data-manager
// group, or its data-manager type when the group is empty. It joins the
// planned data manager of its type and key; otherwise a new data manager of
// that type is appended, named by the key the first time
// the key is used and "KEY_n" at its n-th further use (so a group used by
// columns of two types gives data managers "G" and "G_1"). Sequence numbers
// are the positions in the plan: 0, 1, 2, ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tabledesc.h"

namespace orvala {

struct PlannedDataManager {
    std::string type_name;
    std::string name;
    uint32_t sequence = 0;
    std::vector<size_t> columns;  // description indexes, ascending
};

struct DataManagerPlan {
    std::vector<PlannedDataManager> data_managers;
    std::vector<uint32_t> column_sequence;  // per column: its data manager
};

DataManagerPlan plan_data_managers(const TableDesc& desc);

}  // namespace orvala

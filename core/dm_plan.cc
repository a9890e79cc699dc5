#include "dm_plan.h"

#include <map>

namespace orvala {

DataManagerPlan plan_data_managers(const TableDesc& desc) {
    DataManagerPlan plan;
    std::map<std::string, uint32_t> key_uses;
    std::vector<std::string> keys;  // per planned data manager
    for (size_t c = 0; c < desc.columns.size(); ++c) {
        const ColumnDesc& column = desc.columns[c];
        const std::string& key = column.data_manager_group.empty() ? column.data_manager_type : column.data_manager_group;
        PlannedDataManager* dm = nullptr;
        for (size_t i = 0; i < plan.data_managers.size(); ++i) {
            if (plan.data_managers[i].type_name == column.data_manager_type && keys[i] == key) {
                dm = &plan.data_managers[i];
                break;
            }
        }
        if (!dm) {
            uint32_t uses = key_uses[key]++;
            PlannedDataManager fresh;
            fresh.type_name = column.data_manager_type;
            fresh.name = uses == 0 ? key : key + "_" + std::to_string(uses);
            fresh.sequence = static_cast<uint32_t>(plan.data_managers.size());
            plan.data_managers.push_back(std::move(fresh));
            keys.push_back(key);
            dm = &plan.data_managers.back();
        }
        dm->columns.push_back(c);
        plan.column_sequence.push_back(dm->sequence);
    }
    return plan;
}

}  // namespace orvala

// The columns that capabilities add to the region table and the group
// table, after the tables' own: each a row that says when it is there, its
// names and how a region's or a group's values are appended. A capability
// that adds columns to a table adds a row here.
#pragma once

#include <string_view>
#include <vector>

#include "report/group_table.h"
#include "report/region_table.h"
#include "report/run_products.h"

namespace tarnek {

// The column sets of a run, in the order of the table.
std::vector<ExtraGroupColumns> GroupColumnsOf(const RunProducts& products);
std::vector<ExtraRegionColumns> RegionColumnsOf(const RunProducts& products);

// True when `name` is, without regard to ASCII letter case, one of the
// region table's column names: its own or one that a capability may add
// (whether this run adds it or not). A column carried into the table by
// --keep may not have such a name.
bool IsRegionTableColumn(std::string_view name);

}  // namespace tarnek

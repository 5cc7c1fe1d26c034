// The group table's columns beyond its own: each a row that says when it is
// there, its names and how a group's values are appended. A capability that
// adds columns to the group table adds a row here.
#pragma once

#include <vector>

#include "report/group_table.h"
#include "report/run_products.h"

namespace tarnek {

// The column sets of a run, in the order of the table.
std::vector<ExtraGroupColumns> GroupColumnsOf(const RunProducts& products);

}  // namespace tarnek

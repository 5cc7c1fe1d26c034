// The list of column sets that capabilities add to the group table.
#include "report/group_columns.h"

namespace tarnek {

namespace {

struct GroupColumnSet {
  bool (*Present)(const RunProducts& products);
  ExtraGroupColumns (*Make)(const RunProducts& products);
};

// None yet: the table is its own columns alone.
const std::vector<GroupColumnSet> kGroupColumnSets = {};

}  // namespace

std::vector<ExtraGroupColumns> GroupColumnsOf(const RunProducts& products) {
  std::vector<ExtraGroupColumns> sets;
  for (const GroupColumnSet& set : kGroupColumnSets) {
    if (set.Present(products)) sets.push_back(set.Make(products));
  }
  return sets;
}

}  // namespace tarnek

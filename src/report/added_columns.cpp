// The lists of column sets that capabilities add to the tables.
#include "report/added_columns.h"

#include "report/csv.h"
#include "report/number_format.h"

namespace tarnek {

namespace {

template <typename Columns>
struct ColumnSet {
  bool (*Present)(const RunProducts& products);
  Columns (*Make)(const RunProducts& products);
};

// With neighbours: EB Moran's I of the group and its permutation p-value.
ExtraGroupColumns MoranColumns(const RunProducts& p) {
  return {",moran_i,moran_p", [&p](std::string& text, size_t g) {
            text += ',';
            AppendCsvNumber(text, p.Moran[g].Statistic);
            text += ',';
            AppendCsvNumber(text, p.Moran[g].PValue);
          }};
}

// With neighbours: the region's neighbours within its group (0: an island,
// estimated by a local prior from its own ratio alone).
ExtraRegionColumns NeighbourCountColumn(const RunProducts& p) {
  return {",neighbours", [&p](std::string& text, size_t row) {
            text += ',';
            AppendInteger(text, p.NeighbourCounts[row]);
          }};
}

// With --undefined=skip: the rows of the group's unit without a defined
// ratio, which its estimates leave out (regions counts the others).
ExtraGroupColumns UndefinedColumn(const RunProducts& p) {
  return {",undefined", [&p](std::string& text, size_t g) {
            text += ',';
            AppendInteger(text, p.UndefinedRows[g]);
          }};
}

bool HasNeighbours(const RunProducts& p) { return p.HasNeighbours; }
bool KeepsUndefined(const RunProducts& p) { return p.KeepUndefined; }

const std::vector<ColumnSet<ExtraGroupColumns>> kGroupColumnSets = {
    {HasNeighbours, MoranColumns},
    {KeepsUndefined, UndefinedColumn},
};

const std::vector<ColumnSet<ExtraRegionColumns>> kRegionColumnSets = {
    {HasNeighbours, NeighbourCountColumn},
};

template <typename Columns>
std::vector<Columns> SetsOf(const std::vector<ColumnSet<Columns>>& all, const RunProducts& products) {
  std::vector<Columns> sets;
  for (const ColumnSet<Columns>& set : all) {
    if (set.Present(products)) sets.push_back(set.Make(products));
  }
  return sets;
}

}  // namespace

std::vector<ExtraGroupColumns> GroupColumnsOf(const RunProducts& products) { return SetsOf(kGroupColumnSets, products); }

std::vector<ExtraRegionColumns> RegionColumnsOf(const RunProducts& products) {
  return SetsOf(kRegionColumnSets, products);
}

}  // namespace tarnek

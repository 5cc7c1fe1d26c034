// The records of the data file, as read: the table that every later step of
// the run works from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnek {

// One row per accepted record, in input order; record k (counted from 1) is
// row k-1. The columns grow as the file needs: there is no record limit.
struct RecordTable {
  std::vector<int32_t> Unit;   // grouping key, -1 or greater
  std::vector<int32_t> Code;   // record identifier, any value, printed back as read
  std::vector<int32_t> Data1;  // observed count, 0 or greater
  std::vector<double> Data2;   // expected count, finite and greater than 0

  size_t Size() const { return Unit.size(); }
};

}  // namespace tarnek

// Neighbour lists as a GAL file, the form GeoDa writes and reads (and R
// spdep's read.gal, PySAL's open): a header line "0 N layer key", then per
// region a line "id k" and a line of its k neighbours' ids, blank-separated
// ("id 0" and an empty line for a region without neighbours). Ids are the
// regions' codes, as the outputs print them. Lines end with CR LF, as every
// output file of this system; the readers named take both line ends.
//
// A GAL file is split at white space, so an id must be non-empty and hold
// none (the caller checks the codes, Unicode's white space included); the
// layer's and key's names in the header have every blank, tab, CR or LF
// replaced by '_' (and an empty one written as "-"), as they only label
// the file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/neighbours.h"
#include "core/record_table.h"  // TextColumn

namespace tarnek {

struct GalResult {
  bool Ok = true;
  size_t Row = 0;  // when not Ok: the first region whose code cannot be an id
};

// Appends the GAL text of `lists` to `out`; `codes` holds one code per
// region of the lists. Nothing is appended when a code cannot be an id.
GalResult FormatGal(const NeighbourLists& lists, const TextColumn& codes, std::string_view layer,
                    std::string_view key, std::string& out);

}  // namespace tarnek

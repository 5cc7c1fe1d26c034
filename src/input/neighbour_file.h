// The neighbour file reader: which records are neighbours of which, read
// from the two text formats of the field's tools (GeoDa, PySAL, R spdep's
// read.gal / write.nb.gal and read.gwt2nb / write.sn2gwt).
//
// Both formats begin with a header line, either the region count alone
// ("N", the old form) or GeoDa's four fields "0 N layer key" (a flag, the
// count, the layer's and the key variable's names; only the count is read).
// A layer's name with blanks in it gives that form more fields ("0 100 my
// layer FIPS"): five or more fields whose first is 0 are read as it, as
// PySAL reads them (spdep's read.gal takes only one field or four).
// Then
//   GAL: per region a line "id k" followed by a line holding its k neighbour
//        ids (spdep and GeoDa write an empty line for k = 0);
//   GWT: one line "i j w" per link: j is a neighbour of i with the weight w.
//        The weight must be a plain decimal number (decimal.h); its value is
//        not used: only membership counts.
// Fields are separated by blanks and tabs; a line ends with LF, CR LF or a
// CR alone. A UTF-8 byte order mark before the header is skipped.
//
// GAL or GWT is told from the content, not from the file's name: the first
// line after the header that is not blank has two fields ("id k") in a GAL
// file and three ("i j w") in a GWT file; any other number is an error. A
// file with nothing after its header reads as a GAL file of no regions (a
// GWT file without a single link cannot be told from a GAL file cut after
// its header, and is refused unless the header counts 0 regions).
//
// Ids are matched to the records' codes, byte for byte as text (plain data's
// integer codes as their decimal text, e.g. "37001"; no other normalising:
// "037001" is another id). With a neighbour file the codes must be unique,
// non-empty and free of white space (an id of the file cannot hold a blank),
// Unicode's included, at which other readers of such files split (PySAL).
//
// What must hold, and the error for each (every error of the file names the
// line, counted from 1, and the id or the field concerned):
//   - the header is "N", four fields with N second, or five or more with 0
//     first and N second; N is a count (a
//     decimal integer from 0 to 2^31 - 1);
//   - GAL: an entry line is exactly "id k", k a count; the line after it
//     (for k > 0) holds exactly k ids; blank lines where an entry line is due
//     are skipped (so an island's empty line may be there or not); exactly N
//     entries, then nothing but blank lines; every id is a record's code; no
//     region has two entries; every record has an entry;
//   - GWT: every line that is not blank is exactly "i j w"; both ids are
//     records' codes; N equals the number of records (a GWT file cannot list
//     a region without links, so the count is the file's only word on which
//     regions it covers); a record that is no line's i has no neighbours;
//   - in both: no region is its own neighbour, and no neighbour is listed
//     twice for one region.
// A region with no neighbours is an island, which is allowed; lists need not
// be symmetric. The neighbours keep the order of the file. A line's errors
// are found left to right, its field count first; the first error of the
// file in line order is the one reported (a record without an entry, which
// no line shows, after every line).
//
// Speed: the file is read a block at a time and each line is split in
// place, with no allocation per line; the ids are found in one hash table
// of the codes built at the start, the ids of a list looked up together.
// When every code is a decimal integer (as plain data's are), a code's slot
// follows from its value, so that regions with close codes lie close in the
// table and a list's lookups hit memory at hand (codes that crowd into a
// few slots go by the hash instead); otherwise from a hash of its text, a
// slot holding the first eight bytes. A million regions with 8
// neighbours each (tarnek-gen grid-gal, 64 MB) read in about 0.22 s, against
// 0.04 s to read the bytes alone. Memory: the table (16 bytes a slot, two
// slots or more a record), the lists (4 bytes a link) and, for GWT, 8 bytes
// a link while they are put in order by region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/neighbours.h"
#include "core/record_table.h"

namespace tarnek {

enum class NeighbourFormat { Gal, Gwt };

enum class NeighbourFileStatus {
  Ok,
  CannotOpen,          // the file cannot be opened (or is a directory)
  CannotRead,          // an I/O error while reading it
  RepeatedCode,        // the data: Id repeats, in records Record and OtherRecord
  UnusableCode,        // the data: code Id of record Record is empty or holds white space
  BadHeader,           // line 1 is neither "N" nor "0 N layer key" (Found: how many fields it has)
  UnknownFormat,       // the first line after the header that is not blank has neither two fields nor
                       //   three (Found: how many)
  NotACount,           // Id, where a count belongs (the header's N, a GAL entry's k), is not one
  WrongFieldCount,     // a GAL entry line not of two fields, a GWT line not of three (Found: how many)
  NotAWeight,          // Id, a GWT line's third field, is not a decimal number
  CountMismatch,       // GAL: region Region announces Announced neighbours, its line holds Found ids
  FileEndsEarly,       // GAL: the file ends after Found of the Announced entries its header announces
                       //   (Region empty), or before the neighbour line of Region's entry
  TextAfterEnd,        // GAL: a line that is not blank after the Announced entries
  RegionCountMismatch, // GWT: the header announces Announced regions, the data has Found records
  UnknownId,           // Id matches no record's code
  RepeatedEntry,       // GAL: region Id has a second entry
  RepeatedNeighbour,   // Id is listed twice as a neighbour of Region
  OwnNeighbour,        // Id is listed as its own neighbour
  MissingEntry,        // GAL: record Record, code Id, has no entry (Line 0)
};

// Where a read failed and what it found there; the fields a status does not
// name stay empty or 0. A text from the file or the data is kept as read,
// up to its first 256 bytes, then "..." when it is longer.
struct NeighbourFileError {
  NeighbourFileStatus Status = NeighbourFileStatus::Ok;
  uint64_t Line = 0;         // the file's line, from 1; 0 when no line is concerned
  std::string Id;            // the id, code or field concerned
  std::string Region;        // whose entry or list it is
  uint64_t Announced = 0;    // the count the file announces
  uint64_t Found = 0;        // the count found
  uint64_t Record = 0;       // a record's number in the data, from 1
  uint64_t OtherRecord = 0;  // a second record's number
};

// The lists are valid when Error.Status is Ok; Format is the one the content
// showed (Gal until it shows one).
struct NeighbourFileResult {
  NeighbourFileError Error;
  NeighbourFormat Format = NeighbourFormat::Gal;
  NeighbourLists Lists;  // over the records: region i is codes.At(i)
};

// Every record's code as text, in record order: CSV data's CodeText as it
// stands, plain data's integer codes in decimal ("-12", "37001").
TextColumn RecordCodeTexts(const RecordTable& table);

// Checks that `codes` can name the regions of neighbour lists, by the rule
// that ReadNeighbourFile checks first: unique, non-empty and free of white
// space. Error.Status Ok, RepeatedCode or UnusableCode. Neighbours that
// come from elsewhere (contiguity) meet the same rule.
NeighbourFileResult CheckNeighbourCodes(const TextColumn& codes);

// Reads the neighbour file text `text` as a whole. Precondition: fewer than
// 2^32 - 1 codes (rows are 32-bit in the lists).
NeighbourFileResult ParseNeighbours(std::string_view text, const TextColumn& codes);

// Reads it from `file` a block of `blockSize` bytes at a time (more when a
// line runs past a block): the result is that of ParseNeighbours on the
// whole text. Running out of memory throws std::bad_alloc.
inline constexpr size_t kNeighbourBlockSize = size_t{1} << 20;
NeighbourFileResult ReadNeighbourStream(std::FILE* file, const TextColumn& codes, size_t blockSize);

// Opens `fileName` and reads it with ReadNeighbourStream; the codes are
// checked first. A file that cannot be opened, or a directory, gives
// CannotOpen.
NeighbourFileResult ReadNeighbourFile(const std::string& fileName, const TextColumn& codes);

// The error in words, one line without a line end, after the file's name:
// "line 7: id 37999 matches no record's code". Texts from the file are
// shown with every byte below 0x20 and 0x7F as "?".
std::string DescribeNeighbourError(const NeighbourFileResult& result);

}  // namespace tarnek

// The data file reader: fills the record table.
//
// A data file is plain text holding records of four white-space-separated
// numbers: Unit Code Data1 Data2. Lines carry no meaning. Text mode rules
// apply: a Ctrl-Z byte ends the data, and a carriage return is white space
// like a line feed (IsFieldSpace), as the C library's text mode and isspace
// treat it: CR LF and LF line ends read alike, and a CR alone separates the
// numbers on either side of it just as a line end does.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/parallel.h"
#include "core/record_table.h"

namespace tarnek {

enum class ReadStatus {
  Ok,
  CannotOpen,   // the file cannot be opened (or is a directory)
  CannotRead,   // an I/O error while reading it
  OutOfRange,   // a complete record fails a value test; ErrorCode is its Code
  NotARecord,   // text that does not read as a record; ErrorCode is the Code of the record before it (0 if none)
};

struct ReadResult {
  ReadStatus Status = ReadStatus::Ok;
  int32_t ErrorCode = 0;
};

// Applies the text-mode rules in place: cuts the text at the first Ctrl-Z
// byte. Every other byte stays, carriage returns too: the scan takes them
// for white space. Returns true when a Ctrl-Z ended the text.
bool ApplyTextMode(std::string& text);

// Reads every record of `text` (text mode already applied) into `table`,
// testing each record as soon as it is read: Data1 >= 0, then Data2 > 0 and
// finite (or, with `zeroExpected`, >= 0: a record of Data2 0 is kept as a
// row without a defined ratio), then Unit >= -1. Stops at the first bad
// record.
ReadResult ParseRecords(std::string_view text, RecordTable& table, bool zeroExpected = false);

// Reads records from `file` a block of `blockSize` bytes at a time (larger
// when a record runs past a block), applying text mode to each block and
// scanning as it goes: the result is that of ParseRecords on the whole text,
// but a bad record ends the read without reading on.
inline constexpr size_t kReadBlockSize = size_t{1} << 20;
ReadResult ReadDataStream(std::FILE* file, RecordTable& table, size_t blockSize, bool zeroExpected = false);

// The same read, the scanning shared out over the threads of `pool`: a
// round of up to one block per thread (64 at most) is read at once and cut
// into parts of 64 KiB or more (a block, where blocks are smaller), one per
// thread at most, each part scanned from the first line end in it. A round
// reads no more than a regular file still holds, and of a stream whose size
// is unknown no more than has been read so far (a block at first): memory
// and threads follow the data, not the number of threads. A part's records
// count only where the scan before it stops at the very record the part
// began with; elsewhere (a record that spans that line end) the text is
// scanned again from where that scan stopped. The table and the result are
// those of the read above whatever the number of threads and the block
// size; a bad record ends the read at the end of its round.
ReadResult ReadDataStream(std::FILE* file, RecordTable& table, size_t blockSize, WorkerPool& pool,
                          bool zeroExpected = false);

// Opens the data file `fileName` and reads it with ReadDataStream (on the
// threads of `pool` where it is given). A file that cannot be opened, or a
// directory, gives CannotOpen. Memory grows with the records read, never
// with the file's size: a sparse tail after a Ctrl-Z is never read.
ReadResult ReadDataFile(const std::string& fileName, RecordTable& table, bool zeroExpected = false);
ReadResult ReadDataFile(const std::string& fileName, RecordTable& table, WorkerPool& pool, bool zeroExpected = false);

}  // namespace tarnek

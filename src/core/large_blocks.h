// The run's memory: large blocks on huge pages, freed memory kept.
//
// A run of a million records touches a few hundred megabytes of fresh
// memory (the table's columns, the sort, the results, the text of the
// outputs), and on a virtual machine every 4 KiB page touched for the
// first time is a fault that costs microseconds: a sixth of a plain run's
// time on a million records went to them, a third on 200,000. So every
// block of 256 KiB or more that operator new hands out comes from ranges
// mapped apart from the heap and marked for transparent huge pages (one
// fault per 2 MiB), where the system offers them ("always" or "madvise" in
// /sys/kernel/mm/transparent_hugepage/enabled).
// Freed blocks stay in those ranges for the next large block, as freed heap
// memory stays in the heap (neighbouring free blocks join); nothing goes
// back to the system before the process ends. A block is found by a look
// at every stretch of the ranges: a run holds some tens of such blocks at
// once, and a block's first touch costs far more than the look.
//
// Smaller blocks, and every block where huge pages are off or before
// SetUpMemory, come from malloc. Builds under AddressSanitizer keep its own
// allocator, whose checks would not see into these ranges, and so do builds
// under clang's ThreadSanitizer.
#pragma once

#include <cstddef>

namespace tarnek {

// Blocks of this size or more go to the huge pages' ranges.
inline constexpr size_t kLargeBlock = size_t{1} << 18;  // 256 KiB

// Sets up the run's memory: the heap keeps what is freed, and large blocks
// go to huge pages where the system has them. Call once, first thing in
// main, before any thread starts.
void SetUpMemory();

// Whether large blocks come from the huge pages' ranges in this process.
bool LargeBlocksOnHugePages();

// The bytes mapped for large blocks, and the bytes of those in use.
struct LargeBlockUsage {
  size_t Mapped = 0;
  size_t InUse = 0;
};
LargeBlockUsage CurrentLargeBlockUsage();

}  // namespace tarnek

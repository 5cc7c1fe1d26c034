// Large blocks: from ranges marked for huge pages, used again once freed,
// whole under many threads, and a clean failure where the system has no room.
#include "core/large_blocks.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace tarnek {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

class LargeBlocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUpMemory();
    if (!LargeBlocksOnHugePages()) GTEST_SKIP() << "no transparent huge pages here (or a build under ASan)";
  }
};

// The VmFlags line of the mapping that holds `p`, from /proc/self/smaps.
std::string FlagsOfMapping(const void* p) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(p);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    uintptr_t begin = 0, end = 0;
    const char* dash = std::strchr(line.c_str(), '-');
    const char* last = line.c_str() + line.size();
    if (dash != nullptr && std::from_chars(line.c_str(), dash, begin, 16).ptr == dash &&
        std::from_chars(dash + 1, last, end, 16).ec == std::errc()) {
      inside = begin <= at && at < end;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line + " ";
    }
  }
  return "";
}

TEST_F(LargeBlocksTest, ComeFromRangesMarkedForHugePages) {
  const LargeBlockUsage before = CurrentLargeBlockUsage();
  std::vector<char> small(kLargeBlock - 1, 'a');
  EXPECT_EQ(CurrentLargeBlockUsage().InUse, before.InUse);
  std::vector<char> least(kLargeBlock, 'c');
  EXPECT_EQ(CurrentLargeBlockUsage().InUse, before.InUse + kLargeBlock);
  std::vector<char> large(3 * kLargeBlock + 5, 'b');
  EXPECT_EQ(reinterpret_cast<uintptr_t>(large.data()) % 4096, 0u);
  EXPECT_NE(FlagsOfMapping(large.data()).find(" hg "), std::string::npos) << FlagsOfMapping(large.data());
  EXPECT_EQ(CurrentLargeBlockUsage().InUse, before.InUse + 4 * kLargeBlock + 4096);
}

// Sixteen blocks of 2 MiB freed in a shuffled order join again: a block of
// all their bytes then needs no new range. (Calls of operator new itself,
// which the compiler may not leave out as it may a new and its delete.)
TEST_F(LargeBlocksTest, FreedBlocksJoinAndServeTheNext) {
  const LargeBlockUsage before = CurrentLargeBlockUsage();
  std::vector<void*> blocks;
  for (int i = 0; i < 16; ++i) blocks.push_back(::operator new(2 * kMiB));
  const size_t mapped = CurrentLargeBlockUsage().Mapped;
  for (const int i : {5, 0, 15, 7, 1, 9, 14, 2, 8, 3, 12, 4, 11, 6, 13, 10}) ::operator delete(blocks[i]);
  EXPECT_EQ(CurrentLargeBlockUsage().InUse, before.InUse);
  for (int round = 0; round < 20; ++round) {
    ::operator delete(::operator new(32 * kMiB));
    std::vector<void*> some;
    for (size_t i = 1; i <= 5; ++i) some.push_back(::operator new(i * kMiB + 100));
    for (void* block : some) ::operator delete(block);
  }
  EXPECT_EQ(CurrentLargeBlockUsage().Mapped, mapped);
  EXPECT_EQ(CurrentLargeBlockUsage().InUse, before.InUse);
}

// Blocks on both sides of the threshold, taken, filled and freed on 1 to 8
// threads: no block overlaps another (each keeps the fill it was given).
TEST_F(LargeBlocksTest, ManyThreadsKeepTheirBlocksWhole) {
  const LargeBlockUsage before = CurrentLargeBlockUsage();
  for (const int threads : {1, 2, 3, 8}) {
    std::vector<std::thread> workers;
    std::vector<int> damaged(threads, 0);
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([t, &damaged] {
        uint32_t state = 12345u + static_cast<uint32_t>(t);
        std::vector<std::vector<unsigned char>> held;
        for (int round = 0; round < 40; ++round) {
          state = state * 1664525u + 1013904223u;
          const size_t size = kLargeBlock / 2 + (state >> 8) % (3 * kLargeBlock);
          held.emplace_back(size, static_cast<unsigned char>(t + round));
          if (held.size() > 4) {
            const auto filled = static_cast<unsigned char>(t + round - 4);  // when the oldest was taken
            const std::vector<unsigned char>& oldest = held.front();
            for (size_t i = 0; i < oldest.size(); i += 512) damaged[t] += oldest[i] != filled;
            damaged[t] += oldest.back() != filled;
            held.erase(held.begin());
          }
        }
      });
    }
    for (std::thread& w : workers) w.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(damaged[t], 0) << threads << " threads, thread " << t;
  }
  EXPECT_EQ(CurrentLargeBlockUsage().InUse, before.InUse);
}

TEST_F(LargeBlocksTest, NoRoomCallsTheHandlerThenThrows) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's malloc ends the run on a request this large";
#endif
  static int calls = 0;
  calls = 0;
  std::set_new_handler([] {
    ++calls;
    std::set_new_handler(nullptr);
  });
  EXPECT_THROW(static_cast<void>(::operator new(SIZE_MAX / 4)), std::bad_alloc);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(::operator new(SIZE_MAX / 4, std::nothrow), nullptr);
}

}  // namespace
}  // namespace tarnek

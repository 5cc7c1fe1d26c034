// Large blocks on huge pages: operator new and delete, and the ranges they
// keep.
#include "core/large_blocks.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <fcntl.h>     // open
#include <malloc.h>    // mallopt
#include <sys/mman.h>  // mmap, munmap, madvise
#include <unistd.h>    // read, close

// Off under AddressSanitizer, and under clang's ThreadSanitizer, whose
// runtime is linked in whole with its own operator new and delete (gcc's is
// a shared library, which the program's replace as they replace libstdc++'s).
#if defined(__SANITIZE_ADDRESS__)
#define TARNEK_LARGE_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARNEK_LARGE_BLOCKS 0
#endif
#endif
#ifndef TARNEK_LARGE_BLOCKS
#define TARNEK_LARGE_BLOCKS 1
#endif

namespace tarnek {
namespace {

constexpr size_t kHugePage = size_t{1} << 21;
constexpr size_t kPage = 4096;                // blocks begin and end on these
constexpr size_t kRegion = size_t{32} << 20;  // mapped at a time, at the least

// The ranges' own list takes its memory from malloc: operator new would
// come back here for it.
template <class T>
struct MallocAllocator {
  using value_type = T;
  MallocAllocator() = default;
  template <class U>
  MallocAllocator(const MallocAllocator<U>&) {}
  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void* p = std::malloc(n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) { std::free(p); }
  bool operator==(const MallocAllocator&) const { return true; }
};

// A stretch of a mapped range: a block in use, or free.
struct Stretch {
  uintptr_t Begin;
  size_t Length;
  bool Free;
};

struct Ranges {
  std::mutex Lock;
  std::vector<Stretch, MallocAllocator<Stretch>> Stretches;  // by address, none overlapping
  LargeBlockUsage Usage;
};

// Made on first use and never destroyed: blocks are freed by static
// destructors to the very end.
Ranges& TheRanges() {
  alignas(Ranges) static unsigned char storage[sizeof(Ranges)];
  static Ranges* const ranges = new (storage) Ranges;
  return *ranges;
}

std::atomic<bool> gOn{false};      // large blocks go to the ranges
std::atomic<bool> gMapped{false};  // some range exists: a freed block may be one of theirs

size_t RoundUp(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

// The first stretch that begins at `address` or above.
auto FirstFrom(std::vector<Stretch, MallocAllocator<Stretch>>& stretches, uintptr_t address) {
  return std::lower_bound(stretches.begin(), stretches.end(), address,
                          [](const Stretch& s, uintptr_t a) { return s.Begin < a; });
}

bool SystemHasHugePages() {
  const int fd = open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[256];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  return std::strstr(text, "[always]") != nullptr || std::strstr(text, "[madvise]") != nullptr;
}

// Maps a range of at least `length` bytes, aligned to a huge page and
// marked for them, and lists it free; its index, or npos where the system
// has no room.
size_t MapRange(Ranges& r, size_t length) {
  const size_t size = std::max(RoundUp(length, kHugePage), kRegion);
  void* mapped = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return SIZE_MAX;
  // The huge page's worth mapped beyond `size` is given back on either side
  // of the aligned range: `head` bytes before it, the rest after.
  const uintptr_t first = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t begin = RoundUp(first, kHugePage);
  const size_t head = begin - first;
  if (head > 0) munmap(mapped, head);
  munmap(reinterpret_cast<void*>(begin + size), kHugePage - head);
  madvise(reinterpret_cast<void*>(begin), size, MADV_HUGEPAGE);
  const auto at = FirstFrom(r.Stretches, begin);
  const size_t index = static_cast<size_t>(at - r.Stretches.begin());
  try {
    r.Stretches.insert(at, Stretch{begin, size, true});
  } catch (const std::bad_alloc&) {
    munmap(reinterpret_cast<void*>(begin), size);
    return SIZE_MAX;
  }
  r.Usage.Mapped += size;
  gMapped.store(true, std::memory_order_release);
  return index;
}

// A block of `n` bytes from the ranges: the smallest free stretch that
// holds it (the lowest of equals), else a range mapped anew; null where
// the system has no room.
void* TakeLargeBlock(size_t n) {
  if (n > SIZE_MAX / 2) return nullptr;
  const size_t length = RoundUp(n, kPage);
  Ranges& r = TheRanges();
  std::lock_guard<std::mutex> lock(r.Lock);
  size_t best = SIZE_MAX;
  for (size_t i = 0; i < r.Stretches.size(); ++i) {
    const Stretch& s = r.Stretches[i];
    if (s.Free && s.Length >= length && (best == SIZE_MAX || s.Length < r.Stretches[best].Length)) best = i;
  }
  if (best == SIZE_MAX) best = MapRange(r, length);
  if (best == SIZE_MAX) return nullptr;
  if (r.Stretches[best].Length > length) {
    const Stretch rest{r.Stretches[best].Begin + length, r.Stretches[best].Length - length, true};
    try {
      r.Stretches.insert(r.Stretches.begin() + static_cast<ptrdiff_t>(best) + 1, rest);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    r.Stretches[best].Length = length;
  }
  r.Stretches[best].Free = false;
  r.Usage.InUse += length;
  return reinterpret_cast<void*>(r.Stretches[best].Begin);
}

// Frees `p` if it is a block of the ranges, joining it to the free
// stretches beside it; false where it is not one of theirs.
bool GiveBackLargeBlock(void* p) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  if (a % kPage != 0 || !gMapped.load(std::memory_order_acquire)) return false;
  Ranges& r = TheRanges();
  std::lock_guard<std::mutex> lock(r.Lock);
  auto& s = r.Stretches;
  const auto at = FirstFrom(s, a);
  if (at == s.end() || at->Begin != a || at->Free) return false;
  const size_t i = static_cast<size_t>(at - s.begin());
  s[i].Free = true;
  r.Usage.InUse -= s[i].Length;
  if (i + 1 < s.size() && s[i + 1].Free && s[i].Begin + s[i].Length == s[i + 1].Begin) {
    s[i].Length += s[i + 1].Length;
    s.erase(s.begin() + static_cast<ptrdiff_t>(i) + 1);
  }
  if (i > 0 && s[i - 1].Free && s[i - 1].Begin + s[i - 1].Length == s[i].Begin) {
    s[i - 1].Length += s[i].Length;
    s.erase(s.begin() + static_cast<ptrdiff_t>(i));
  }
  return true;
}

}  // namespace

void SetUpMemory() {
  // Blocks below a large block come from the heap and stay there when
  // freed: a run frees and takes memory as its columns grow, and memory
  // the system hands out afresh costs a fault for every page touched.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, -1);
  mallopt(M_TOP_PAD, 16 << 20);
  gOn.store(TARNEK_LARGE_BLOCKS != 0 && SystemHasHugePages(), std::memory_order_relaxed);
}

bool LargeBlocksOnHugePages() { return gOn.load(std::memory_order_relaxed); }

LargeBlockUsage CurrentLargeBlockUsage() {
  Ranges& r = TheRanges();
  std::lock_guard<std::mutex> lock(r.Lock);
  return r.Usage;
}

}  // namespace tarnek

#if TARNEK_LARGE_BLOCKS
// The replaceable allocation functions: the array, sized and nothrow forms
// of the library come here through these.
void* operator new(std::size_t n) {
  for (;;) {
    void* p = nullptr;
    if (n >= tarnek::kLargeBlock && tarnek::gOn.load(std::memory_order_relaxed)) p = tarnek::TakeLargeBlock(n);
    if (p == nullptr) p = std::malloc(n == 0 ? 1 : n);
    if (p != nullptr) return p;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept {
  if (p != nullptr && !tarnek::GiveBackLargeBlock(p)) std::free(p);
}
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { ::operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { ::operator delete(p); }
#endif

// Large blocks on transparent huge pages.
//
// The tools' big arrays (points, centres, the linear systems, the mesh) are
// touched page by page as they fill. Where the kernel backs memory with
// 4 KiB pages only on request (transparent huge pages in "madvise" mode,
// Debian's default), every 4 KiB of a fresh block costs a page fault, and on
// a virtual machine a fault is costly: filling 2 GB took 7.8 s there against
// 0.6-2.5 s on 2 MiB pages. Every block of kLargeBytes or more is therefore
// advised onto huge pages as it is allocated, together with the rest of the
// 2 MiB pages it touches (advice only: neighbours lose nothing by it). On
// 1,000,000 points of man, wendfit-reconstruct then took 49,000 small-page
// faults instead of 107,000 (glibc's own huge-page tunable: 46,000), with
// the same output.
//
// This replaces the global operator new of the tools alone, never of the
// library, whose callers own their allocation policy; a sanitizer build
// keeps the sanitizer's own.

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kLargeBytes = std::size_t(1) << 20;

void* allocate(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  for (;;) {
    if (void* block = std::malloc(bytes)) {
#ifdef MADV_HUGEPAGE
      if (bytes >= kLargeBytes) {
        const auto first = reinterpret_cast<std::uintptr_t>(block) & ~(kHugePage - 1);
        const auto end = (reinterpret_cast<std::uintptr_t>(block) + bytes + kHugePage - 1) & ~(kHugePage - 1);
        // Parts of the range beyond the mapped heap are skipped by the kernel.
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
      }
#endif
      return block;
    }
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

}  // namespace

void* operator new(std::size_t bytes) { return allocate(bytes); }
void* operator new[](std::size_t bytes) { return allocate(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  try {
    return allocate(bytes);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  try {
    return allocate(bytes);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

#endif

#include "alloc_counter.hpp"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace kdr::bench {
namespace {

std::atomic<std::size_t> in_use{0};
std::atomic<std::size_t> peak{0};

void* allocate(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    // What the allocator really holds, so that frees balance exactly.
    const std::size_t now = in_use.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
    std::size_t seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    return p;
}

void release(void* p) noexcept {
    if (p != nullptr) {
        in_use.fetch_sub(malloc_usable_size(p));
        std::free(p);
    }
}

}  // namespace

std::size_t heap_in_use() noexcept {
    return in_use.load();
}
std::size_t heap_peak() noexcept {
    return peak.load();
}
void reset_heap_peak() noexcept {
    peak.store(in_use.load());
}

}  // namespace kdr::bench

// The replaceable global allocation functions (aligned forms are not used by
// the code measured and keep the library's own).
void* operator new(std::size_t size) {
    return kdr::bench::allocate(size);
}
void* operator new[](std::size_t size) {
    return kdr::bench::allocate(size);
}
void operator delete(void* p) noexcept {
    kdr::bench::release(p);
}
void operator delete[](void* p) noexcept {
    kdr::bench::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    kdr::bench::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    kdr::bench::release(p);
}

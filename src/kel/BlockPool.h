// kel::BlockPool recycles the small blocks that every var slot, value node and map
// entry lives in, so that reading or dropping a large value does not cost a trip
// through malloc and free per value. Any thread allocates and frees:
// each thread keeps a short list of free blocks per size, and surplus moves in
// batches to a shared list under a mutex. Blocks are reused, never returned to the
// system: the pool holds at most the peak of live blocks plus the threads' lists.
#pragma once

#include <cstddef>

namespace kel {

class BlockPool {
public:
    static constexpr std::size_t Granule = 8;    // pooled block sizes are multiples of this
    static constexpr std::size_t MaxSize = 128;  // larger requests go to the system

    static void* allocate(std::size_t size);
    static void deallocate(void* p, std::size_t size) noexcept;
};

// Allocator for std::allocate_shared that takes its blocks from the BlockPool.
template <typename T>
struct PoolAllocator {
    using value_type = T;
    static_assert(alignof(T) <= BlockPool::Granule, "pooled blocks are aligned to the granule");

    PoolAllocator() noexcept = default;
    template <typename U>
    PoolAllocator(const PoolAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit by design

    T* allocate(std::size_t n) { return static_cast<T*>(BlockPool::allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { BlockPool::deallocate(p, n * sizeof(T)); }

    template <typename U>
    bool operator==(const PoolAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const PoolAllocator<U>&) const noexcept {
        return false;
    }
};

}  // namespace kel

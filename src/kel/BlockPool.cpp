#include "kel/BlockPool.h"

#include <algorithm>
#include <mutex>
#include <new>

// Under AddressSanitizer every block goes to the system allocator, so that a use
// after free of a value is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define KEL_POOL_DISABLED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEL_POOL_DISABLED 1
#endif
#endif

namespace kel {

namespace {

constexpr std::size_t Granule = BlockPool::Granule;
constexpr std::size_t MaxSize = BlockPool::MaxSize;
constexpr std::size_t Classes = MaxSize / Granule;  // one list per block size
constexpr unsigned Batch = 64;  // blocks in a chain moved between a thread and the shared lists

// A free block: the next free block of its chain and, in the head block of a chain
// on the shared list, the next chain. Chains end with a null next, so they are
// handed over whole without walking them.
struct FreeBlock {
    FreeBlock* next;
    FreeBlock* nextChain;
};
// The smallest block holds a free block's two links.
constexpr std::size_t MinSize = sizeof(FreeBlock);

[[maybe_unused]] std::size_t sizeClass(std::size_t size) {
    return (std::max(size, MinSize) - 1) / Granule;
}

struct SharedLists {
    std::mutex mutex;  // guards chains: threads whose own chains ran dry or overflowed
    FreeBlock* chains[Classes] = {};
};

// Never destroyed: values may still be dropped while the process exits.
SharedLists& shared() {
    static SharedLists* s = new SharedLists;
    return *s;
}

void pushChain(std::size_t c, FreeBlock* head) {
    SharedLists& s = shared();
    std::lock_guard<std::mutex> lock(s.mutex);
    head->nextChain = s.chains[c];
    s.chains[c] = head;
}

FreeBlock* popChain(std::size_t c) {
    SharedLists& s = shared();
    std::lock_guard<std::mutex> lock(s.mutex);
    FreeBlock* head = s.chains[c];
    if (head != nullptr) s.chains[c] = head->nextChain;
    return head;
}

thread_local bool listsGone = false;  // this thread's lists are gone (the thread is exiting)

// Per block size a thread takes blocks from and returns them to its active chain.
// When that holds a batch, it becomes the spare chain (an older spare goes to the
// shared list); when it runs dry, the spare, a chain of the shared list or a new
// chunk takes its place. A thread so keeps at most two batches of free blocks per
// size and moves whole chains only.
struct ThreadLists {
    FreeBlock* active[Classes] = {};
    FreeBlock* spare[Classes] = {};
    unsigned counts[Classes] = {};  // blocks in the active chain (a chain taken over counts as a batch)

    ~ThreadLists() {
        for (std::size_t c = 0; c < Classes; ++c) {
            if (active[c] != nullptr) pushChain(c, active[c]);
            if (spare[c] != nullptr) pushChain(c, spare[c]);
        }
        listsGone = true;
    }

    __attribute__((noinline)) void refill(std::size_t c) {
        counts[c] = Batch;
        if (spare[c] != nullptr) {
            active[c] = spare[c];
            spare[c] = nullptr;
            return;
        }
        active[c] = popChain(c);
        if (active[c] != nullptr) return;
        // A new chunk, chained in address order.
        const std::size_t size = (c + 1) * Granule;
        char* chunk = static_cast<char*>(::operator new(size* Batch));
        for (unsigned k = 0; k < Batch; ++k) {
            reinterpret_cast<FreeBlock*>(chunk + k * size)->next =
                k + 1 < Batch ? reinterpret_cast<FreeBlock*>(chunk + (k + 1) * size) : nullptr;
        }
        active[c] = reinterpret_cast<FreeBlock*>(chunk);
    }

    void* take(std::size_t c) {
        if (active[c] == nullptr) refill(c);
        FreeBlock* b = active[c];
        active[c] = b->next;
        // The next take reads that block's link: fetch it now rather than then.
        __builtin_prefetch(active[c]);
        if (counts[c] > 0) --counts[c];
        return b;
    }

    void give(std::size_t c, FreeBlock* b) {
        if (counts[c] >= Batch) {
            if (spare[c] != nullptr) pushChain(c, spare[c]);
            spare[c] = active[c];
            active[c] = nullptr;
            counts[c] = 0;
        }
        b->next = active[c];
        active[c] = b;
        ++counts[c];
    }
};

thread_local ThreadLists threadLists;

}  // namespace

void* BlockPool::allocate(std::size_t size) {
#ifdef KEL_POOL_DISABLED
    return ::operator new(size);
#else
    if (size > MaxSize) return ::operator new(size);
    const std::size_t c = sizeClass(size);
    // A block of the class size from the system may join the pool when it is freed.
    if (listsGone) return ::operator new((c + 1) * Granule);
    return threadLists.take(c);
#endif
}

void BlockPool::deallocate(void* p, std::size_t size) noexcept {
#ifdef KEL_POOL_DISABLED
    (void)size;
    ::operator delete(p);
#else
    if (size > MaxSize) {
        ::operator delete(p);
        return;
    }
    const std::size_t c = sizeClass(size);
    auto* b = static_cast<FreeBlock*>(p);
    if (listsGone) {
        b->next = nullptr;
        pushChain(c, b);
        return;
    }
    threadLists.give(c, b);
#endif
}

}  // namespace kel

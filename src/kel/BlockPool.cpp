#include "kel/BlockPool.h"

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

constexpr std::size_t Granule = 16;                 // block sizes are multiples of this
constexpr std::size_t MaxSize = 128;                // larger requests go to the system
constexpr std::size_t Classes = MaxSize / Granule;  // one list per block size
constexpr unsigned Batch = 64;                      // blocks moved between a thread and the shared lists

struct FreeBlock {
    FreeBlock* next;
};

struct SharedLists {
    std::mutex mutex;  // guards lists: threads whose own list ran dry or overflowed
    FreeBlock* lists[Classes] = {};
};

// Never destroyed: values may still be dropped while the process exits.
SharedLists& shared() {
    static SharedLists* s = new SharedLists;
    return *s;
}

void pushShared(std::size_t c, FreeBlock* first, FreeBlock* last) {
    SharedLists& s = shared();
    std::lock_guard<std::mutex> lock(s.mutex);
    last->next = s.lists[c];
    s.lists[c] = first;
}

thread_local bool listsGone = false;  // this thread's lists are gone (the thread is exiting)

struct ThreadLists {
    FreeBlock* lists[Classes] = {};
    unsigned counts[Classes] = {};

    ~ThreadLists() {
        for (std::size_t c = 0; c < Classes; ++c) {
            FreeBlock* first = lists[c];
            if (first == nullptr) continue;
            FreeBlock* last = first;
            while (last->next != nullptr) last = last->next;
            pushShared(c, first, last);
        }
        listsGone = true;
    }

    // Takes a batch from the shared list, or carves a new chunk into blocks.
    void refill(std::size_t c) {
        {
            SharedLists& s = shared();
            std::lock_guard<std::mutex> lock(s.mutex);
            FreeBlock* first = s.lists[c];
            if (first != nullptr) {
                FreeBlock* last = first;
                unsigned n = 1;
                while (n < Batch && last->next != nullptr) {
                    last = last->next;
                    ++n;
                }
                s.lists[c] = last->next;
                last->next = lists[c];
                lists[c] = first;
                counts[c] += n;
                return;
            }
        }
        const std::size_t size = (c + 1) * Granule;
        char* chunk = static_cast<char*>(::operator new(size* Batch));
        for (unsigned k = 0; k < Batch; ++k) {
            auto* b = reinterpret_cast<FreeBlock*>(chunk + k * size);
            b->next = lists[c];
            lists[c] = b;
        }
        counts[c] += Batch;
    }

    // Moves a batch to the shared list when this thread holds too many free blocks.
    void spill(std::size_t c) {
        FreeBlock* first = lists[c];
        FreeBlock* last = first;
        for (unsigned n = 1; n < Batch; ++n) last = last->next;
        lists[c] = last->next;
        counts[c] -= Batch;
        pushShared(c, first, last);
    }
};

thread_local ThreadLists threadLists;

}  // namespace

void* BlockPool::allocate(std::size_t size) {
#ifdef KEL_POOL_DISABLED
    return ::operator new(size);
#else
    if (size > MaxSize) return ::operator new(size);
    const std::size_t c = (size - 1) / Granule;
    // A block of the class size from the system may join the pool when it is freed.
    if (listsGone) return ::operator new((c + 1) * Granule);
    ThreadLists& t = threadLists;
    if (t.lists[c] == nullptr) t.refill(c);
    FreeBlock* b = t.lists[c];
    t.lists[c] = b->next;
    --t.counts[c];
    return b;
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
    const std::size_t c = (size - 1) / Granule;
    auto* b = static_cast<FreeBlock*>(p);
    if (listsGone) {
        pushShared(c, b, b);
        return;
    }
    ThreadLists& t = threadLists;
    b->next = t.lists[c];
    t.lists[c] = b;
    if (++t.counts[c] > 2 * Batch) t.spill(c);
#endif
}

}  // namespace kel

// Storage for objects of one type that are made and dropped once per item read (the safe item,
// its link, its recipients): one freed block is kept for the next object of the type, so reading
// many items in turn does not go to the allocator for each of them. Any thread may take or give
// back the kept block. Under the sanitizers every object gets its own block, as they expect.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

// gcc names the sanitizers with macros, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PIM_RECYCLE_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PIM_RECYCLE_BLOCKS 0
#endif
#endif
#ifndef PIM_RECYCLE_BLOCKS
#define PIM_RECYCLE_BLOCKS 1
#endif

namespace pim {

template <class T>
class Recycled {
public:
    static void* take(std::size_t size) {
#if PIM_RECYCLE_BLOCKS
        if (size == sizeof(T))
            if (void* p = kept_.exchange(nullptr, std::memory_order_acquire)) return p;
#endif
        return ::operator new(size);
    }
    static void give(void* p, [[maybe_unused]] std::size_t size) noexcept {
        if (!p) return;
#if PIM_RECYCLE_BLOCKS
        void* none = nullptr;
        if (size == sizeof(T) && kept_.compare_exchange_strong(none, p, std::memory_order_release)) return;
#endif
        ::operator delete(p);
    }

private:
    static inline std::atomic<void*> kept_{nullptr};
};

/// An allocator for std::allocate_shared that keeps one block of each type it is asked for.
template <class T>
struct RecycledAllocator {
    using value_type = T;
    RecycledAllocator() = default;
    template <class U>
    RecycledAllocator(const RecycledAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n != 1) return static_cast<T*>(::operator new(n * sizeof(T)));
        return static_cast<T*>(Recycled<T>::take(sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n != 1) return ::operator delete(p);
        Recycled<T>::give(p, sizeof(T));
    }
    template <class U>
    bool operator==(const RecycledAllocator<U>&) const noexcept { return true; }
};

}  // namespace pim

// A mutex for the per-item locks taken on every property read: one atomic word, taken and
// given back without a call into the thread library while no other thread wants it (the
// reads of one item are almost never contended, and they are taken a dozen times an item).
#pragma once

#include <atomic>

namespace pim {

class ItemLock {
public:
    ItemLock() = default;
    ItemLock(const ItemLock&) = delete;
    ItemLock& operator=(const ItemLock&) = delete;

    void lock() noexcept {
        int c = 0;
        if (word_.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
        // 2: held, and someone may be waiting; whoever gives it back then wakes one.
        if (c != 2) c = word_.exchange(2, std::memory_order_acquire);
        while (c != 0) {
            word_.wait(2, std::memory_order_relaxed);
            c = word_.exchange(2, std::memory_order_acquire);
        }
    }
    bool try_lock() noexcept {
        int c = 0;
        return word_.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock() noexcept {
        if (word_.exchange(0, std::memory_order_release) == 2) word_.notify_one();
    }

private:
    std::atomic<int> word_{0};  // 0 free, 1 held, 2 held and maybe waited for
};

}  // namespace pim

// Support: a word shared between threads, atomic in its type. <atomic> would do, but under
// C++20 it includes the C++ runtime's waiting and locale machinery, which the static stub's
// C library does not declare; these are the compiler's own builtins.
#pragma once

template <class T>
class Atomic {
   public:
    // Trivial, so that a struct holding one may live in zeroed memory (calloc, or `= {}`),
    // where it holds a zero T.
    Atomic() = default;
    constexpr explicit Atomic(T v) : v_(v) {}
    Atomic(const Atomic &) = delete;
    Atomic &operator=(const Atomic &) = delete;

    T load(int order) const { return __atomic_load_n(&v_, order); }
    void store(T v, int order) { __atomic_store_n(&v_, v, order); }
    T exchange(T v, int order) { return __atomic_exchange_n(&v_, v, order); }
    // Sets the word to desired if it holds expected; returns whether it did.
    bool compare_exchange(T expected, T desired, int order) {
        return __atomic_compare_exchange_n(&v_, &expected, desired, false, order, __ATOMIC_ACQUIRE);
    }

   private:
    T v_;
};

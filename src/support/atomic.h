// Support: a word shared between threads, atomic in its type. <atomic> would do, but under
// C++20 it includes the C++ runtime's waiting and locale machinery, which the static stub's
// C library does not declare; these are the compiler's own builtins.
#pragma once

template <class T>
class Atomic {
   public:
    constexpr explicit Atomic(T v) : v_(v) {}
    Atomic(const Atomic &) = delete;
    Atomic &operator=(const Atomic &) = delete;

    T load(int order) const { return __atomic_load_n(&v_, order); }
    void store(T v, int order) { __atomic_store_n(&v_, v, order); }
    T exchange(T v, int order) { return __atomic_exchange_n(&v_, v, order); }

   private:
    T v_;
};

// SharedAccess: the one way this project's programs touch a field of a partition that another
// process may access at the same time. Header-only, so that the tools and the writer library use
// it without linking the communication layer's library.
//
// Every access is atomic (std::atomic_ref over the field in place) and names its memory order
// at the call, so that the ordering rules of the shared structures stay visible where they are
// applied. A plain access to such a field would be a data race that the compiler may cache or
// tear. Payload bytes published by an offset (the elements' contents) are copied plainly; the
// offset's release and acquire order them.
//
// Any thread; the field must lie in mapped memory and be aligned to its size (the byte-wise
// helpers have no alignment requirement).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace ZulOsCom {

// Another process shares the memory: only atomics that need no lock (which would live in this
// process alone) work across it.
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint8_t>::is_always_lock_free);
static_assert(std::atomic_ref<char>::is_always_lock_free);

class SharedAccess {
public:
    template <typename T>
    static T Load(const T& field, std::memory_order order) {
        static_assert(std::is_integral_v<T>);
        return std::atomic_ref<T>(const_cast<T&>(field)).load(order);
    }

    template <typename T>
    static void Store(T& field, std::type_identity_t<T> value, std::memory_order order) {
        static_assert(std::is_integral_v<T>);
        std::atomic_ref<T>(field).store(value, order);
    }

    // Returns the value before the exchange.
    template <typename T>
    static T Exchange(T& field, std::type_identity_t<T> value, std::memory_order order) {
        static_assert(std::is_integral_v<T>);
        return std::atomic_ref<T>(field).exchange(value, order);
    }

    // Interlocked addition (wrapping around); returns the value before the addition.
    template <typename T>
    static T FetchAdd(T& field, std::type_identity_t<T> delta, std::memory_order order) {
        static_assert(std::is_integral_v<T>);
        return std::atomic_ref<T>(field).fetch_add(delta, order);
    }

    // The little-endian 32-bit value of the four bytes at bytes, each read atomically (relaxed):
    // for a field whose alignment is not known (an offset taken from shared memory, an end
    // marker at the end of a partition of any size). The value may mix bytes of two stores.
    static uint32_t LoadLittleEndian32(const uint8_t* bytes) {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i) {
            value = (value << 8) | Load(bytes[i], std::memory_order_relaxed);
        }
        return value;
    }

    // Writes value little-endian into the four bytes at bytes, each atomically (relaxed).
    static void StoreLittleEndian32(uint8_t* bytes, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            Store(bytes[i], static_cast<uint8_t>(value >> (8 * i)), std::memory_order_relaxed);
        }
    }

    // Zeroes size bytes from begin (relaxed), which other processes may look at meanwhile:
    // whole aligned words where possible, single bytes at the ragged ends.
    static void Zero(uint8_t* begin, uint32_t size) {
        uint8_t* p = begin;
        uint8_t* const end = begin + size;
        while (p != end && reinterpret_cast<uintptr_t>(p) % sizeof(uint32_t) != 0) {
            Store(*p++, 0, std::memory_order_relaxed);
        }
        while (static_cast<size_t>(end - p) >= sizeof(uint32_t)) {
            Store(*reinterpret_cast<uint32_t*>(p), 0, std::memory_order_relaxed);
            p += sizeof(uint32_t);
        }
        while (p != end) {
            Store(*p++, 0, std::memory_order_relaxed);
        }
    }
};

}  // namespace ZulOsCom

#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace ferrant {

// Copies n < 8 bytes.
[[gnu::always_inline]] inline void copy_under_8(char* dst, const char* src, std::size_t n) {
    if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, src, 4);
        std::memcpy(&tail, src + n - 4, 4);
        std::memcpy(dst, &head, 4);
        std::memcpy(dst + n - 4, &tail, 4);
    } else if (n) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}

// memcpy, with the short copies that most pieces of a line are done inline
// by two overlapping moves instead of a call.
[[gnu::always_inline]] inline void copy_bytes(char* dst, const char* src, std::size_t n) {
    if (n > 32) {
        std::memcpy(dst, src, n);
    } else if (n >= 16) {
        char head[16], tail[16];
        std::memcpy(head, src, 16);
        std::memcpy(tail, src + n - 16, 16);
        std::memcpy(dst, head, 16);
        std::memcpy(dst + n - 16, tail, 16);
    } else if (n >= 8) {
        std::uint64_t head, tail;
        std::memcpy(&head, src, 8);
        std::memcpy(&tail, src + n - 8, 8);
        std::memcpy(dst, &head, 8);
        std::memcpy(dst + n - 8, &tail, 8);
    } else {
        copy_under_8(dst, src, n);
    }
}

// Copies n bytes with one 16-byte move for the common short piece and two
// up to 32 bytes: `src` must be readable and `dst` writable for n + 16 bytes.
[[gnu::always_inline]] inline void copy_padded(char* dst, const char* src, std::size_t n) {
    std::memcpy(dst, src, 16);
    if (n > 16) [[unlikely]] {
        if (n <= 32)
            std::memcpy(dst + 16, src + 16, 16);
        else
            copy_bytes(dst + 16, src + 16, n - 16);
    }
}

// Asks for the cache line `ahead` bytes past `p` for writing. A hint: the
// address may lie past the end of the buffer, where it does nothing.
[[gnu::always_inline]] inline void prefetch_for_write(const char* p, std::size_t ahead) {
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) + ahead;
#if defined(__x86_64__)
    // PREFETCHW; older processors without it execute the encoding as a no-op.
    __asm__ volatile("prefetchw (%0)" : : "r"(at));
#else
    __builtin_prefetch(reinterpret_cast<const void*>(at), 1, 3);
#endif
}

// Growable byte array that owns its storage. It only ever grows; clear() keeps
// the capacity so a buffer reused from call to call stops allocating.
class ByteBuffer {
public:
    ByteBuffer() = default;
    explicit ByteBuffer(std::size_t capacity) { reserve(capacity); }
    ~ByteBuffer() {
        if (data_) std::free(data_);
    }

    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            if (data_) std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    char* data() { return data_; }
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_, size_}; }

    void clear() { size_ = 0; }

    // Makes room for at least `extra` more bytes; throws std::bad_alloc.
    void reserve_extra(std::size_t extra) {
        if (capacity_ - size_ < extra) [[unlikely]]
            grow(size_ + extra);
    }
    void reserve(std::size_t capacity) {
        if (capacity > capacity_) grow(capacity);
    }

    [[gnu::always_inline]] void append(const char* p, std::size_t n) {
        reserve_extra(n);
        copy_bytes(data_ + size_, p, n);
        size_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    void push_back(char c) {
        reserve_extra(1);
        data_[size_++] = c;
    }

    // Unchecked writes: the caller must have reserved the room.
    char* end() { return data_ + size_; }
    void commit(std::size_t n) {
        assert(capacity_ - size_ >= n);
        size_ += n;
    }
    void append_unchecked(const char* p, std::size_t n) {
        assert(capacity_ - size_ >= n);
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void resize_down(std::size_t n) {
        assert(n <= size_);
        size_ = n;
    }

private:
    [[gnu::noinline]] void grow(std::size_t need) {
        std::size_t cap = capacity_ ? capacity_ * 2 : 64;
        if (cap < need) cap = need;
        void* p = std::realloc(data_, cap);
        if (!p) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        capacity_ = cap;
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace ferrant

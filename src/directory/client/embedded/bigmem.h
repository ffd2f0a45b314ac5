// Memory for the large arrays of a tree (the file texts, the nodes, the index). A directory of
// a million entries needs several hundred megabytes, and with small pages most of the time of
// reading and walking it went to page faults and address translation; these arrays ask the
// system for large pages instead.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

namespace kvx::client::embedded {

// At least `bytes` of memory, in large pages from 1 MiB on. Throws std::bad_alloc.
void* allocateLarge(std::size_t bytes);
void releaseLarge(void* p, std::size_t bytes);

template <class T> struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U> LargeAllocator(const LargeAllocator<U>&) {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T))
            throw std::bad_alloc();
        return static_cast<T*>(allocateLarge(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) { releaseLarge(p, n * sizeof(T)); }
    template <class U> bool operator==(const LargeAllocator<U>&) const { return true; }
};

// The text of one file, read once into memory of its own.
class TextBuffer {
public:
    TextBuffer() = default;
    explicit TextBuffer(std::string_view text);
    TextBuffer(TextBuffer&& other) noexcept;
    TextBuffer& operator=(TextBuffer&& other) noexcept;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();

    // Reads the whole file; false with `why` when it cannot be read (or changed size while it
    // was read).
    bool readFile(const std::string& path, std::string& why);

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }

private:
    void reset();
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

} // namespace kvx::client::embedded

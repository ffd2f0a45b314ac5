#include "bigmem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace kvx::client::embedded {

namespace {

constexpr std::size_t kLarge = std::size_t{1} << 20;

} // namespace

void* allocateLarge(std::size_t bytes) {
    if (bytes < kLarge)
        return ::operator new(bytes == 0 ? 1 : bytes);
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(p, bytes, MADV_HUGEPAGE); // a hint: without it the memory is as good, only slower
#endif
    return p;
}

void releaseLarge(void* p, std::size_t bytes) {
    if (!p)
        return;
    if (bytes < kLarge)
        ::operator delete(p);
    else
        ::munmap(p, bytes);
}

TextBuffer::TextBuffer(std::string_view text) {
    capacity_ = text.size();
    data_ = static_cast<char*>(allocateLarge(capacity_));
    std::memcpy(data_, text.data(), text.size());
    size_ = text.size();
}

TextBuffer::TextBuffer(TextBuffer&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

TextBuffer& TextBuffer::operator=(TextBuffer&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

TextBuffer::~TextBuffer() {
    reset();
}

void TextBuffer::reset() {
    if (data_)
        releaseLarge(data_, capacity_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

bool TextBuffer::readFile(const std::string& path, std::string& why) {
    reset();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        ::close(fd);
        return false;
    }
    const std::size_t expected = static_cast<std::size_t>(st.st_size);
    // One byte more than the size: a file that grew while it was read is noticed.
    capacity_ = expected + 1;
    try {
        data_ = static_cast<char*>(allocateLarge(capacity_));
    } catch (const std::bad_alloc&) {
        capacity_ = 0;
        ::close(fd);
        why = "not enough memory to read it";
        return false;
    }
    // Copying from the page cache into new memory is most of the time of opening a large tree:
    // a large file is read in two halves at once.
    auto readRange = [fd, this](std::size_t from, std::size_t to, std::size_t& got, int& failure) {
        got = 0;
        failure = 0;
        while (from + got < to) {
            ssize_t n =
                ::pread(fd, data_ + from + got, std::min<std::size_t>(to - from - got, 1 << 24),
                        static_cast<off_t>(from + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                failure = errno;
                return;
            }
            if (n == 0)
                return;
            got += static_cast<std::size_t>(n);
        }
    };
    std::size_t got = 0;
    int failure = 0;
    const std::size_t half = expected >= (std::size_t{64} << 20) ? expected / 2 : expected;
    std::thread tail;
    std::size_t gotTail = 0;
    int tailFailure = 0;
    if (half < expected) {
        try {
            tail = std::thread([&] { readRange(half, capacity_, gotTail, tailFailure); });
        } catch (const std::system_error&) {
            // No second thread: read it all here.
        }
    }
    if (tail.joinable()) {
        readRange(0, half, got, failure);
        tail.join();
        if (!failure)
            failure = tailFailure;
        got = got == half ? got + gotTail : got;
    } else {
        readRange(0, capacity_, got, failure);
    }
    if (failure) {
        why = std::strerror(failure);
        ::close(fd);
        reset();
        return false;
    }
    ::close(fd);
    if (got != expected) {
        why = "the file changed while it was read";
        reset();
        return false;
    }
    size_ = got;
    return true;
}

} // namespace kvx::client::embedded

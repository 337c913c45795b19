// A growable array of trivially copyable values with room for N of them
// inline: most instances never touch the heap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace tsl {

template <class T, std::uint32_t N>
class SmallVec {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SmallVec() = default;
    SmallVec(const SmallVec& o) { assign(o); }
    SmallVec(SmallVec&& o) noexcept { steal(o); }
    SmallVec& operator=(const SmallVec& o) {
        if (this != &o) {
            release();
            assign(o);
        }
        return *this;
    }
    SmallVec& operator=(SmallVec&& o) noexcept {
        if (this != &o) {
            release();
            steal(o);
        }
        return *this;
    }
    ~SmallVec() { release(); }

    std::uint32_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return on_heap() ? heap_ : inline_ptr(); }
    const T* data() const { return on_heap() ? heap_ : inline_ptr(); }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }
    T& operator[](std::uint32_t i) { return data()[i]; }
    const T& operator[](std::uint32_t i) const { return data()[i]; }
    const T& front() const { return data()[0]; }

    void push_back(const T& v) {
        if (size_ == cap_) grow();
        data()[size_++] = v;
    }
    bool contains(const T& v) const { return std::find(begin(), end(), v) != end(); }
    // Appends v unless an equal value is present (an insertion-ordered set).
    void insert_unique(const T& v) {
        if (!contains(v)) push_back(v);
    }
    void clear() { size_ = 0; }

    // Heap bytes held (0 while inline).
    std::size_t heap_bytes() const { return on_heap() ? cap_ * sizeof(T) : 0; }

private:
    bool on_heap() const { return cap_ > N; }
    void grow() {
        const std::uint32_t cap = cap_ * 2;
        T* p = static_cast<T*>(std::malloc(sizeof(T) * cap));
        if (!p) throw std::bad_alloc();
        std::memcpy(p, data(), sizeof(T) * size_);
        release();
        heap_ = p;
        cap_ = cap;
    }
    void release() {
        if (on_heap()) std::free(heap_);
        cap_ = N;
    }
    void assign(const SmallVec& o) {
        size_ = 0;
        cap_ = N;
        if (o.size_ > N) {
            heap_ = static_cast<T*>(std::malloc(sizeof(T) * o.size_));
            if (!heap_) throw std::bad_alloc();
            cap_ = o.size_;
        }
        std::memcpy(data(), o.data(), sizeof(T) * o.size_);
        size_ = o.size_;
    }
    void steal(SmallVec& o) {
        size_ = o.size_;
        cap_ = o.cap_;
        if (o.on_heap())
            heap_ = o.heap_;
        else
            std::memcpy(inline_, o.inline_, sizeof(T) * o.size_);
        o.size_ = 0;
        o.cap_ = N;
    }

    T* inline_ptr() { return std::launder(reinterpret_cast<T*>(inline_)); }
    const T* inline_ptr() const { return std::launder(reinterpret_cast<const T*>(inline_)); }

    union {
        alignas(T) unsigned char inline_[N * sizeof(T)];
        T* heap_;
    };
    std::uint32_t size_ = 0;
    std::uint32_t cap_ = N;
};

}  // namespace tsl

// AliasList: persistent singly linked lists with shared tails.
//
// Cells live in an AliasArena and are addressed by 32-bit index, so a cell
// costs sizeof(T) + 4 bytes (8 bytes for an Instr32) and a list value is one
// index.  Prepending adds one cell whose tail is the old list; the old list
// stays valid and unchanged, so any number of lists share a common tail.  The
// first cell of a list holds its newest element.
//
// Cells are never freed one by one: the arena frees all of them at once when
// it goes away.  Owners hold the arena through std::shared_ptr, so a structure
// derived from another (holding lists into the same cells) keeps the cells
// alive as long as either exists.
//
// Storage grows in fixed-size chunks: cells never move, growth copies nothing
// and never over-allocates by more than one chunk.  An arena may be read from
// several threads at once while nobody adds to it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/panic.hpp"

namespace tsl {

template <class T>
class AliasArena;

// A list: the index of its first cell, or Nil.
template <class T>
class AliasList {
public:
    using Index = std::uint32_t;
    static constexpr Index kNil = 0xFFFFFFFFu;

    constexpr AliasList() = default;
    static constexpr AliasList nil() { return AliasList(); }
    static constexpr AliasList from_index(Index i) { return AliasList(i); }

    constexpr bool is_nil() const { return idx_ == kNil; }
    constexpr Index index() const { return idx_; }

    // A new cell (head = element, tail = list) in `arena`, and the list starting there.
    static AliasList cons(AliasArena<T>& arena, AliasList list, T element) {
        return arena.cons(list, std::move(element));
    }

    friend constexpr bool operator==(AliasList, AliasList) = default;

private:
    constexpr explicit AliasList(Index i) : idx_(i) {}
    Index idx_ = kNil;
};

// A cell: the element and the rest of the list.
template <class T>
struct AliasCons {
    T head;
    AliasList<T> tail;
};

template <class T>
class AliasArena {
public:
    using List = AliasList<T>;
    using Cell = AliasCons<T>;

    static constexpr unsigned kChunkBits = 16;
    static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;

    AliasArena() = default;
    AliasArena(const AliasArena&) = delete;
    AliasArena& operator=(const AliasArena&) = delete;

    static std::shared_ptr<AliasArena> make() { return std::make_shared<AliasArena>(); }

    // Prepends `element` to `list`.
    List cons(List list, T element) {
        const std::size_t i = size_;
        if (i >= List::kNil) panic("AliasList arena is full");
        if ((i & (kChunkSize - 1)) == 0) chunks_.push_back(std::make_unique<Cell[]>(kChunkSize));
        Cell& c = chunks_[i >> kChunkBits][i & (kChunkSize - 1)];
        c.head = std::move(element);
        c.tail = list;
        size_ = i + 1;
        return List::from_index(static_cast<typename List::Index>(i));
    }

    // The first cell of a non-empty list.
    const Cell& cell(List list) const {
        const std::size_t i = list.index();
        return chunks_[i >> kChunkBits][i & (kChunkSize - 1)];
    }
    const T& head(List list) const { return cell(list).head; }
    List tail(List list) const { return cell(list).tail; }

    // Number of cells held.
    std::size_t size() const { return size_; }
    std::size_t bytes() const { return chunks_.size() * kChunkSize * sizeof(Cell); }

    // Iteration over one list, newest element first.
    class Iter {
    public:
        using value_type = T;
        using difference_type = std::ptrdiff_t;

        Iter() = default;
        Iter(const AliasArena* arena, List list) : arena_(arena), list_(list) {}
        const T& operator*() const { return arena_->head(list_); }
        const T* operator->() const { return &arena_->head(list_); }
        Iter& operator++() {
            list_ = arena_->tail(list_);
            return *this;
        }
        Iter operator++(int) {
            Iter t = *this;
            ++*this;
            return t;
        }
        bool operator==(const Iter& o) const { return list_ == o.list_; }
        bool operator==(std::default_sentinel_t) const { return list_.is_nil(); }
        List rest() const { return list_; }

    private:
        const AliasArena* arena_ = nullptr;
        List list_{};
    };

    class Range {
    public:
        Range(const AliasArena* arena, List list) : arena_(arena), list_(list) {}
        Iter begin() const { return Iter(arena_, list_); }
        std::default_sentinel_t end() const { return {}; }

    private:
        const AliasArena* arena_;
        List list_;
    };

    // The elements of `list`, newest first.
    Range iter(List list) const { return Range(this, list); }

    std::size_t length(List list) const {
        std::size_t n = 0;
        for (; !list.is_nil(); list = tail(list)) ++n;
        return n;
    }

    // Writes the elements of `list` oldest first (circuit order) to the front
    // of `out` and returns how many were written.  Panics when `out` is too
    // short.
    std::size_t write_oldest_first(List list, std::span<T> out) const {
        std::size_t n = 0;
        for (; !list.is_nil(); list = tail(list)) {
            if (n == out.size()) panic_index_oob(out.size(), n);
            out[n++] = head(list);
        }
        for (std::size_t i = 0, j = n; i + 1 < j; ++i, --j) std::swap(out[i], out[j - 1]);
        return n;
    }

    // Replaces the contents of `out` with the elements oldest first; reuses
    // out's capacity.
    void collect_oldest_first(List list, std::vector<T>& out) const {
        out.clear();
        for (; !list.is_nil(); list = tail(list)) out.push_back(head(list));
        std::reverse(out.begin(), out.end());
    }

    // Replaces the contents of `out` with the elements newest first.
    void collect_newest_first(List list, std::vector<T>& out) const {
        out.clear();
        for (; !list.is_nil(); list = tail(list)) out.push_back(head(list));
    }

private:
    std::vector<std::unique_ptr<Cell[]>> chunks_;
    std::size_t size_ = 0;
};

}  // namespace tsl

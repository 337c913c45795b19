// FmtJoin: a one-shot joining formatter.
//
// Prints a sequence with a separator between items, an opening text before the
// first item and a closing text after the last; an empty sequence prints only
// the alternative text `orelse`.  Printing consumes the items: a second
// printing of the same joiner finds none and prints only `orelse`.  Printing a
// joiner from inside its own printing panics with "RefCell already borrowed".
//
// Items are appended through an item formatter; the default one prints
// integers in decimal (std::uint8_t too), appends anything convertible to
// std::string_view, and calls `write_to(std::string&)` or `to_string()` of
// other types.
#pragma once

#include <charconv>
#include <concepts>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "base/panic.hpp"

namespace tsl {

// The empty text, for start, end or orelse.
struct FmtNone {
    constexpr operator std::string_view() const { return {}; }  // NOLINT: implicit on purpose
};

struct FmtItem {
    template <class T>
    void operator()(std::string& out, const T& v) const {
        if constexpr (requires { v.write_to(out); }) {
            v.write_to(out);
        } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
            out += std::string_view(v);
        } else if constexpr (std::is_same_v<T, bool>) {
            out += v ? "true" : "false";
        } else if constexpr (std::is_integral_v<T>) {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, +v);
            out.append(buf, r.ptr);
        } else {
            out += v.to_string();
        }
    }
};

template <std::ranges::input_range View, class ItemFmt = FmtItem>
class FmtJoin {
public:
    FmtJoin(View items, std::string_view sep, std::string_view start = FmtNone{},
            std::string_view end = FmtNone{}, std::string_view orelse = FmtNone{},
            ItemFmt fmt = ItemFmt{})
        : iter_(std::move(items)), sep_(sep), start_(start), end_(end), orelse_(orelse),
          fmt_(std::move(fmt)) {}

    // Appends the text to `out`.
    void write_to(std::string& out) const {
        if (borrowed_) panic("RefCell already borrowed");
        borrowed_ = true;
        struct Release {
            bool& flag;
            ~Release() { flag = false; }
        } release{borrowed_};

        if (consumed_) {
            out += orelse_;
            return;
        }
        consumed_ = true;
        auto it = std::ranges::begin(iter_);
        auto last = std::ranges::end(iter_);
        if (it == last) {
            out += orelse_;
            return;
        }
        out += start_;
        fmt_(out, *it);
        for (++it; it != last; ++it) {
            out += sep_;
            fmt_(out, *it);
        }
        out += end_;
    }

    std::string to_string() const {
        std::string s;
        write_to(s);
        return s;
    }

private:
    mutable View iter_;
    std::string_view sep_, start_, end_, orelse_;
    ItemFmt fmt_;
    mutable bool consumed_ = false;
    mutable bool borrowed_ = false;
};

// Items joined by sep; nothing around them, nothing for an empty sequence.
template <std::ranges::viewable_range R>
auto fjoin(R&& items, std::string_view sep) {
    return FmtJoin<std::views::all_t<R>>(std::views::all(std::forward<R>(items)), sep);
}

// Items joined by sep between start and end; nothing for an empty sequence.
template <std::ranges::viewable_range R>
auto fjoin_opt_braces(R&& items, std::string_view sep, std::string_view start, std::string_view end) {
    return FmtJoin<std::views::all_t<R>>(std::views::all(std::forward<R>(items)), sep, start, end);
}

// The general form, with an alternative text and an own item formatter
// `fmt(std::string&, const item&)`.
template <std::ranges::viewable_range R, class ItemFmt = FmtItem>
auto fjoin_full(R&& items, std::string_view sep, std::string_view start, std::string_view end,
                std::string_view orelse, ItemFmt fmt = ItemFmt{}) {
    return FmtJoin<std::views::all_t<R>, ItemFmt>(std::views::all(std::forward<R>(items)), sep,
                                                  start, end, orelse, std::move(fmt));
}

}  // namespace tsl

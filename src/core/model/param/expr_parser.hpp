// Parser of gate-parameter expressions.
//
// A hand-written recursive-descent parser for this parsing-expression
// grammar (alternatives are tried in order and the first match wins;
// repetitions are greedy and never give back what they matched):
//
//   real      = @{ '0'..'9'+ ~ "." ~ '0'..'9'* }
//   id        = @{ 'a'..'z' ~ ('A'..'Z' | 'a'..'z' | '0'..'9' | "_")* }
//   nninteger = @{ '1'..'9' ~ '0'..'9'* | "0" }
//   exp       =  { WHITESPACE* ~ term ~ (plus ~ term)* }
//   term      =  { factor ~ (mul ~ factor)* }
//   factor    =  { power ~ ("^" ~ power)* }
//   plus      =  { "+" | "-" }
//   mul       =  { "*" | "/" }
//   power     =  { real | nninteger | "(" ~ exp ~ ")" | unary_op ~ "(" ~ exp ~ ")"
//                | "-" ~ power | id }
//   unary_op  =  { "sin" | "cos" | "tan" | "exp" | "ln" | "sqrt" }
//   WHITESPACE = _{ " " | "\t" | "\n" | "\r" }
//
// In the normal rules any run of whitespace may stand between the elements of
// a sequence and between the items of a repetition; the atomic rules (@) take
// none.  The whole text must be consumed: after the start rule only
// whitespace may follow.  Texts nested deeper than kMaxExprDepth levels of
// parentheses, function calls and negations are rejected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tsl {

enum class Rule : std::uint8_t {
    real = 0,
    id = 1,
    nninteger = 2,
    exp = 3,
    term = 4,
    factor = 5,
    plus = 6,
    mul = 7,
    power = 8,
    unary_op = 9,
    WHITESPACE = 10,
};

// The rule's name as written above ("real", "unary_op", ...).
std::string_view rule_name(Rule rule);

// Deepest accepted nesting of parentheses, function calls and negations.
inline constexpr unsigned kMaxExprDepth = 256;

// One node of a parse tree: the rule and the byte span it matched.  Nodes
// are stored in pre-order; the subtree of the node at index i occupies the
// indices [i, subtree_end).
struct ExprNode {
    Rule rule;
    std::size_t begin;
    std::size_t end;
    std::size_t subtree_end;
};

class ExprTree;

// A node seen through its tree.
class ExprPair;

// A run of sibling nodes.
class ExprPairs {
public:
    class iterator {
    public:
        using value_type = ExprPair;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;

        iterator() = default;
        iterator(const ExprTree* tree, std::size_t index) : tree_(tree), index_(index) {}
        ExprPair operator*() const;
        iterator& operator++();
        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const iterator& a, const iterator& b) { return a.index_ == b.index_; }

    private:
        const ExprTree* tree_ = nullptr;
        std::size_t index_ = 0;
    };

    ExprPairs(const ExprTree* tree, std::size_t first, std::size_t last)
        : tree_(tree), first_(first), last_(last) {}
    iterator begin() const { return {tree_, first_}; }
    iterator end() const { return {tree_, last_}; }
    bool empty() const { return first_ == last_; }
    std::size_t size() const;

private:
    const ExprTree* tree_;
    std::size_t first_;
    std::size_t last_;
};

class ExprPair {
public:
    ExprPair(const ExprTree* tree, std::size_t index) : tree_(tree), index_(index) {}
    Rule rule() const;
    // The matched text (for leaves: the number, name, operator or function).
    std::string_view as_str() const;
    std::size_t begin_pos() const;
    std::size_t end_pos() const;
    ExprPairs into_inner() const;

private:
    const ExprTree* tree_;
    std::size_t index_;
};

// A successful parse.  It refers to the parsed text, which must outlive it;
// pairs point into the tree and do not survive moving it.
class ExprTree {
public:
    ExprTree(std::string_view text, std::vector<ExprNode> nodes) : text_(text), nodes_(std::move(nodes)) {}
    ExprTree(const ExprTree&) = delete;
    ExprTree& operator=(const ExprTree&) = delete;
    ExprTree(ExprTree&&) = default;
    ExprTree& operator=(ExprTree&&) = default;

    // The top-level nodes (one node of the start rule).
    ExprPairs pairs() const { return {this, 0, nodes_.size()}; }
    std::string_view text() const { return text_; }
    const std::vector<ExprNode>& nodes() const { return nodes_; }

private:
    std::string_view text_;
    std::vector<ExprNode> nodes_;
};

// Why and where a parse failed.
struct ExprParseError {
    enum class Kind : std::uint8_t {
        // No alternative could continue at `pos`; `expected` lists what
        // would have (sorted by rule, without repeats).
        Unexpected,
        // A construct opening at `pos` would nest deeper than kMaxExprDepth.
        TooDeep,
    };

    Kind kind = Kind::Unexpected;
    std::size_t pos = 0;        // byte offset into the text
    std::size_t line = 1;       // 1-based
    std::size_t column = 1;     // 1-based, in characters
    std::vector<Rule> expected;
    bool expected_end = false;  // the end of the text would have been accepted
    // Multi-line report: position, the line with a marker, what was expected.
    std::string report;
};

class ExprParser {
public:
    // Parses all of `text` starting from `rule`.  On success the tree holds
    // exactly one top-level node, of `rule` (none for the silent WHITESPACE).
    static std::variant<ExprTree, ExprParseError> parse(Rule rule, std::string_view text);
};

inline ExprPair ExprPairs::iterator::operator*() const { return {tree_, index_}; }

inline ExprPairs::iterator& ExprPairs::iterator::operator++() {
    index_ = tree_->nodes()[index_].subtree_end;
    return *this;
}

inline std::size_t ExprPairs::size() const {
    std::size_t n = 0;
    for (auto it = begin(); it != end(); ++it) ++n;
    return n;
}

inline Rule ExprPair::rule() const { return tree_->nodes()[index_].rule; }

inline std::string_view ExprPair::as_str() const {
    const ExprNode& n = tree_->nodes()[index_];
    return tree_->text().substr(n.begin, n.end - n.begin);
}

inline std::size_t ExprPair::begin_pos() const { return tree_->nodes()[index_].begin; }
inline std::size_t ExprPair::end_pos() const { return tree_->nodes()[index_].end; }

inline ExprPairs ExprPair::into_inner() const {
    return {tree_, index_ + 1, tree_->nodes()[index_].subtree_end};
}

}  // namespace tsl

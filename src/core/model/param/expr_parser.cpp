#include "model/param/expr_parser.hpp"

#include <algorithm>

namespace tsl {

std::string_view rule_name(Rule rule) {
    switch (rule) {
        case Rule::real: return "real";
        case Rule::id: return "id";
        case Rule::nninteger: return "nninteger";
        case Rule::exp: return "exp";
        case Rule::term: return "term";
        case Rule::factor: return "factor";
        case Rule::plus: return "plus";
        case Rule::mul: return "mul";
        case Rule::power: return "power";
        case Rule::unary_op: return "unary_op";
        case Rule::WHITESPACE: return "WHITESPACE";
    }
    return "?";
}

namespace {

// Attempt lists hold rules by value and this code for the end of the text.
constexpr std::uint8_t kEndOfText = 0xFF;

struct TooDeep {
    std::size_t pos;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_id_char(char c) { return is_lower(c) || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_'; }

// The recursive-descent engine.  Every rule function either succeeds,
// leaving `pos_` after its match and its nodes appended, or fails and leaves
// both as they were.
//
// Failure tracking: each failed rule is recorded at the position where it
// started, and only the attempts at the furthest such position are kept.  A
// rule that fails where exactly one nested rule was recorded leaves that
// nested rule as the more precise report; otherwise it replaces the attempts
// its nested rules made there.
class Engine {
public:
    explicit Engine(std::string_view text) : s_(text) {}

    bool start(Rule rule) {
        switch (rule) {
            case Rule::real: return real();
            case Rule::id: return id();
            case Rule::nninteger: return nninteger();
            case Rule::exp: return exp();
            case Rule::term: return term();
            case Rule::factor: return factor();
            case Rule::plus: return plus();
            case Rule::mul: return mul();
            case Rule::power: return power();
            case Rule::unary_op: return unary_op();
            case Rule::WHITESPACE: return whitespace();
        }
        return false;
    }

    // Whitespace, then the end of the text.
    bool end_of_text() {
        skip();
        const std::size_t at = pos_;
        const std::size_t index = at == attempt_pos_ ? attempts_.size() : 0;
        const std::size_t prev = attempts_at(at);
        if (at == s_.size()) return true;
        track(kEndOfText, at, index, prev);
        return false;
    }

    std::vector<ExprNode> take_nodes() { return std::move(nodes_); }

    std::size_t attempt_pos() const { return attempt_pos_; }

    // The furthest attempts, in rule order, without repeats.
    std::vector<std::uint8_t> attempts() const {
        std::vector<std::uint8_t> a = attempts_;
        std::sort(a.begin(), a.end());
        a.erase(std::unique(a.begin(), a.end()), a.end());
        return a;
    }

private:
    // ----- matching primitives --------------------------------------------

    bool at(char c) const { return pos_ < s_.size() && s_[pos_] == c; }

    bool lit(char c) {
        if (!at(c)) return false;
        ++pos_;
        return true;
    }

    bool lit(std::string_view word) {
        if (s_.substr(pos_).substr(0, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    template <class Pred>
    bool one(Pred pred) {
        if (pos_ >= s_.size() || !pred(s_[pos_])) return false;
        ++pos_;
        return true;
    }

    template <class Pred>
    void many(Pred pred) {
        while (pos_ < s_.size() && pred(s_[pos_])) ++pos_;
    }

    // Implicit whitespace of the normal rules.
    void skip() { many(is_space); }

    // ----- combinators ----------------------------------------------------

    // A sequence: on failure nothing it matched is kept.
    template <class F>
    bool seq(F&& body) {
        const std::size_t pos = pos_;
        const std::size_t nodes = nodes_.size();
        if (body()) return true;
        pos_ = pos;
        nodes_.resize(nodes);
        return false;
    }

    // Zero or more items inside a normal rule, with whitespace allowed
    // between them.  The whitespace before an item that fails is not taken.
    template <class F>
    void star(F&& item) {
        if (!seq(item)) return;
        while (seq([&] {
            skip();
            return item();
        })) {
        }
    }

    // One level of nesting, opened at `open`.
    class Nest {
    public:
        Nest(Engine& e, std::size_t open) : e_(e) {
            if (e_.depth_ >= kMaxExprDepth) throw TooDeep{open};
            ++e_.depth_;
        }
        ~Nest() { --e_.depth_; }
        Nest(const Nest&) = delete;
        Nest& operator=(const Nest&) = delete;

    private:
        Engine& e_;
    };

    std::size_t attempts_at(std::size_t at) const { return at == attempt_pos_ ? attempts_.size() : 0; }

    void track(std::uint8_t what, std::size_t at, std::size_t index, std::size_t prev) {
        const std::size_t curr = attempts_at(at);
        if (curr > prev && curr - prev == 1) return;
        if (at == attempt_pos_) attempts_.resize(index);
        if (at > attempt_pos_) {
            attempts_.clear();
            attempt_pos_ = at;
        }
        if (at == attempt_pos_) attempts_.push_back(what);
    }

    // A rule: one node spanning its match, its children's nodes after it.
    template <class F>
    bool rule(Rule r, F&& body) {
        const std::size_t start = pos_;
        const std::size_t node = nodes_.size();
        const std::size_t index = start == attempt_pos_ ? attempts_.size() : 0;
        const std::size_t prev = attempts_at(start);
        nodes_.push_back(ExprNode{r, start, start, 0});
        if (body()) {
            nodes_[node].end = pos_;
            nodes_[node].subtree_end = nodes_.size();
            return true;
        }
        track(static_cast<std::uint8_t>(r), start, index, prev);
        pos_ = start;
        nodes_.resize(node);
        return false;
    }

    // ----- the rules --------------------------------------------------------

    bool real() {
        return rule(Rule::real, [&] {
            if (!one(is_digit)) return false;
            many(is_digit);
            if (!lit('.')) return false;
            many(is_digit);
            return true;
        });
    }

    bool id() {
        return rule(Rule::id, [&] {
            if (!one(is_lower)) return false;
            many(is_id_char);
            return true;
        });
    }

    bool nninteger() {
        return rule(Rule::nninteger, [&] {
            if (one([](char c) { return c >= '1' && c <= '9'; })) {
                many(is_digit);
                return true;
            }
            return lit('0');
        });
    }

    bool exp() {
        return rule(Rule::exp, [&] {
            skip();
            if (!term()) return false;
            skip();
            star([&] {
                if (!plus()) return false;
                skip();
                return term();
            });
            return true;
        });
    }

    bool term() {
        return rule(Rule::term, [&] {
            if (!factor()) return false;
            skip();
            star([&] {
                if (!mul()) return false;
                skip();
                return factor();
            });
            return true;
        });
    }

    bool factor() {
        return rule(Rule::factor, [&] {
            if (!power()) return false;
            skip();
            star([&] {
                if (!lit('^')) return false;
                skip();
                return power();
            });
            return true;
        });
    }

    bool plus() {
        return rule(Rule::plus, [&] { return lit('+') || lit('-'); });
    }

    bool mul() {
        return rule(Rule::mul, [&] { return lit('*') || lit('/'); });
    }

    bool power() {
        return rule(Rule::power, [&] {
            return real() || nninteger() || seq([&] {
                       const std::size_t open = pos_;
                       if (!lit('(')) return false;
                       skip();
                       Nest nest(*this, open);
                       if (!exp()) return false;
                       skip();
                       return lit(')');
                   }) || seq([&] {
                       const std::size_t open = pos_;
                       if (!unary_op()) return false;
                       skip();
                       if (!lit('(')) return false;
                       skip();
                       Nest nest(*this, open);
                       if (!exp()) return false;
                       skip();
                       return lit(')');
                   }) || seq([&] {
                       const std::size_t open = pos_;
                       if (!lit('-')) return false;
                       skip();
                       Nest nest(*this, open);
                       return power();
                   }) || id();
        });
    }

    bool unary_op() {
        return rule(Rule::unary_op, [&] {
            return lit("sin") || lit("cos") || lit("tan") || lit("exp") || lit("ln") || lit("sqrt");
        });
    }

    // Silent: matches one whitespace character and leaves no node.
    bool whitespace() { return one(is_space); }

    std::string_view s_;
    std::size_t pos_ = 0;
    std::vector<ExprNode> nodes_;
    unsigned depth_ = 0;
    std::size_t attempt_pos_ = 0;
    std::vector<std::uint8_t> attempts_;
};

std::string_view expected_name(std::uint8_t what) {
    return what == kEndOfText ? std::string_view("end of input") : rule_name(static_cast<Rule>(what));
}

// "a", "a or b", "a, b, or c".
std::string join_expected(const std::vector<std::uint8_t>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += items.size() == 2 ? " or " : (i + 1 == items.size() ? ", or " : ", ");
        out += expected_name(items[i]);
    }
    return out;
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Fills in line, column and the report:
//
//    --> 1:3
//     |
//   1 | 1+
//     |   ^---
//     |
//     = expected power
//
// The marker line repeats the tabs before the position so that it lines up.
// When the position is at a line break, the line is shown with its breaks
// made visible.
void finish(ExprParseError& err, std::string_view text, const std::string& message) {
    const std::size_t pos = err.pos;
    const std::size_t line_start = [&] {
        const std::size_t nl = text.rfind('\n', pos == 0 ? 0 : pos - 1);
        return (pos == 0 || nl == std::string_view::npos) ? 0 : nl + 1;
    }();
    err.line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + line_start, '\n'));
    err.column = 1;
    for (std::size_t i = line_start; i < pos; ++i)
        if (!is_continuation(text[i])) ++err.column;

    const std::size_t nl = text.find('\n', pos);
    const std::size_t line_end = nl == std::string_view::npos ? text.size() : nl + 1;
    const std::string_view raw = text.substr(line_start, line_end - line_start);
    const bool visible_breaks = pos < text.size() && (text[pos] == '\n' || text[pos] == '\r');
    std::string shown;
    for (char c : raw) {
        if (c == '\n' || c == '\r') {
            if (visible_breaks) shown += c == '\n' ? "\u240A" : "\u240D";
        } else {
            shown += c;
        }
    }

    std::string marker;
    for (std::size_t i = line_start; i < pos; ++i) {
        if (is_continuation(text[i])) continue;
        marker += text[i] == '\t' ? '\t' : ' ';
    }
    marker += "^---";

    const std::string number = std::to_string(err.line);
    const std::string pad(number.size(), ' ');
    std::string& r = err.report;
    r.clear();
    r += pad + "--> " + number + ":" + std::to_string(err.column) + "\n";
    r += pad + " |\n";
    r += number + " | " + shown + "\n";
    r += pad + " | " + marker + "\n";
    r += pad + " |\n";
    r += pad + " = " + message;
}

}  // namespace

std::variant<ExprTree, ExprParseError> ExprParser::parse(Rule rule, std::string_view text) {
    Engine engine(text);
    ExprParseError err;
    try {
        if (engine.start(rule) && engine.end_of_text()) return ExprTree(text, engine.take_nodes());
    } catch (const TooDeep& deep) {
        err.kind = ExprParseError::Kind::TooDeep;
        err.pos = deep.pos;
        finish(err, text, "nesting deeper than " + std::to_string(kMaxExprDepth) + " levels");
        return err;
    }
    err.kind = ExprParseError::Kind::Unexpected;
    err.pos = engine.attempt_pos();
    const std::vector<std::uint8_t> attempts = engine.attempts();
    for (std::uint8_t a : attempts) {
        if (a == kEndOfText)
            err.expected_end = true;
        else
            err.expected.push_back(static_cast<Rule>(a));
    }
    finish(err, text, "expected " + join_expected(attempts));
    return err;
}

}  // namespace tsl

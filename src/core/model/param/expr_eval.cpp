#include "model/param/expr_eval.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include "base/panic.hpp"

namespace tsl {

namespace {

[[noreturn]] void malformed() { panic("malformed expression tree"); }

const double* lookup(Variables vars, std::string_view name) {
    for (const Variable& v : vars)
        if (v.name == name) return &v.value;
    return nullptr;
}

// The tree walk.  Each step stores its value in `out` and returns true, or
// records the error and returns false; the first error ends the walk.  Plain
// doubles on the way keep the frames small, as the walk recurses once per
// level of nesting.
class Walk {
public:
    explicit Walk(Variables vars) : vars_(vars) {}

    NumericResult result(bool ok, double value) {
        if (ok) return value;
        return std::move(error_);
    }

    bool apply(std::string_view op, double a, double b, double& out) {
        if (op == "+") {
            out = a + b;
        } else if (op == "-") {
            out = a - b;
        } else if (op == "*") {
            out = a * b;
        } else if (op == "/") {
            if (b == 0.0) return fail(NumericError::division_by_zero());
            out = a / b;
        } else if (op == "^") {
            out = std::pow(a, b);
        } else if (op == "sin") {
            out = std::sin(a);
        } else if (op == "cos") {
            out = std::cos(a);
        } else if (op == "tan") {
            out = std::tan(a);
        } else if (op == "exp") {
            out = std::exp(a);
        } else if (op == "ln") {
            out = std::log(a);
        } else if (op == "sqrt") {
            out = std::sqrt(a);
        } else {
            return fail(NumericError::invalid_argument(op));
        }
        return true;
    }

    // exp: term, then (plus, term) pairs.
    bool expr(ExprPairs children, double& out) { return fold(children, &Walk::term, out); }

    // term: factor, then (mul, factor) pairs.
    bool term(ExprPairs children, double& out) { return fold(children, &Walk::factor, out); }

    // factor: one power per operand of "^".
    bool factor(ExprPairs children, double& out) {
        auto it = children.begin();
        if (it == children.end()) malformed();
        if (!power((*it).into_inner(), out)) return false;
        for (++it; it != children.end(); ++it) {
            double rhs;
            if (!power((*it).into_inner(), rhs)) return false;
            out = std::pow(out, rhs);
        }
        return true;
    }

    // power: a number, a name, a parenthesised exp, a negated power or a
    // function name and its argument.
    bool power(ExprPairs children, double& out) {
        auto it = children.begin();
        if (it == children.end()) malformed();
        const ExprPair first = *it;
        switch (first.rule()) {
            case Rule::real:
            case Rule::nninteger: out = read_number(first.as_str()); return true;
            case Rule::id: {
                const double* v = lookup(vars_, first.as_str());
                if (v == nullptr) return fail(NumericError::undefined_variable(first.as_str()));
                out = *v;
                return true;
            }
            case Rule::exp: return expr(first.into_inner(), out);
            case Rule::power:
                if (!power(first.into_inner(), out)) return false;
                out = -out;
                return true;
            case Rule::unary_op: {
                if (++it == children.end()) malformed();
                double arg;
                if (!expr((*it).into_inner(), arg)) return false;
                return apply(first.as_str(), arg, 0.0, out);
            }
            default: malformed();
        }
    }

private:
    bool fail(NumericError err) {
        error_ = std::move(err);
        return false;
    }

    // operand, then (operator, operand) pairs, folded from the left.
    bool fold(ExprPairs children, bool (Walk::*operand)(ExprPairs, double&), double& out) {
        auto it = children.begin();
        if (it == children.end()) malformed();
        if (!(this->*operand)((*it).into_inner(), out)) return false;
        for (++it; it != children.end(); ++it) {
            const std::string_view op = (*it).as_str();
            if (++it == children.end()) malformed();
            double rhs;
            if (!(this->*operand)((*it).into_inner(), rhs)) return false;
            if (!apply(op, out, rhs, out)) return false;
        }
        return true;
    }

    Variables vars_;
    NumericError error_;
};

}  // namespace

double read_number(std::string_view text) {
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small for a double; the value was left alone.
        // The text is non-negative, so any non-zero digit before the point
        // means at least 1, hence an overflow.
        const std::string_view whole = text.substr(0, text.find('.'));
        return whole.find_first_not_of('0') == std::string_view::npos ? 0.0 : HUGE_VAL;
    }
    if (ec != std::errc()) malformed();
    return value;
}

NumericResult caculate(std::string_view op, double a, double b) {
    Walk walk({});
    double out = 0.0;
    const bool ok = walk.apply(op, a, b, out);
    return walk.result(ok, out);
}

namespace {

// Evaluates `children` with one rule of the walk.
template <bool (Walk::*Step)(ExprPairs, double&)>
NumericResult eval_with(ExprPairs children, Variables vars) {
    Walk walk(vars);
    double out = 0.0;
    const bool ok = (walk.*Step)(children, out);
    return walk.result(ok, out);
}

}  // namespace

NumericResult eval_expr(ExprPairs children, Variables vars) { return eval_with<&Walk::expr>(children, vars); }
NumericResult eval_term(ExprPairs children, Variables vars) { return eval_with<&Walk::term>(children, vars); }
NumericResult eval_factor(ExprPairs children, Variables vars) { return eval_with<&Walk::factor>(children, vars); }
NumericResult eval_power(ExprPairs children, Variables vars) { return eval_with<&Walk::power>(children, vars); }

NumericResult evaluate(std::string_view expr, Variables vars) {
    auto parsed = ExprParser::parse(Rule::exp, expr);
    if (auto* err = std::get_if<ExprParseError>(&parsed)) return NumericError::parse_error(std::move(err->report));
    const ExprTree& tree = std::get<ExprTree>(parsed);
    return eval_expr((*tree.pairs().begin()).into_inner(), vars);
}

NumericResult evaluate_with_pi(std::string_view expr) {
    const Variable vars[] = {{"pi", kExprPi}};
    return evaluate(expr, vars);
}

std::variant<std::vector<double>, NumericError> evaluate_params_with_pi(std::span<const std::string> params) {
    std::vector<double> values;
    values.reserve(params.size());
    for (const std::string& p : params) {
        NumericResult r = evaluate_with_pi(p);
        if (auto* err = std::get_if<NumericError>(&r)) return std::move(*err);
        values.push_back(std::get<double>(r));
    }
    return values;
}

}  // namespace tsl

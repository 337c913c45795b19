// Numeric values of gate-parameter expressions.
//
// A text is parsed (expr_parser.hpp) and its tree evaluated in plain 64-bit
// arithmetic, each operation rounded once, with the C maths library's
// functions.  Every binary operator folds from the left: 1-2-3 is -4 and
// 2^3^2 is 64; a negation binds tighter than ^, so -2^2 is 4.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "model/param/expr_parser.hpp"

namespace tsl {

// The error of an evaluation.
struct NumericError {
    enum class Kind : std::uint8_t {
        ParseError = 0,         // payload: the parser's report
        DivisionByZero = 1,     // no payload
        InvalidArgument = 2,    // payload: the operator or function name
        UndefinedVariable = 3,  // payload: the variable's name
    };

    Kind kind = Kind::ParseError;
    std::string payload;

    static NumericError parse_error(std::string report) { return {Kind::ParseError, std::move(report)}; }
    static NumericError division_by_zero() { return {Kind::DivisionByZero, {}}; }
    static NumericError invalid_argument(std::string_view op) { return {Kind::InvalidArgument, std::string(op)}; }
    static NumericError undefined_variable(std::string_view name) {
        return {Kind::UndefinedVariable, std::string(name)};
    }

    // What the user sees: "DivisionByZero", else the payload.
    std::string_view text() const {
        return kind == Kind::DivisionByZero ? std::string_view("DivisionByZero") : std::string_view(payload);
    }

    friend bool operator==(const NumericError&, const NumericError&) = default;
};

using NumericResult = std::variant<double, NumericError>;

// A named value an expression may refer to.  Names match byte for byte.
struct Variable {
    std::string_view name;
    double value;
};
using Variables = std::span<const Variable>;

// The float nearest pi, the one variable of evaluate_with_pi.
inline constexpr double kExprPi = 3.141592653589793;

// Parses `expr` (all of it) and evaluates it with the single variable pi.
NumericResult evaluate_with_pi(std::string_view expr);

// The same with the given variables.
NumericResult evaluate(std::string_view expr, Variables vars);

// Each takes the children of one node of the named rule.  The first error,
// from the left, is the result.
NumericResult eval_expr(ExprPairs children, Variables vars);
NumericResult eval_term(ExprPairs children, Variables vars);
NumericResult eval_factor(ExprPairs children, Variables vars);
NumericResult eval_power(ExprPairs children, Variables vars);

// Binary operators "+", "-", "*", "/", "^" on (a, b) and the functions
// "sin", "cos", "tan", "exp", "ln", "sqrt" of a (b is ignored).  Division
// by zero (either sign) is an error; other texts are InvalidArgument.
NumericResult caculate(std::string_view op, double a, double b);

// A run of decimal digits with an optional "." and fraction, rounded to the
// nearest double; beyond the range it gives +inf, below it +0.0.
double read_number(std::string_view text);

// Evaluates gate parameters in order with evaluate_with_pi; the first error
// stops the evaluation and is the result.
std::variant<std::vector<double>, NumericError> evaluate_params_with_pi(std::span<const std::string> params);

}  // namespace tsl

// Gate-parameter expressions: grammar, tree shapes, error reports and values.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "model/param/expr_eval.hpp"
#include "model/param/expr_parser.hpp"

using namespace tsl;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// Value of a text that must evaluate; NaN when it does not (reported).
double value_of(const std::string& text) {
    NumericResult r = evaluate_with_pi(text);
    if (auto* err = std::get_if<NumericError>(&r)) {
        check::fail(__FILE__, __LINE__, "'" + text + "' failed: " + std::string(err->text()));
        return std::nan("");
    }
    return std::get<double>(r);
}

// The error of a text that must fail.
NumericError error_of(const std::string& text) {
    NumericResult r = evaluate_with_pi(text);
    if (auto* err = std::get_if<NumericError>(&r)) return *err;
    check::fail(__FILE__, __LINE__, "'" + text + "' evaluated to " + std::to_string(std::get<double>(r)));
    return {};
}

// The tree as rule(children...), leaves as rule:text.
std::string shape(ExprPairs pairs) {
    std::string out;
    for (ExprPair p : pairs) {
        if (!out.empty()) out += ' ';
        out += rule_name(p.rule());
        if (p.into_inner().empty()) {
            out += ':';
            out += p.as_str();
        } else {
            out += '(';
            out += shape(p.into_inner());
            out += ')';
        }
    }
    return out;
}

std::string shape_of(const std::string& text) {
    auto parsed = ExprParser::parse(Rule::exp, text);
    if (auto* err = std::get_if<ExprParseError>(&parsed)) return "error\n" + err->report;
    return shape(std::get<ExprTree>(parsed).pairs());
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

}  // namespace

TEST_CASE(values_are_bit_exact) {
    struct Case {
        std::string text;
        double expected;
    };
    const std::vector<Case> cases = {
        // The built-in rotation parameters.
        {"pi", 3.141592653589793},
        {"pi/3", 1.0471975511965976},
        {"-pi/3", -1.0471975511965976},
        {"pi/5", 0.6283185307179586},
        {"-pi/5", -0.6283185307179586},
        {"pi/16", 0.19634954084936207},
        {"-pi/16", -0.19634954084936207},
        {"(pi)/16", 0.19634954084936207},
        {" pi / 5 ", 0.6283185307179586},
        {"sqrt(2)/2", 0.7071067811865476},
        {"2*sin(pi/4)^2", 0.9999999999999998},
        // Precedence and left folds.
        {"(1+2)*3", 9.0},
        {"2+3*4", 14.0},
        {"2*3^2", 18.0},
        {"1-2-3", -4.0},
        {"8/2/2", 2.0},
        {"2^3^2", 64.0},
        {"-2^2", 4.0},
        {"2^-1", 0.5},
        {"--1", 1.0},
        {"2-1", 1.0},
        {"2 - -1", 3.0},
        {"0.1+0.2", 0.30000000000000004},
        // Negation flips the sign of zero; subtraction does not.
        {"-0", -0.0},
        {"0-0", 0.0},
        // Functions; a blank may stand before "(".
        {"sin(0)", 0.0},
        {"sin (0)", 0.0},
        {"cos(0)", 1.0},
        {"tan(0)", 0.0},
        {"exp(0)", 1.0},
        {"ln(1)", 0.0},
        {"sqrt(16)", 4.0},
        // Infinities pass through.
        {"ln(0)", -kInf},
        {"0^-1", kInf},
        {"10^400", kInf},
        // Numbers: reals with and without fraction digits, correct rounding
        // of long digit strings, overflow and underflow.
        {"3.", 3.0},
        {"0.5", 0.5},
        {"0", 0.0},
        {"3.14159265358979323846264338327950288", 3.141592653589793},
        {repeat("9", 400), kInf},
        {"0." + repeat("0", 400) + "1", 0.0},
        {"0." + repeat("0", 323) + "2470328229206232720882", 0.0},
        {"0." + repeat("0", 323) + "2470328229206232720883", std::numeric_limits<double>::denorm_min()},
        // 2^1024 - 2^970 lies halfway between the largest double and 2^1024.
        {"17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797758720"
         "70963302864166928879109465555478519404026306574886715058206819089020007083836762738548458177115317"
         "64475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880"
         "177904174497792",
         kInf},
        {"17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797758720"
         "70963302864166928879109465555478519404026306574886715058206819089020007083836762738548458177115317"
         "64475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880"
         "177904174497791.999",
         std::numeric_limits<double>::max()},
        // Whitespace of every kind, and after the expression.
        {"\t( \n1 +\r2 ) ", 3.0},
        {"pi\n", 3.141592653589793},
        {" ( ( - 1 ) ) ", -1.0},
    };
    for (const Case& c : cases) {
        const double got = value_of(c.text);
        if (!same_bits(got, c.expected))
            check::fail(__FILE__, __LINE__, "'" + c.text + "' gave " + std::to_string(got));
    }
    CHECK(std::isnan(value_of("sqrt(-1)")));
    // A NaN divisor is not zero: it divides.
    CHECK(std::isnan(value_of("1/sqrt(-1)")));
}

TEST_CASE(functions_are_the_maths_library) {
    volatile double one = 1.0, two = 2.0, half = 0.5;
    CHECK(same_bits(value_of("sin(1)"), std::sin(one)));
    CHECK(same_bits(value_of("cos(1)"), std::cos(one)));
    CHECK(same_bits(value_of("tan(1)"), std::tan(one)));
    CHECK(same_bits(value_of("exp(1)"), std::exp(one)));
    CHECK(same_bits(value_of("ln(2)"), std::log(two)));
    CHECK(same_bits(value_of("sqrt(2)"), std::sqrt(two)));
    CHECK(same_bits(value_of("2^0.5"), std::pow(two, half)));
    CHECK(same_bits(value_of("cos(pi/3)"), std::cos(kExprPi / 3.0)));
}

TEST_CASE(tree_shapes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-2^2", "exp(term(factor(power(power(nninteger:2)) power(nninteger:2))))"},
        {"2^-1", "exp(term(factor(power(nninteger:2) power(power(nninteger:1)))))"},
        {"1 - 2", "exp(term(factor(power(nninteger:1))) plus:- term(factor(power(nninteger:2))))"},
        {"a*b/c", "exp(term(factor(power(id:a)) mul:* factor(power(id:b)) mul:/ factor(power(id:c))))"},
        {"sin (x)", "exp(term(factor(power(unary_op:sin exp(term(factor(power(id:x))))))))"},
        {"(3.)", "exp(term(factor(power(exp(term(factor(power(real:3.))))))))"},
        // Ordered choice: a name that is not a complete call is an id.
        {"sinx", "exp(term(factor(power(id:sinx))))"},
        {"x_1", "exp(term(factor(power(id:x_1))))"},
        {"pI", "exp(term(factor(power(id:pI))))"},
        {"sqrt", "exp(term(factor(power(id:sqrt))))"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string got = shape_of(text);
        if (got != expected) check::fail(__FILE__, __LINE__, "'" + text + "' parsed as " + got);
    }
}

TEST_CASE(rejected_texts_are_parse_errors) {
    const std::vector<std::string> texts = {
        // Nothing matches at the start.
        "", "   ", ")", "*", ".5", "Pi", "_x", "(", "(1", "-", "1+",
        // Something is left over (accepted prefixes with the rest ignored
        // would give wrong values silently).
        "2pi", "2 pi", "1e-3", "1.5.2", "05", "007", "1 2", "1)", "a\tb", "sin(1", "sin(0)x", "pi 3", "1 +",
        "sinh(1)", "2 ^", "1é",
    };
    for (const std::string& t : texts) {
        const NumericError err = error_of(t);
        if (err.kind != NumericError::Kind::ParseError)
            check::fail(__FILE__, __LINE__, "'" + t + "' gave " + std::string(err.text()));
        CHECK_EQ(std::string(err.text()), err.payload);
        CHECK(err.payload.find("= expected ") != std::string::npos);
    }
}

TEST_CASE(parse_error_reports) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", " --> 1:1\n  |\n1 | \n  | ^---\n  |\n  = expected power"},
        {"1+", " --> 1:3\n  |\n1 | 1+\n  |   ^---\n  |\n  = expected power"},
        {"2pi", " --> 1:2\n  |\n1 | 2pi\n  |  ^---\n  |\n  = expected plus, mul, or end of input"},
        {"2^", " --> 1:3\n  |\n1 | 2^\n  |   ^---\n  |\n  = expected power"},
        {"(1", " --> 1:3\n  |\n1 | (1\n  |   ^---\n  |\n  = expected plus or mul"},
        // The marker keeps the tabs of the line.
        {"a\tb", " --> 1:3\n  |\n1 | a\tb\n  |  \t^---\n  |\n  = expected plus, mul, or end of input"},
        // Later lines; the gutter widens with the line number.
        {"1 +\n\n  )", " --> 3:3\n  |\n3 |   )\n  |   ^---\n  |\n  = expected power"},
        {repeat("\n", 10) + ")", "  --> 11:1\n   |\n11 | )\n   | ^---\n   |\n   = expected power"},
    };
    for (const auto& [text, expected] : cases) {
        const NumericError err = error_of(text);
        if (err.payload != expected) check::fail(__FILE__, __LINE__, "report for '" + text + "':\n" + err.payload);
    }

    auto parsed = ExprParser::parse(Rule::exp, "1 +\n\n  )");
    const auto& err = std::get<ExprParseError>(parsed);
    CHECK(err.kind == ExprParseError::Kind::Unexpected);
    CHECK_EQ(err.pos, 7u);
    CHECK_EQ(err.line, 3u);
    CHECK_EQ(err.column, 3u);
    CHECK(err.expected == std::vector<Rule>{Rule::power});
    CHECK(!err.expected_end);

    // A failure on a line break shows the breaks of its line.
    auto real = ExprParser::parse(Rule::real, "\n1.");
    CHECK_EQ(std::get<ExprParseError>(real).report,
             std::string(" --> 1:1\n  |\n1 | \u240A\n  | ^---\n  |\n  = expected real"));
}

TEST_CASE(other_start_rules) {
    auto real = ExprParser::parse(Rule::real, "12.5");
    CHECK_EQ(shape(std::get<ExprTree>(real).pairs()), std::string("real:12.5"));
    auto call = ExprParser::parse(Rule::power, "ln ( 2 ) ");
    CHECK_EQ(shape(std::get<ExprTree>(call).pairs()),
             std::string("power(unary_op:ln exp(term(factor(power(nninteger:2)))))"));
    auto unary = ExprParser::parse(Rule::unary_op, "sqrt");
    CHECK_EQ(shape(std::get<ExprTree>(unary).pairs()), std::string("unary_op:sqrt"));
    auto id = ExprParser::parse(Rule::id, "Ab");
    CHECK(std::get<ExprParseError>(id).expected == std::vector<Rule>{Rule::id});
}

TEST_CASE(nesting_is_bounded) {
    const int n = static_cast<int>(kMaxExprDepth);
    struct Case {
        std::string open, close;
    };
    const std::vector<Case> kinds = {{"(", ")"}, {"-", ""}, {"sin(", ")"}, {"-(", ")"}};
    for (const Case& k : kinds) {
        // Each of these opens one level, "-(" two.
        const int levels = k.open == "-(" ? n / 2 : n;
        CHECK(value_of(repeat(k.open, levels) + "0" + repeat(k.close, levels)) == 0.0);
        const std::string deep = repeat(k.open, levels + 1) + "0" + repeat(k.close, levels + 1);
        auto parsed = ExprParser::parse(Rule::exp, deep);
        auto* err = std::get_if<ExprParseError>(&parsed);
        CHECK(err != nullptr && err->kind == ExprParseError::Kind::TooDeep);
        CHECK_EQ(error_of(deep).kind, NumericError::Kind::ParseError);
    }
    // The report points at the construct that opens one level too many.
    const NumericError err = error_of(repeat("(", n + 1) + "1" + repeat(")", n + 1));
    CHECK(err.payload.starts_with(" --> 1:257\n"));
    CHECK(err.payload.ends_with("\n  = nesting deeper than 256 levels"));
    // Far deeper input fails the same way instead of exhausting the stack.
    CHECK_EQ(error_of(repeat("(", 1000000)).kind, NumericError::Kind::ParseError);
    CHECK_EQ(error_of(repeat("-", 1000000) + "1").kind, NumericError::Kind::ParseError);
}

TEST_CASE(evaluation_errors) {
    struct Case {
        std::string text;
        NumericError::Kind kind;
        std::string shown;
    };
    using K = NumericError::Kind;
    const std::vector<Case> cases = {
        {"1/0", K::DivisionByZero, "DivisionByZero"},
        {"0/0", K::DivisionByZero, "DivisionByZero"},
        {"1/-0", K::DivisionByZero, "DivisionByZero"},
        {"1/0.0", K::DivisionByZero, "DivisionByZero"},
        {"1/(1-1)", K::DivisionByZero, "DivisionByZero"},
        {"x+1", K::UndefinedVariable, "x"},
        {"pI", K::UndefinedVariable, "pI"},
        {"2^theta_2", K::UndefinedVariable, "theta_2"},
        {"sin(q)", K::UndefinedVariable, "q"},
        {"-z", K::UndefinedVariable, "z"},
        // The leftmost failing operand decides.
        {"x/0", K::UndefinedVariable, "x"},
        {"1/0+x", K::DivisionByZero, "DivisionByZero"},
        {"x*y", K::UndefinedVariable, "x"},
        {"1/0^y", K::UndefinedVariable, "y"},
    };
    for (const Case& c : cases) {
        const NumericError err = error_of(c.text);
        if (err.kind != c.kind || err.text() != c.shown)
            check::fail(__FILE__, __LINE__, "'" + c.text + "' gave " + std::string(err.text()));
    }
}

TEST_CASE(caculate_operators) {
    CHECK(std::get<double>(caculate("^", 2.0, 10.0)) == 1024.0);
    CHECK(std::get<double>(caculate("-", 1.0, 3.0)) == -2.0);
    CHECK(same_bits(std::get<double>(caculate("sin", 0.5, 99.0)), std::sin(0.5)));
    CHECK(std::get<NumericError>(caculate("/", 1.0, -0.0)) == NumericError::division_by_zero());
    const NumericError bad = std::get<NumericError>(caculate("%", 1.0, 2.0));
    CHECK(bad.kind == NumericError::Kind::InvalidArgument);
    CHECK_EQ(bad.text(), std::string_view("%"));
}

TEST_CASE(variables_match_exactly) {
    const Variable vars[] = {{"theta", 0.25}, {"pi", 3.0}};
    CHECK(std::get<double>(evaluate("2*theta + pi", vars)) == 3.5);
    CHECK_EQ(std::get<NumericError>(evaluate("Theta", vars)).kind, NumericError::Kind::ParseError);
    CHECK_EQ(std::get<NumericError>(evaluate("thetas", vars)).text(), std::string_view("thetas"));
    CHECK_EQ(std::get<NumericError>(evaluate("pi", {})).text(), std::string_view("pi"));
}

TEST_CASE(parameter_lists) {
    auto ok = evaluate_params_with_pi(std::vector<std::string>{"pi/3", "2", "-pi/16"});
    CHECK(std::get<std::vector<double>>(ok) == (std::vector<double>{1.0471975511965976, 2.0, -0.19634954084936207}));
    CHECK(std::get<std::vector<double>>(evaluate_params_with_pi({})).empty());
    // The first failing parameter decides.
    auto bad = evaluate_params_with_pi(std::vector<std::string>{"1", "x", "1/0"});
    CHECK_EQ(std::get<NumericError>(bad).text(), std::string_view("x"));
    auto div = evaluate_params_with_pi(std::vector<std::string>{"1/0", "2pi"});
    CHECK_EQ(std::get<NumericError>(div).text(), std::string_view("DivisionByZero"));
    auto parse = evaluate_params_with_pi(std::vector<std::string>{"pi", "2pi"});
    CHECK_EQ(std::get<NumericError>(parse).kind, NumericError::Kind::ParseError);
}

CHECK_MAIN()

// Locale-independent float text in the forms the module prints.
#pragma once

#include <string>

namespace tsl {

// Shortest round-trip decimal, never in exponent form, no ".0" for integral
// values; NaN -> "NaN", infinities "inf"/"-inf".
std::string float_shortest(double x);

// Fixed notation with `prec` decimals, ties to even on the exact value;
// `plus` adds a '+' to non-negative values.  NaN is always "NaN".
std::string float_fixed(double x, int prec, bool plus = false);

}  // namespace tsl

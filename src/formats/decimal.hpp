#pragma once

#include <string_view>

namespace tavoq {

/// Python's float() of a number as model files write it: [+-]digits[.digits][(e|E)[+-]digits],
/// or [+-].digits[...], without spaces, underscores or words (inf, nan); the same correctly
/// rounded double. False for any other text, and for a number that overflows a double or is
/// not zero but rounds to zero, which the readers refuse or take otherwise.
bool readDecimal(std::string_view text, double &value);

} // namespace tavoq

#pragma once

#include <string_view>

namespace tavoq {

/// Python's float() of a number as model files write it: [+-]digits[.digits][(e|E)[+-]digits],
/// or [+-].digits[...], without spaces, underscores or words (inf, nan); the same correctly
/// rounded double. False for any other text, and for a number out of a double's range (as
/// from_chars reports it; a nonzero number that rounds to zero, which Python takes as 0, is
/// out of range too).
bool readDecimal(std::string_view text, double &value);

} // namespace tavoq

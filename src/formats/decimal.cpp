#include "formats/decimal.hpp"

#include <charconv>

namespace tavoq {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

bool readDecimal(std::string_view s, double &out) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        ++i; // from_chars takes no '+', and the sign is set after
    }
    const std::size_t start = i;
    std::size_t digits = 0;
    while (i < n && isDigit(s[i])) {
        ++i, ++digits;
    }
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && isDigit(s[i])) {
            ++i, ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
        if (i == n || !isDigit(s[i])) {
            return false;
        }
        while (i < n && isDigit(s[i])) {
            ++i;
        }
    }
    if (i != n) {
        return false;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(s.data() + start, s.data() + n, value);
    if (error != std::errc{} || end != s.data() + n) {
        return false; // out of a double's range, or a nonzero number that rounds to zero
    }
    out = s[0] == '-' ? -value : value;
    return true;
}

} // namespace tavoq

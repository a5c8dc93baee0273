#pragma once

#include <cstdint>
#include <vector>

namespace tavoq {

/// The gates (positions) each after the gates it names: depth first from each gate in order,
/// through its names left to right, as the Python readers' check of cycles orders them. Gate
/// g names the gates named[first[g]] to named[first[g + 1] - 1]; `first` has one entry more
/// than there are gates. False, and `order` incomplete, when the gates form a cycle.
bool gatesInOrder(const std::vector<std::uint32_t> &first, const std::vector<std::uint32_t> &named,
                  std::vector<std::uint32_t> &order);

} // namespace tavoq

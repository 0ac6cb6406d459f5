#pragma once
// Column labels of a wide bar frame: "<security>_<field>", the field suffix at the end.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::core {

// The five field suffixes in the order readers test them.
inline constexpr std::string_view kFieldSuffixes[5] = {"_open", "_close", "_high", "_low", "_volume"};

// The security name of `label` when it ends with `suffix` ("_close", ...), else nothing.
// Matching at the end keeps names such as "X_lowcap" or "A_close_fund" intact.
std::optional<std::string_view> security_of_label(std::string_view label, std::string_view suffix);

// True when the two name lists hold the same names with the same multiplicities.
bool same_multiset(std::vector<std::string> a, std::vector<std::string> b);

}  // namespace velmora::core

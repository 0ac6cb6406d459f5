#include "velmora/core/labels.hpp"

#include <algorithm>

namespace velmora::core {

std::optional<std::string_view> security_of_label(std::string_view label, std::string_view suffix) {
  if (label.size() < suffix.size() || label.substr(label.size() - suffix.size()) != suffix) {
    return std::nullopt;
  }
  return label.substr(0, label.size() - suffix.size());
}

bool same_multiset(std::vector<std::string> a, std::vector<std::string> b) {
  if (a.size() != b.size()) return false;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return a == b;
}

}  // namespace velmora::core

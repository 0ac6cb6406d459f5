#pragma once
// What the two market-data feeds share: fetching a web page with a client name and a
// time-out, and the rule by which their cleaning keeps a security whole or drops it whole.

#include "common/common.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace velmora::bind {

// The module settings behind every page fetch; each feed module holds its own pair, read at
// every call. Sites that serve automated clients ask them to say who they are, and a fetch
// without a time-out can hang a research script forever on one stalled server.
inline constexpr const char* kUserAgentSetting = "USER_AGENT";
inline constexpr const char* kPageTimeoutSetting = "PAGE_TIMEOUT";

inline void add_page_settings(py::module_& m) {
  m.attr(kUserAgentSetting) = "velmora/0.1 (research client; +https://pypi.org/project/velmora/)";
  m.attr(kPageTimeoutSetting) = 30.0;
}

// The page at `url`, parsed with lxml, fetched with the client name and time-out (seconds)
// that `settings` holds at this moment. The HTTP status is not judged: an error page parses
// like any other and fails where the caller looks for what it needs.
inline py::object fetch_page_document(const py::module_& settings, py::handle url) {
  py::dict headers;
  headers["User-Agent"] = settings.attr(kUserAgentSetting);
  py::object response = py::module_::import("requests").attr("get")(
      url, py::arg("headers") = headers, py::arg("timeout") = settings.attr(kPageTimeoutSetting));
  return py::module_::import("bs4").attr("BeautifulSoup")(response.attr("text"), "lxml");
}

// A security of a cleaned frame that has a column with too few values.
struct SparseSecurity {
  std::string name;
  std::int64_t present;  // values in its emptiest column
};

// The securities of `frame` that have any column with fewer than `threshold` present
// values, in the order of their first column. `owners[i]` names the security of column i.
// Judging per security rather than per column keeps a cleaned frame at five columns for
// every security it holds: a security is kept whole or dropped whole.
inline std::vector<SparseSecurity> sparse_securities(const py::object& frame,
                                                     const std::vector<std::string>& owners,
                                                     std::int64_t threshold) {
  // Counted by position, so that repeated labels cannot be mistaken for one another.
  const py::list present = frame.attr("count")().attr("tolist")();
  std::vector<SparseSecurity> fewest;  // every security, in the order of its first column
  std::unordered_map<std::string, std::size_t> position;
  for (std::size_t i = 0; i < owners.size(); ++i) {
    const auto count = present[i].cast<std::int64_t>();
    const auto [it, added] = position.try_emplace(owners[i], fewest.size());
    if (added) {
      fewest.push_back({owners[i], count});
    } else {
      fewest[it->second].present = std::min(fewest[it->second].present, count);
    }
  }
  std::erase_if(fewest, [&](const SparseSecurity& s) { return s.present >= threshold; });
  return fewest;
}

inline std::unordered_set<std::string> names_of(const std::vector<SparseSecurity>& sparse) {
  std::unordered_set<std::string> names;
  for (const SparseSecurity& s : sparse) names.insert(s.name);
  return names;
}

}  // namespace velmora::bind

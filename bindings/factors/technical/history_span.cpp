#include "factors/technical/history_span.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

#include "velmora/core/factor/cleaning.hpp"
#include "velmora/core/labels.hpp"

namespace velmora::bind::cointpairs {

namespace py = pybind11;
namespace cf = velmora::core::factor;

namespace {

constexpr std::array<std::string_view, 4> kPriceFields = {"_open", "_high", "_close", "_low"};

std::string security_of(const std::string& label) {
  for (const std::string_view suffix : kPriceFields) {
    if (auto name = velmora::core::security_of_label(label, suffix)) return std::string(*name);
  }
  return label;
}

std::string time_text(py::handle index, std::ptrdiff_t at) {
  return py::str(index[py::int_(at)]).cast<std::string>();
}

}  // namespace

SecurityStarts security_starts(py::handle binned_prices) {
  SecurityStarts starts;
  std::vector<std::vector<std::ptrdiff_t>> columns;
  std::ptrdiff_t c = 0;
  for (py::handle label : binned_prices.attr("columns")) {
    const std::string security = security_of(label.cast<std::string>());
    auto at = std::find(starts.names.begin(), starts.names.end(), security);
    if (at == starts.names.end()) {
      starts.names.push_back(security);
      columns.emplace_back();
      at = starts.names.end() - 1;
    }
    const auto k = static_cast<std::size_t>(at - starts.names.begin());
    columns[k].push_back(c++);
  }

  py::module_ np = numpy();
  const py::array values = np.attr("ascontiguousarray")(
      binned_prices.attr("to_numpy")(py::arg("dtype") = np.attr("float64")), np.attr("float64"));
  const View2D view = view_2d(values);
  std::string refused;
  for (std::size_t k = 0; k < starts.names.size(); ++k) {
    const std::ptrdiff_t first = cf::first_complete_row(view, columns[k]);
    starts.first_bins.push_back(first);
    starts.first_kept_bin = std::max(starts.first_kept_bin, first);
    starts.last_bins.push_back(cf::last_complete_row(view, columns[k]));
    if (first < view.rows) continue;
    if (!refused.empty()) refused += ", ";
    refused += starts.names[k];
  }
  // With no bins at all the minimum-history rule speaks, as for any too short history.
  if (!refused.empty() && view.rows > 0) {
    raise_plain("No usable bars for " + refused +
                ": none of its rows holds an open, high, low and close that are all positive finite numbers, "
                "and every row the factor keeps needs a price of every security. Leave it out of the frame or "
                "get its data");
  }
  return starts;
}

void warn_late_starts(const SecurityStarts& starts, py::handle binned_index, std::ptrdiff_t dropped_rows,
                      std::ptrdiff_t kept_rows) {
  std::string late;
  for (std::size_t k = 0; k < starts.names.size(); ++k) {
    if (starts.first_bins[k] == 0) continue;
    late += (late.empty() ? " and " : ", ") + starts.names[k] + (late.empty() ? " starts at " : " at ") +
            time_text(binned_index, starts.first_bins[k]);
  }
  const std::ptrdiff_t total = dropped_rows + kept_rows;
  const long long percent = total > 0 ? std::llround(100.0 * static_cast<double>(dropped_rows) / total) : 0;
  shared_logger().attr("warning")(
      "Cleaning drops the first " + std::to_string(dropped_rows) + " of " + std::to_string(total) + " rows (" +
      std::to_string(percent) + " % of the history), from " + time_text(binned_index, 0) + " to before " +
      time_text(binned_index, starts.first_kept_bin) + ": every row needs a price of every security," + late +
      ". Leave the late securities out to keep the earlier rows");
}

void warn_early_ends(const SecurityStarts& starts, py::handle binned_index, py::handle clean) {
  const auto bins = static_cast<std::ptrdiff_t>(py::len(binned_index));
  const auto kept = static_cast<std::ptrdiff_t>(py::len(clean));
  py::object kept_times = clean.attr("index");
  std::string ended;
  for (std::size_t k = 0; k < starts.names.size(); ++k) {
    const std::ptrdiff_t last = starts.last_bins[k];
    if (last < 0 || last >= bins - 1) continue;
    py::object end = binned_index[py::int_(last)];
    const auto carried = py::int_(kept_times.attr("__gt__")(end).attr("sum")()).cast<std::ptrdiff_t>();
    if (carried == 0) continue;
    ended += (ended.empty() ? "" : ", ") + starts.names[k] + " ends at " + py::str(end).cast<std::string>() +
             " (the last " + std::to_string(carried) + " of " + std::to_string(kept) + " rows)";
  }
  if (ended.empty()) return;
  shared_logger().attr("warning")(
      "Cleaning carries the last prices of securities that end before the history does over the rows after "
      "their end, as over any gap: " + ended + ". Leave them out, or end the history there, to trade on prices "
      "of their own");
}

}  // namespace velmora::bind::cointpairs

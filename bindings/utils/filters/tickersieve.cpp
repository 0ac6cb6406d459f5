// velmora.utils.filters.tickersieve: narrows a universe to its most traded securities, judged
// on the earliest bars of the history only, so that choosing the universe leaks nothing of the
// stretch a backtest on the same frame will later walk through.

#include "common/common.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "velmora/core/labels.hpp"

namespace py = pybind11;
namespace vb = velmora::bind;

namespace {

struct Tickersieve {};

constexpr const char* kInferenceModule = "velmora.utils.inference.inference";

// Only a share of the history in [0, 1] keeps the ranking on the earliest bars: a negative
// share would slice off the end instead of keeping the start ([:-k], nearly the whole
// history), and NaN has no meaning as a share.
void check_share(double pct_of_filtration) {
  if (!(pct_of_filtration >= 0.0 && pct_of_filtration <= 1.0)) {
    vb::raise_plain("pct_of_filtration must be a share of the rows between 0 and 1, got " +
                    py::repr(py::float_(pct_of_filtration)).cast<std::string>());
  }
}

py::list sort_dictionary(py::handle /*self*/, py::handle dict_to_sort, bool reverse) {
  vb::check_dict(dict_to_sort, "dict_to_sort");
  // Python's sort is stable in both directions, so equal values keep insertion order.
  py::list items = py::list(dict_to_sort.attr("items")());
  py::object by_value = py::module_::import("operator").attr("itemgetter")(1);
  items.attr("sort")(py::arg("key") = by_value, py::arg("reverse") = reverse);
  return items;
}

// The labels of `columns` that belong to a retained security, in column order, each once.
py::list select_labels(py::handle columns, const std::unordered_set<std::string>& retained) {
  py::list selected;
  std::unordered_set<std::string> taken;
  for (py::handle label : columns) {
    if (!PyUnicode_Check(label.ptr())) {
      vb::raise_type_error("Column labels must be strings, got " + vb::type_name(label) + " (" +
                           py::repr(label).cast<std::string>() + ")");
    }
    const std::string text = label.cast<std::string>();
    bool keep = false;
    for (std::string_view suffix : velmora::core::kFieldSuffixes) {
      // A label without this suffix is compared whole, so a bare security column is kept too.
      auto name = velmora::core::security_of_label(text, suffix);
      const std::string candidate = name ? std::string(*name) : text;
      if (retained.count(candidate) != 0) {
        keep = true;
        break;
      }
    }
    if (keep && taken.insert(text).second) selected.append(label);
  }
  return selected;
}

// The first n bars by time, in time order. Vendor files often list the newest bar first,
// and the head rows of such a frame are the latest history: ranking on them would pick the
// universe with hindsight. The sort is stable, so bars of one time keep the caller's order,
// and a frame already in time order is sliced as it is; summing the head in time order gives
// every row order of one frame the same scores to the last bit. Bars without a time (NaT)
// sort last: they are never taken for the earliest.
py::object earliest_bars(py::handle frame, py::ssize_t n) {
  const py::slice first_n(std::nullopt, n, std::nullopt);
  py::object index = frame.attr("index");
  if (py::bool_(index.attr("is_monotonic_increasing"))) return frame.attr("iloc")[first_n];
  py::object order = index.attr("argsort")(py::arg("kind") = "stable");
  return frame.attr("iloc")[order[first_n]];
}

py::object filter_without_lookahead(py::object self, py::object clean_OHCLV_dataframe,
                                    py::object securities, double pct_of_filtration,
                                    std::int64_t number_of_securities_to_keep) {
  vb::check_list(securities, "securities");
  vb::check_dataframe(clean_OHCLV_dataframe, "clean_OHCLV_dataframe");
  check_share(pct_of_filtration);

  if (securities.is_none() || py::len(securities) == 0) {
    py::object inference = py::module_::import(kInferenceModule).attr("Inference")();
    securities = inference.attr("infer_securities_from_OHCLV_df")(clean_OHCLV_dataframe);
    vb::check_assigned_type(securities, reinterpret_cast<PyObject*>(&PyList_Type));
  }

  // Nothing to narrow: the caller gets its own frame back, whatever subset it named.
  const auto n_securities = static_cast<std::int64_t>(py::len(securities));
  if (number_of_securities_to_keep >= n_securities) return clean_OHCLV_dataframe;

  // The share is in [0, 1], so the product is finite and within the row count.
  const auto n_rows = static_cast<double>(py::len(clean_OHCLV_dataframe));
  const auto n_head = static_cast<py::ssize_t>(std::trunc(n_rows * pct_of_filtration));
  py::object head = earliest_bars(clean_OHCLV_dataframe, n_head);

  // Each score is one vectorised pandas product and numpy sum, so missing values are skipped
  // and the summation order is the one pandas and numpy use.
  py::object np_sum = vb::numpy().attr("sum");
  py::dict scores;
  for (py::handle security : securities) {
    const std::string name = py::str(security).cast<std::string>();
    py::object close = head[py::str(name + "_close")];
    py::object volume = head[py::str(name + "_volume")];
    scores[security] = np_sum(close * volume);
  }

  py::object ranked = self.attr("__sort_dictionary")(py::arg("dict_to_sort") = scores,
                                                     py::arg("reverse") = true);
  py::list ranked_names = py::list(py::dict(ranked));
  py::object kept = ranked_names[py::slice(std::nullopt, number_of_securities_to_keep, std::nullopt)];

  std::unordered_set<std::string> retained;
  for (py::handle name : kept) {
    if (PyUnicode_Check(name.ptr())) retained.insert(name.cast<std::string>());
  }
  py::list selected = select_labels(clean_OHCLV_dataframe.attr("columns"), retained);
  return clean_OHCLV_dataframe[selected];
}

}  // namespace

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) {
  m.doc() = "Liquidity filter: the most traded securities of an OHCLV_dataframe, ranked on its earliest bars.";

  // The ranking falls back on security inference; loading it here surfaces a broken install
  // at import rather than at the first call.
  py::module_::import(kInferenceModule);

  // One shared default, created once here and never modified by the filter.
  py::list default_securities;

  py::class_<Tickersieve> cls(m, "Tickersieve", R"doc(
Keeps the securities with the largest dollar volume over the earliest bars of a frame.

Stateless: the constructor takes no arguments and ignores any that are given.
)doc");
  cls.def(vb::init_ignoring_arguments<Tickersieve>());
  cls.def("filter_without_lookahead", &filter_without_lookahead, py::arg("clean_OHCLV_dataframe"),
          py::arg("securities") = default_securities, py::arg("pct_of_filtration") = 0.1,
          py::arg("number_of_securities_to_keep") = 10, R"doc(
Narrows an OHCLV_dataframe to its most traded securities without look-ahead.

The securities are ranked by the sum of close times volume over the earliest
int(len(frame) * pct_of_filtration) bars by time (the index), whatever order the rows
come in; later bars never influence the choice.

Args:
    clean_OHCLV_dataframe (pandas.DataFrame): the frame to filter.
    securities (list): the securities to rank; None or empty infers them from the frame.
    pct_of_filtration (float): share of the earliest bars to rank on, between 0 and 1.
    number_of_securities_to_keep (int): how many of the ranked securities to keep.

Returns:
    pandas.DataFrame: the columns of the retained securities in the frame's column order,
    all rows in the frame's row order. When number_of_securities_to_keep is at least the
    number of securities, the input frame itself, unchanged, even if `securities` names
    only part of it.
)doc");
  cls.def("__sort_dictionary", &sort_dictionary, py::arg("dict_to_sort"), py::arg("reverse") = true,
          R"doc(
Orders the items of a dictionary by value.

Args:
    dict_to_sort (dict): the dictionary; it is left unchanged.
    reverse (bool): largest value first when true, smallest first otherwise.

Returns:
    list: (key, value) pairs; equal values keep the dictionary's order in both directions.
)doc");
  vb::refuse_pickling(cls);
}

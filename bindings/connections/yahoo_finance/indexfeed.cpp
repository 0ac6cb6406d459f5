// velmora.connections.yahoo_finance.indexfeed: daily bars of the members of four equity
// indices. The members come from the constituent tables of the indices' encyclopedia
// articles, the bars from yfinance; both are cleaned into one OHCLV_dataframe.

#include "common/common.hpp"
#include "common/feeds.hpp"

#include <pybind11/eval.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace py = pybind11;
namespace vb = velmora::bind;

namespace {

constexpr const char* kModule = "velmora.connections.yahoo_finance.indexfeed";
constexpr const char* kFailureBanner = "YAHOO FINANCE DOWNLOADING FAILED | PLEASE TRY AGAIN";

struct Indexfeed {};

// Where one index's members stand in its article, and how a cell becomes a Yahoo ticker.
struct ConstituentTable {
  const char* url_setting;  // module attribute holding the page address, read at every call
  py::ssize_t table_index;
  py::ssize_t first_row;
  py::ssize_t column_index;
  bool strip_newline;
  bool add_suffix;
  const char* suffix;
  bool split_ticker;
  const char* split_sep;
  py::ssize_t split_index;
};

constexpr ConstituentTable kFTSE100{"FTSE100_PAGE_URL", 3, 1, 1, true, true, ".L", false, "", 0};
constexpr ConstituentTable kSP500{"SP500_PAGE_URL", 0, 1, 0, true, false, "", false, "", 0};
constexpr ConstituentTable kNIFTY50{"NIFTY50_PAGE_URL", 1, 1, 1, true, true, ".NS", false, "", 0};
constexpr ConstituentTable kSTI{"STI_PAGE_URL", 3, 1, 0, true, true, ".SI", true, " ", 1};

std::vector<std::string> split_at(const std::string& text, std::string_view sep) {
  std::vector<std::string> pieces;
  std::size_t begin = 0;
  for (std::size_t at = text.find(sep); at != std::string::npos; at = text.find(sep, begin)) {
    pieces.emplace_back(text.substr(begin, at - begin));
    begin = at + sep.size();
  }
  pieces.emplace_back(text.substr(begin));
  return pieces;
}

// The suffix goes on before the split, so only a ticker taken from the last piece keeps it
// ("SGX: D05" becomes "D05.SI"). Share classes are written with a dot in the tables (BRK.B,
// BT.A) and with a dash at Yahoo (BRK-B, BT-A.L), where the dotted spelling fails without a
// word; the dash goes in before the suffix brings its own dot.
std::string ticker_from_cell(std::string text, const ConstituentTable& table) {
  if (table.strip_newline) std::erase(text, '\n');
  std::replace(text.begin(), text.end(), '.', '-');
  if (table.add_suffix) text += table.suffix;
  if (table.split_ticker) {
    const std::vector<std::string> pieces = split_at(text, table.split_sep);
    const auto count = static_cast<py::ssize_t>(pieces.size());
    const py::ssize_t at = table.split_index < 0 ? table.split_index + count : table.split_index;
    if (at < 0 || at >= count) {
      throw py::index_error("constituent cell " + py::repr(py::str(text)).cast<std::string>() +
                            " has no piece " + std::to_string(table.split_index));
    }
    text = pieces[static_cast<std::size_t>(at)];
  }
  return text;
}

py::list scrape_tickers(const py::module_& settings, const ConstituentTable& table) {
  py::object document = vb::fetch_page_document(settings, settings.attr(table.url_setting));

  // Positions are Python indices: a negative one counts from the end, a missing one raises.
  py::object target = document.attr("find_all")("table")[py::int_(table.table_index)];
  py::object rows = target.attr("find_all")("tr")[py::slice(table.first_row, std::nullopt, std::nullopt)];
  py::list tickers;
  for (py::handle row : rows) {
    py::object cell = row.attr("find_all")("td")[py::int_(table.column_index)];
    tickers.append(py::str(ticker_from_cell(cell.attr("text").cast<std::string>(), table)));
  }
  return tickers;
}

// yfinance labels its columns (field, ticker); a security's label becomes
// "<ticker with _ for .>_<field in lower case with _ for blanks>".
py::object clean_yahoo_finance_data(const py::object& downloaded) {
  std::vector<std::string> labels;
  std::vector<std::string> owners;
  for (py::handle pair : downloaded.attr("columns").attr("to_flat_index")()) {
    if (!PyTuple_Check(pair.ptr()) || py::len(pair) != 2) {
      vb::raise_type_error("Expected (field, ticker) column labels from the download, got " +
                           py::repr(pair).cast<std::string>());
    }
    py::str field = py::str(pair[py::int_(0)]).attr("replace")(" ", "_").attr("lower")();
    py::str ticker = py::str(pair[py::int_(1)]).attr("replace")(".", "_");
    owners.push_back(ticker.cast<std::string>());
    labels.push_back(owners.back() + "_" + field.cast<std::string>());
  }

  // Positions rather than labels select the columns, so two tickers that map to one name
  // cannot multiply each other's columns.
  constexpr std::string_view adjusted = "_adj_close";
  std::vector<py::ssize_t> kept;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const std::string& label = labels[i];
    const bool is_adjusted = label.size() >= adjusted.size() &&
                             label.compare(label.size() - adjusted.size(), adjusted.size(), adjusted) == 0;
    if (!is_adjusted) kept.push_back(static_cast<py::ssize_t>(i));
  }
  py::object frame = downloaded.attr("set_axis")(py::cast(labels), py::arg("axis") = 1);
  frame = frame.attr("iloc")[py::make_tuple(py::slice(std::nullopt, std::nullopt, std::nullopt), py::cast(kept))];
  frame = frame.attr("ffill")();

  // A security with any column below half the rows goes as a whole: five columns or none.
  const auto threshold = static_cast<std::int64_t>(py::len(frame)) / 2;
  std::vector<std::string> kept_owners;
  for (py::ssize_t i : kept) kept_owners.push_back(owners[static_cast<std::size_t>(i)]);
  const std::unordered_set<std::string> sparse =
      vb::names_of(vb::sparse_securities(frame, kept_owners, threshold));
  std::vector<py::ssize_t> dense;
  for (std::size_t j = 0; j < kept_owners.size(); ++j) {
    if (sparse.count(kept_owners[j]) == 0) dense.push_back(static_cast<py::ssize_t>(j));
  }
  frame = frame.attr("iloc")[py::make_tuple(py::slice(std::nullopt, std::nullopt, std::nullopt), py::cast(dense))];
  return frame.attr("dropna")();
}

py::object daily_bars_of_index(const ConstituentTable& table, const py::object& start, const py::object& end) {
  try {
    py::module_ settings = py::module_::import(kModule);
    py::list tickers = scrape_tickers(settings, table);
    // Looked up at every call, so a replaced download (tests, proxies) is honoured.
    py::object download = py::module_::import("yfinance").attr("download");
    py::object cleaned = clean_yahoo_finance_data(download(tickers, py::arg("start") = start, py::arg("end") = end));
    // yfinance reports failed tickers without raising; nothing left is a failure, not a frame.
    if (py::len(cleaned) == 0 || py::len(cleaned.attr("columns")) == 0) {
      vb::raise_plain("no daily bars left after cleaning");
    }
    return cleaned;
  } catch (py::error_already_set& error) {
    // Ctrl-C and SystemExit are no download failures.
    if (!error.matches(PyExc_Exception)) throw;
  } catch (std::exception&) {
    // pybind11's own errors (a failed cast, an index past a cell's pieces) are Python
    // exceptions of class Exception too.
  }
  vb::shared_logger().attr("info")(vb::banner(kFailureBanner));
  return py::none();
}

constexpr const char* kMethodDoc = R"doc(
Downloads the daily bars of the current members of the %s.

The members are read from the constituent table of the index's article and requested in
Yahoo's spelling (a share class's dot becomes "-": BRK.B is requested as BRK-B, BT.A as
BT-A.L); the bars come from yfinance and are cleaned into an OHCLV_dataframe: labels
"<downloaded ticker>_<field>" with "_" for the ticker's dots (BRK-B_close, BT-A_L_close),
adjusted closes dropped, values forward-filled, securities with a column present on fewer
than half the rows dropped whole, then rows with a missing value dropped.

Args:
    start (datetime.datetime): first day asked for; default 22 May 1995.
    end (datetime.datetime): end of the download; default the moment the module was imported.

Returns:
    pandas.DataFrame or None: the cleaned frame, indexed by trading day as downloaded; None
    (with one failure banner in the log) when anything on the way fails or nothing is left,
    an article not read whole within PAGE_TIMEOUT seconds, larger than PAGE_MAX_BYTES or too
    large to parse (many times the size or the elements of a real article) included.
)doc";

std::string method_doc(const char* index_name) {
  std::string doc = kMethodDoc;
  doc.replace(doc.find("%s"), 2, index_name);
  return doc;
}

}  // namespace

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) {
  m.doc() = "Index feed: daily bars of the members of the FTSE 100, S&P 500, NIFTY 50 and Straits Times indices.";

  m.attr("logger") = vb::setup_module_logging();
  m.attr("bs") = py::module_::import("bs4");
  m.attr("requests") = py::module_::import("requests");
  m.attr("yf") = py::module_::import("yfinance");
  py::module_ datetime = py::module_::import("datetime");
  m.attr("datetime") = datetime;

  // Page addresses and fetch settings, read at every call.
  m.attr("FTSE100_PAGE_URL") = "https://en.wikipedia.org/wiki/FTSE_100_Index";
  m.attr("SP500_PAGE_URL") = "https://en.wikipedia.org/wiki/List_of_S%26P_500_companies";
  m.attr("NIFTY50_PAGE_URL") = "https://en.wikipedia.org/wiki/NIFTY_50";
  m.attr("STI_PAGE_URL") = "https://en.wikipedia.org/wiki/Straits_Times_Index";
  vb::add_page_settings(m);

  py::class_<Indexfeed> cls(m, "Indexfeed", R"doc(
Daily bars of the members of four equity indices, as an OHCLV_dataframe.

Stateless: the constructor takes no arguments and ignores any that are given.
)doc");
  cls.def(vb::init_ignoring_arguments<Indexfeed>());

  // Each method gets its own defaults, made once at import: the default end is the moment
  // of import, not of the call.
  auto add_method = [&](const char* name, const ConstituentTable& table, const char* index_name) {
    py::object default_start = datetime.attr("datetime")(1995, 5, 22);
    py::object default_end = datetime.attr("datetime").attr("now")();
    cls.def(
        name,
        [t = &table](const Indexfeed&, const py::object& start, const py::object& end) {
          return daily_bars_of_index(*t, start, end);
        },
        py::arg("start") = default_start, py::arg("end") = default_end, method_doc(index_name).c_str());
  };
  add_method("get_daily_historical_data_for_singapore_STI", kSTI, "Straits Times Index");
  add_method("get_daily_historical_data_for_india_NIFTY50", kNIFTY50, "NIFTY 50");
  add_method("get_daily_historical_data_for_us_SP500", kSP500, "S&P 500");
  add_method("get_daily_historical_data_for_uk_FTSE100", kFTSE100, "FTSE 100");

  vb::refuse_pickling(cls);
  // pybind11 treats a native method of this name as a constructor, so the refusal to
  // restore state is a small Python function.
  py::dict scope;
  py::exec(R"py(
def __setstate__(self, state):
    raise TypeError("no default __reduce__ due to non-trivial __cinit__")
)py", scope);
  cls.attr("__setstate__") = scope["__setstate__"];
}

// velmora.connections.binance.coinfeed: exchange klines of a list of pairs, downloaded in
// parallel and cleaned into one OHCLV_dataframe, and the top-coins list of a ranking page.
//
// Everything here is I/O and pandas work (resampling, joins), so it stays in the binding:
// there is no per-bar loop of our own to move into the core.

#include "common/common.hpp"
#include "common/feeds.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace py = pybind11;
namespace vb = velmora::bind;

namespace {

constexpr const char* kModulePath = "velmora.connections.binance.coinfeed";
constexpr const char* kJobMethod = "__single_job__get_historical_data_for_single_currency";

// The module-level settings that a download job needs wherever it runs. Loky workers are
// fresh interpreters that import this module with its defaults, so the values in force in
// the calling process travel with every job (see FeedSettings).
constexpr std::array<const char*, 5> kSettingNames = {
    "BINANCE_API_URL", "COINGECKO_URL", vb::kUserAgentSetting, vb::kPageTimeoutSetting,
    vb::kPageMaxBytesSetting};

// The twelve fields of an exchange kline, in the exchange's order; only the first six are used.
constexpr std::array<const char*, 12> kKlineLabels = {
    "datetime", "open",  "high",       "low",         "close",       "volume",
    "close_time", "quote_av", "trades", "tb_base_av", "tb_quote_av", "ignore"};
constexpr std::array<const char*, 5> kFields = {"open", "high", "low", "close", "volume"};
constexpr std::array<const char*, 4> kPriceFields = {"open", "high", "close", "low"};

// Fraction of the bars a security must cover to be kept in a cleaned frame.
constexpr double kCoverage = 0.66;

py::module_ this_module() { return py::module_::import(kModulePath); }
py::object setting(const char* name) { return this_module().attr(name); }
py::module_ pandas() { return py::module_::import("pandas"); }

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// ---------------------------------------------------------------- the object

struct Coinfeed {
  py::object binance_api_key = py::none();
  py::object binance_api_secret = py::none();
  py::object binance_client = py::none();

  template <class F>
  void for_each_object(F&& f) {
    for (py::object* field : {&binance_api_key, &binance_api_secret, &binance_client}) f(*field);
  }
};

Coinfeed& native(py::handle self) { return self.cast<Coinfeed&>(); }

void initialize_binance_client(py::object self) {
  Coinfeed& feed = native(self);
  py::object client_class = setting("Client");  // the module's name, so it can be replaced there
  // The client pings the exchange while it is constructed, at the address baked into the
  // class. Construct it quiet, point it at the configured address, then ping there, so the
  // address stays a setting of this module rather than a patch of the library's class.
  py::object client = client_class(py::arg("api_key") = feed.binance_api_key,
                                   py::arg("api_secret") = feed.binance_api_secret,
                                   py::arg("ping") = false);
  client.attr("API_URL") = setting("BINANCE_API_URL");
  // The client's own session waits per read and reads any length: an exchange that trickles
  // or never ends its answer would hold this constructor (and every worker's) or fill its
  // memory. Every request of the client, the ping first, is bounded as a page fetch is.
  py::object session = py::getattr(client, "session", py::none());
  if (!session.is_none()) {
    vb::bound_session_requests(session, kModulePath, "The exchange's answer at ");
  }
  client.attr("ping")();
  feed.binance_client = client;
}

py::tuple reduce_coinfeed(const Coinfeed& feed) {
  // Looked up at call time, as the rebuild module looks up this class: neither module
  // drags the other in when it is imported.
  py::object rebuild =
      py::module_::import("velmora.utils.pickling.rebuilds").attr("rebuild_coinfeed");
  return py::make_tuple(rebuild, py::make_tuple(feed.binance_api_key, feed.binance_api_secret));
}

// ---------------------------------------------------------------- cleaning

std::string rule_for(const std::string& binance_interval) {
  if (binance_interval == "1d") return "1D";
  if (binance_interval == "1m") return "1min";
  PyErr_SetString(PyExc_ValueError,
                  ("No resampling rule for the kline interval '" + binance_interval + "'").c_str());
  throw py::error_already_set();
}

// The security a label belongs to: the label without its field word at the end ("" for the
// bare field names of one symbol's klines). Neither flag is set for a label of no field.
struct LabelInfo {
  std::string security;
  bool price = false;
  bool volume = false;
};

LabelInfo label_info(const std::string& label) {
  LabelInfo info;
  if (ends_with(label, "volume")) {
    info.volume = true;
    info.security = label.substr(0, label.size() - 6);
    return info;
  }
  for (const char* field : kPriceFields) {
    const std::string f(field);
    if (ends_with(label, f)) {
      info.price = true;
      info.security = label.substr(0, label.size() - f.size());
      return info;
    }
  }
  return info;
}

std::string display_name(std::string security) {
  if (!security.empty() && security.back() == '_') security.pop_back();
  return security;
}

// Puts every column of `frame` on one grid of bins of `rule`: prices take the bin's last
// value and are carried forward, volumes are summed (an empty bin trades 0). A security that
// covers fewer than 66 % of the bins loses all its columns; the first row is then the first
// bin at which every remaining security has a price.
//
// Coverage is judged per security, before rows are dropped: dropping the rows of the latest
// starter first would give every security that starter's gap, and one recent listing would
// then remove every price column of a long download.
py::object resample_procedure(py::object frame, const std::string& rule) {
  py::list labels(frame.attr("columns"));
  py::list price_labels, volume_labels;
  std::vector<LabelInfo> infos;
  for (py::handle label : labels) {
    LabelInfo info = label_info(py::str(label).cast<std::string>());
    if (info.price) price_labels.append(label);
    if (info.volume) volume_labels.append(label);
    infos.push_back(std::move(info));
  }

  py::object prices = frame[price_labels].attr("resample")(rule).attr("last")().attr("ffill")();
  py::object volumes = frame[volume_labels]
                           .attr("resample")(rule)
                           .attr("sum")()
                           .attr("ffill")()
                           .attr("dropna")();
  py::object merged =
      prices.attr("join")(volumes, py::arg("how") = "outer").attr("ffill")();

  const auto n_rows = static_cast<std::int64_t>(py::len(merged));
  const auto thresh = static_cast<std::int64_t>(static_cast<double>(n_rows) * kCoverage);
  std::vector<std::string> owners;
  for (py::handle label : merged.attr("columns")) {
    owners.push_back(label_info(py::str(label).cast<std::string>()).security);
  }
  const std::vector<vb::SparseSecurity> sparse = vb::sparse_securities(merged, owners, thresh);
  const std::unordered_set<std::string> dropped = vb::names_of(sparse);

  py::list kept;
  for (std::size_t i = 0; i < infos.size(); ++i) {
    const LabelInfo& info = infos[i];
    if (!info.price && !info.volume) continue;
    if (dropped.count(info.security) != 0) continue;
    kept.append(labels[i]);
  }
  if (!sparse.empty()) {
    py::object logger = vb::shared_logger();
    for (const vb::SparseSecurity& security : sparse) {
      logger.attr("warning")("Dropped " + display_name(security.name) + ": its history covers " +
                             std::to_string(security.present) + " of " + std::to_string(n_rows) +
                             " bars, fewer than the " + std::to_string(thresh) + " required");
    }
  }
  return merged[kept].attr("dropna")();
}

// One symbol's klines as a five-column float64 frame, labelled symbol + "_open" ... "_volume",
// indexed by the zone-less open times (UTC) and put on the interval's grid.
py::object clean_single_currency(py::object klines, py::object symbol,
                                 const std::string& binance_interval) {
  const std::string rule = rule_for(binance_interval);
  py::module_ pd = pandas();
  py::list columns;
  for (const char* label : kKlineLabels) columns.append(label);
  py::object raw = pd.attr("DataFrame")(klines, py::arg("columns") = columns);

  py::list fields;
  for (const char* field : kFields) fields.append(field);
  // Numbers right away: the exchange sends decimal text, and resampling text would add
  // volumes by concatenation ("12" + "3" is "123"). Text that is no number fails here.
  py::object values = raw[fields].attr("astype")("float64");
  py::object times = pd.attr("to_datetime")(raw[py::str("datetime")], py::arg("unit") = "ms");
  values.attr("index") = pd.attr("DatetimeIndex")(times, py::arg("name") = "datetime");

  py::object cleaned = resample_procedure(values, rule);
  const std::string name = py::str(symbol).cast<std::string>();
  py::list labels;
  for (const char* field : kFields) labels.append(name + "_" + field);
  cleaned.attr("columns") = labels;
  return cleaned;
}

// The joined frame of all symbols on one grid, declared UTC, every value float64.
py::object clean_cryptocurrency_df(py::object df, const std::string& binance_interval) {
  const std::string rule = rule_for(binance_interval);
  py::object cleaned = resample_procedure(df, rule);
  cleaned = cleaned.attr("tz_localize")("UTC");
  return cleaned.attr("astype")("float64");
}

// ---------------------------------------------------------------- download

// ---------------------------------------------------------------- kline pages

// The exchange serves at most this many klines per request.
constexpr std::int64_t kKlinesPerPage = 1000;
// Full pages after which a long download pauses for a second, to stay well inside the
// exchange's request-weight limits.
constexpr int kPagesBetweenPauses = 3;

std::int64_t interval_ms(const std::string& binance_interval) {
  if (binance_interval == "1d") return 86'400'000;
  if (binance_interval == "1m") return 60'000;
  PyErr_SetString(PyExc_ValueError,
                  ("No kline length for the kline interval '" + binance_interval + "'").c_str());
  throw py::error_already_set();
}

std::string short_repr(py::handle obj) {
  std::string text = py::repr(obj).cast<std::string>();
  if (text.size() > 80) text = text.substr(0, 77) + "...";
  return text;
}

// The day a download's date text names, in milliseconds since the epoch (UTC), read as the
// exchange client reads it.
std::int64_t milliseconds_of(py::handle date_text) {
  return py::module_::import("binance.helpers").attr("convert_ts_str")(date_text).cast<std::int64_t>();
}

// The klines of one symbol's download, held to the span that was asked for: open times from
// the first day to the last, both included. The exchange answers each kline once, in time
// order, inside the span; what a misbehaving server sends besides (klines of other dates,
// repeats, more than the span holds) must neither become rows nor grow without end.
class KlineSpan {
 public:
  KlineSpan(std::int64_t first_ms, std::int64_t last_ms, std::int64_t interval_ms)
      : first_ms_(first_ms), last_ms_(last_ms), interval_ms_(interval_ms) {}

  // As the exchange client has it, a span whose end is not after its start holds nothing.
  bool empty() const { return last_ms_ <= first_ms_; }
  std::int64_t first_ms() const { return first_ms_; }
  std::int64_t last_ms() const { return last_ms_; }
  std::int64_t interval() const { return interval_ms_; }
  // The most klines the span can hold: one per interval.
  std::int64_t capacity() const { return empty() ? 0 : (last_ms_ - first_ms_) / interval_ms_ + 1; }
  std::int64_t received() const { return received_; }
  std::int64_t last_open_ms() const { return last_open_ms_; }
  const py::list& klines() const { return klines_; }

  // Takes the klines of one answer, keeping those that open from `from_ms` to the end of the
  // span and after the last one kept. Returns how many it kept. A row that is no sequence of
  // twelve values with a whole number of milliseconds first is no kline: the answer fails.
  std::int64_t take(const py::list& answer, std::int64_t from_ms) {
    std::int64_t kept = 0;
    for (py::handle kline : answer) {
      const std::int64_t open_ms = open_time_of(kline);
      ++received_;
      if (empty() || open_ms < from_ms || open_ms > last_ms_) continue;
      if (kept_any_ && open_ms <= last_open_ms_) continue;
      klines_.append(kline);
      last_open_ms_ = open_ms;
      kept_any_ = true;
      ++kept;
    }
    return kept;
  }

 private:
  static std::int64_t open_time_of(py::handle kline) {
    PyObject* row = kline.ptr();
    const bool text = PyUnicode_Check(row) || PyBytes_Check(row) || PyByteArray_Check(row);
    if (text || !PySequence_Check(row) || py::len(kline) != kKlineLabels.size()) {
      vb::raise_type_error("The exchange answered a kline that is no list of twelve values: " +
                           short_repr(kline));
    }
    py::object open_time = kline[py::int_(0)];
    // Integers of any kind (a client of the caller's own may hand numpy's); never a truth
    // value, a fraction of a millisecond or text.
    if (PyBool_Check(open_time.ptr()) || !PyIndex_Check(open_time.ptr())) {
      vb::raise_type_error("The exchange answered a kline whose open time is no whole number "
                           "of milliseconds: " + short_repr(kline));
    }
    py::object whole = py::reinterpret_steal<py::object>(PyNumber_Index(open_time.ptr()));
    if (!whole) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(whole.ptr(), &overflow);
    if (overflow != 0) {
      PyErr_SetString(PyExc_ValueError, ("The exchange answered a kline whose open time is out "
                                         "of range: " + short_repr(kline)).c_str());
      throw py::error_already_set();
    }
    return value;
  }

  std::int64_t first_ms_;
  std::int64_t last_ms_;
  std::int64_t interval_ms_;
  std::int64_t received_ = 0;
  bool kept_any_ = false;
  std::int64_t last_open_ms_ = 0;
  py::list klines_;
};

// Whether `client` downloads a history with the exchange library's own paging (a plain or
// derived python-binance Client that leaves that method alone). That paging trusts every
// answer: full pages of old klines keep it asking forever, and klines outside the dates
// asked for are kept. Such a client is asked for one page at a time instead, through its own
// session and address; a client of the caller's own making keeps its own method.
bool downloads_with_library_paging(py::handle client) {
  py::object library =
      py::module_::import("binance.client").attr("Client").attr("get_historical_klines");
  py::object method = py::getattr(client, "get_historical_klines", py::none());
  py::object function = py::getattr(method, "__func__", py::none());
  return function.is(library) && py::hasattr(client, "get_klines");
}

// Asks for the span page by page. The download ends with a page shorter than a full one,
// with a page that brings nothing new inside the span (answers that no longer advance in
// time, or that are past its end), or when the next page would start after the span. An
// exchange that sends more klines in all than the span holds, with one page to spare, fails
// the download, so neither its time nor its memory grows past the span's.
void page_through_exchange(py::handle client, py::handle symbol, py::handle binance_interval,
                           KlineSpan& span) {
  if (span.empty()) return;
  py::object sleep = py::module_::import("time").attr("sleep");
  const vb::PageLimits limits = vb::page_limits(this_module());
  const std::string what = "The exchange's answer for " + py::str(symbol).cast<std::string>();
  py::object get_klines = client.attr("get_klines");
  py::object asked_symbol = py::reinterpret_borrow<py::object>(symbol);
  py::object asked_interval = py::reinterpret_borrow<py::object>(binance_interval);
  std::int64_t from_ms = span.first_ms();
  for (int full_pages = 1;; ++full_pages) {
    // Each page within the page fetches' bounds, through the client's own session: the
    // client sends the request and reads the answer it is handed.
    py::object answer = vb::within_page_timeout(
        limits.seconds, what,
        // By value: a helper that is given up on may outlive this frame.
        [get_klines, asked_symbol, asked_interval, limits, what, from_ms,
         last_ms = span.last_ms()](const auto& abandoned) {
          py::dict hooks;
          hooks["response"] = vb::bounded_body_hook(limits.max_bytes, what, abandoned);
          py::dict requests_params;
          requests_params["timeout"] = limits.seconds;
          requests_params["stream"] = true;
          requests_params["hooks"] = hooks;
          return get_klines(py::arg("symbol") = asked_symbol, py::arg("interval") = asked_interval,
                            py::arg("limit") = kKlinesPerPage, py::arg("startTime") = from_ms,
                            py::arg("endTime") = last_ms,
                            py::arg("requests_params") = requests_params);
        });
    if (!PyList_Check(answer.ptr())) {
      vb::raise_type_error("The exchange answered " + short_repr(answer) +
                           " where a list of klines belongs");
    }
    const auto delivered = static_cast<std::int64_t>(py::len(answer));
    const std::int64_t kept = span.take(py::reinterpret_borrow<py::list>(answer), from_ms);
    if (span.received() > span.capacity() + kKlinesPerPage) {
      PyErr_SetString(PyExc_ValueError,
                      ("The exchange sent " + std::to_string(span.received()) + " klines of " +
                       py::str(symbol).cast<std::string>() + " where the dates asked for hold " +
                       std::to_string(span.capacity()))
                          .c_str());
      throw py::error_already_set();
    }
    if (delivered < kKlinesPerPage || kept == 0) return;
    from_ms = span.last_open_ms() + span.interval();
    if (from_ms > span.last_ms()) return;
    if (full_pages % kPagesBetweenPauses == 0) sleep(1);
  }
}

py::object historical_data_for_single_currency(py::object self, py::object symbol,
                                               py::object binance_interval, py::object start_str,
                                               py::object end_str) {
  py::object client = native(self).binance_client;
  const std::string interval = binance_interval.cast<std::string>();
  KlineSpan span(milliseconds_of(start_str), milliseconds_of(end_str), interval_ms(interval));
  if (downloads_with_library_paging(client)) {
    page_through_exchange(client, symbol, binance_interval, span);
  } else {
    py::object klines = client.attr("get_historical_klines")(
        py::arg("symbol") = symbol, py::arg("interval") = binance_interval,
        py::arg("start_str") = start_str, py::arg("end_str") = end_str);
    span.take(py::list(klines), span.first_ms());
  }
  return clean_single_currency(span.klines(), symbol, interval);
}

// Runs one symbol's share of a download. Whatever it raises of class Exception costs that
// symbol alone: one warning naming it, and false. Ctrl-C and exit requests end the download.
template <class Work>
bool guarded_for_symbol(py::handle symbol, Work&& work) {
  try {
    work();
    return true;
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
  } catch (const std::exception&) {
    // pybind11's own errors (a failed cast) are Exceptions on the host's side too.
  }
  vb::shared_logger().attr("warning")(
      vb::banner("DOWNLOAD FAILED FOR " + py::str(symbol).cast<std::string>()));
  return false;
}

py::object single_job(py::object self, py::object cryptocurrencies_dict,
                      py::object cryptocurrencies, py::object index, py::object binance_interval,
                      py::object start_str, py::object end_str) {
  // A list that cannot be indexed is the caller's error, not one symbol's: it passes on.
  py::object symbol = cryptocurrencies[index];
  guarded_for_symbol(symbol, [&] {
    cryptocurrencies_dict[symbol] =
        historical_data_for_single_currency(self, symbol, binance_interval, start_str, end_str);
  });
  return py::none();
}

// Carries the module settings to a worker. Its pickle restores them in the receiving process
// when it is loaded, so they are in force before the job builds its feed there.
struct FeedSettings {
  py::object values = py::dict();

  template <class F>
  void for_each_object(F&& f) {
    f(values);
  }
};

FeedSettings current_settings() {
  FeedSettings settings;
  py::module_ module = this_module();
  for (const char* name : kSettingNames) settings.values[name] = module.attr(name);
  return settings;
}

FeedSettings restore_settings(py::dict values) {
  py::module_ module = this_module();
  for (auto item : values) py::setattr(module, item.first, item.second);
  return FeedSettings{values};
}

// What a download job carries in place of the feed. In the calling process it is the feed
// itself. Pickled for a worker it becomes the feed's own recipe (its __reduce__) and the
// download's token, and unpickling builds nothing: a rebuilt feed makes an exchange client,
// which pings the exchange, and a failure there, outside every job's guard, would break the
// worker pool and lose the whole download. The worker builds its feed inside the job instead.
struct TravellingFeed {
  py::object feed = py::none();  // the caller's feed; None in a worker
  py::object rebuild = py::none();
  py::object rebuild_args = py::none();
  py::object download_token = py::none();

  template <class F>
  void for_each_object(F&& f) {
    for (py::object* field : {&feed, &rebuild, &rebuild_args, &download_token}) f(*field);
  }
};

// Taken only when the carrier is pickled, so a download that runs in the calling process
// never needs the rebuild module.
py::tuple reduce_travelling_feed(const TravellingFeed& carrier) {
  py::object rebuild = carrier.rebuild;
  py::object rebuild_args = carrier.rebuild_args;
  if (!carrier.feed.is_none()) {
    py::tuple recipe = carrier.feed.attr("__reduce__")();
    rebuild = recipe[0];
    rebuild_args = recipe[1];
  }
  return py::make_tuple(this_module().attr("_feed_for_worker"),
                        py::make_tuple(rebuild, rebuild_args, carrier.download_token));
}

// The feed of this worker process for the given download: built by the first job that needs
// it and kept for the download's later jobs, so a worker makes one client and pings once,
// however many symbols it downloads. A failed build is not kept: the next job tries again.
py::object worker_feed(const TravellingFeed& carrier) {
  py::module_ module = this_module();
  py::object kept = module.attr("_worker_feed");
  if (!kept.is_none() && py::object(kept[py::int_(0)]).equal(carrier.download_token)) {
    return kept[py::int_(1)];
  }
  module.attr("_worker_feed") = py::none();  // an earlier download's client goes first
  py::object feed = carrier.rebuild(*carrier.rebuild_args);
  module.attr("_worker_feed") = py::make_tuple(carrier.download_token, feed);
  return feed;
}

py::object run_download_job(const FeedSettings&, const TravellingFeed& carrier,
                            py::object cryptocurrencies_dict, py::object cryptocurrencies,
                            py::object index, py::object binance_interval, py::object start_str,
                            py::object end_str) {
  py::object feed = carrier.feed;
  if (feed.is_none()) {
    // A list that cannot be indexed is the caller's error, not one symbol's: it passes on.
    py::object symbol = cryptocurrencies[index];
    if (!guarded_for_symbol(symbol, [&] { feed = worker_feed(carrier); })) return py::none();
  }
  return feed.attr(kJobMethod)(cryptocurrencies_dict, cryptocurrencies, index, binance_interval,
                               start_str, end_str);
}

// `with Manager() as manager:` for C++: the manager process is shut down on every way out.
class ManagerScope {
 public:
  ManagerScope() : manager_(py::module_::import("multiprocessing").attr("Manager")()) {}
  ManagerScope(const ManagerScope&) = delete;
  ManagerScope& operator=(const ManagerScope&) = delete;
  ~ManagerScope() {
    py::error_scope keep_pending_error;
    try {
      manager_.attr("shutdown")();
    } catch (py::error_already_set&) {
      // Nothing to do: a manager that will not stop is reaped when the process exits.
    }
  }
  py::object& get() { return manager_; }

 private:
  py::object manager_;
};

py::object boiler_plate_for_get_historical_data(py::object self, const char* binance_interval,
                                                py::object cryptocurrencies, py::object start,
                                                py::object end, py::object n_jobs) {
  py::object start_str = start.attr("strftime")("%d %b, %Y");
  py::object end_str = end.attr("strftime")("%d %b, %Y");
  py::module_ pd = pandas();
  py::module_ joblib = py::module_::import("joblib");
  py::object logger = vb::shared_logger();

  py::list frames;
  {
    ManagerScope manager;
    py::dict empty_frames;
    for (py::handle symbol : cryptocurrencies) empty_frames[symbol] = pd.attr("DataFrame")();
    py::object shared = manager.get().attr("dict")(empty_frames);

    py::object delayed_job = joblib.attr("delayed")(this_module().attr("_run_download_job"));
    py::object settings = py::cast(current_settings());
    TravellingFeed travelling;
    travelling.feed = self;
    travelling.download_token = py::module_::import("uuid").attr("uuid4")().attr("hex");
    py::object carrier = py::cast(std::move(travelling));
    py::list jobs;
    const auto n_symbols = static_cast<py::ssize_t>(py::len(cryptocurrencies));
    for (py::ssize_t index = 0; index < n_symbols; ++index) {
      jobs.append(delayed_job(settings, carrier, shared, cryptocurrencies, index, binance_interval,
                              start_str, end_str));
    }

    logger.attr("info")(vb::banner("BEGINNING BINANCE DOWNLOAD"));
    joblib.attr("Parallel")(py::arg("n_jobs") = n_jobs)(jobs);
    logger.attr("info")(vb::banner("COMPLETED BINANCE DOWNLOAD"));

    py::dict downloaded(shared.attr("copy")());
    for (auto item : downloaded) {
      if (!item.second.attr("empty").cast<bool>()) frames.append(item.second);
    }
  }

  if (frames.empty()) {
    vb::raise_type_error(
        "No kline data was downloaded: every requested symbol failed or had no klines in the "
        "date range");
  }
  py::object joined = frames[0];
  py::list on;
  on.append("datetime");
  for (std::size_t i = 1; i < frames.size(); ++i) {
    joined = pd.attr("merge")(joined, frames[i], py::arg("on") = on, py::arg("how") = "outer");
  }
  return clean_cryptocurrency_df(joined, binance_interval);
}

// ---------------------------------------------------------------- top coins

py::list scrape_top_x_coins_from_coingecko(py::object, std::int64_t x_limit) {
  const std::vector<std::string> stable_coins = {"USDT", "USDC", "BUSD", "DAI", "UST", "TUSD"};
  py::object soup = vb::fetch_page_document(this_module(), setting("COINGECKO_URL"));

  auto first = [](py::object elements, const char* what) -> py::object {
    if (py::len(elements) == 0) {
      PyErr_SetString(PyExc_IndexError,
                      ("Coin ranking page: no " + std::string(what) + " where a coin row needs one")
                          .c_str());
      throw py::error_already_set();
    }
    return elements[py::int_(0)];
  };

  py::object table_body = first(soup.attr("find_all")("tbody"), "table body");
  std::vector<std::string> tickers;
  for (py::handle row : table_body.attr("find_all")("tr")) {
    py::object cells = row.attr("find_all")("td");
    if (py::len(cells) < 5) {
      PyErr_SetString(PyExc_IndexError, "Coin ranking page: a coin row has fewer than five cells");
      throw py::error_already_set();
    }
    py::object span = first(cells[py::int_(4)].attr("find_all")("span"), "span element");
    // The symbol is the attribute's value, on the span itself or the first element inside it.
    py::object carrier = span;
    if (!span.attr("has_attr")("data-coin-symbol").cast<bool>()) {
      py::dict wanted;
      wanted["data-coin-symbol"] = true;
      carrier = span.attr("find")(py::arg("attrs") = wanted);
      if (carrier.is_none()) {
        PyErr_SetString(PyExc_IndexError,
                        "Coin ranking page: a coin row carries no data-coin-symbol attribute");
        throw py::error_already_set();
      }
    }
    std::string symbol = py::str(carrier.attr("get")("data-coin-symbol")).cast<std::string>();
    symbol = symbol.substr(0, symbol.find(' '));
    symbol.erase(std::remove(symbol.begin(), symbol.end(), '"'), symbol.end());
    symbol = py::str(py::str(symbol).attr("upper")()).cast<std::string>();
    if (std::find(stable_coins.begin(), stable_coins.end(), symbol) != stable_coins.end()) continue;
    tickers.push_back(symbol + "USDT");
  }

  // The host's slice rule for result[:x_limit]: a negative count drops from the end.
  const auto n = static_cast<std::int64_t>(tickers.size());
  const std::int64_t stop = x_limit >= 0 ? std::min(x_limit, n) : std::max<std::int64_t>(n + x_limit, 0);
  py::list limited_to_top_x_tickers;
  for (std::int64_t i = 0; i < stop; ++i) limited_to_top_x_tickers.append(tickers[static_cast<std::size_t>(i)]);
  return limited_to_top_x_tickers;
}

const char* const kDownloadDoc = R"doc(
Downloads the %s klines of a list of trading pairs and cleans them into one OHCLV_dataframe.

One job per symbol runs in joblib worker processes; each downloads and cleans its symbol and
leaves the frame in a shared Manager dictionary. A symbol whose download fails is logged with
a warning and left out.

Klines are asked for a page at a time and held to the dates asked for: klines outside them,
or repeated, are dropped; a symbol's download ends when the answers stop advancing in time or
pass the end, and fails when the exchange sends more klines than the dates hold or rows that
are no klines.

Args:
    cryptocurrencies (list): exchange symbols, such as "BTCUSDT"; their order is the order of
        the securities in the result.
    start (datetime.datetime): first day of the download (only the date is used).
    end (datetime.datetime): last day of the download (only the date is used); the default is
        the moment the module was imported.
    n_jobs (int): number of worker processes, handed to joblib.Parallel (-1: all cores).

Returns:
    pandas.DataFrame: %s bars, five float64 columns per symbol (symbol + "_open", "_high",
    "_low", "_close", "_volume"), indexed by UTC open times named "datetime". Raises TypeError
    when no symbol could be downloaded.
)doc";

std::string download_doc(const char* bar, const char* bars) {
  std::string doc(kDownloadDoc);
  doc.replace(doc.find("%s"), 2, bar);
  doc.replace(doc.find("%s"), 2, bars);
  return doc;
}

}  // namespace

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) {
  m.doc() = "Crypto feed: exchange klines of many pairs as one OHCLV_dataframe, and the top coins.";

  py::object logger = vb::setup_module_logging();
  m.attr("logger") = logger;
  // Fail at import, not in the middle of a download, when a dependency is missing.
  for (const char* dependency : {"pandas", "joblib"}) {
    py::module_::import(dependency);
  }
  m.attr("Client") = py::module_::import("binance.client").attr("Client");
  // The names the top-coins scrape goes through, as in the equity feed.
  m.attr("requests") = py::module_::import("requests");
  m.attr("bs") = py::module_::import("bs4");

  // Remote addresses and page-fetch manners, read at every call.
  m.attr("BINANCE_API_URL") = "https://api.binance.com/api";
  m.attr("COINGECKO_URL") = "https://www.coingecko.com/";
  vb::add_page_settings(m);

  py::module_ datetime = py::module_::import("datetime");
  py::object default_start = datetime.attr("datetime")(1995, 5, 22);
  py::object default_end = datetime.attr("datetime").attr("now")();

  py::class_<FeedSettings> settings_cls(m, "_FeedSettings", vb::gc_type_setup<FeedSettings>(),
                                        "The module settings in force where a download started.");
  m.def("_restore_feed_settings", &restore_settings, py::arg("values"),
        "Puts the given module settings in force and returns their carrier.");
  settings_cls.def("__reduce__", [](const FeedSettings& s) {
    return py::make_tuple(this_module().attr("_restore_feed_settings"), py::make_tuple(s.values));
  });
  py::class_<TravellingFeed>(m, "_TravellingFeed", vb::gc_type_setup<TravellingFeed>(),
                             "A download's feed on its way to a worker process.")
      .def("__reduce__", &reduce_travelling_feed);
  m.def(
      "_feed_for_worker",
      [](py::object rebuild, py::object rebuild_args, py::object download_token) {
        return TravellingFeed{py::none(), std::move(rebuild), std::move(rebuild_args),
                              std::move(download_token)};
      },
      py::arg("rebuild"), py::arg("rebuild_args"), py::arg("download_token"),
      "The carrier of a feed that a worker builds for itself when a job first needs it.");
  // This worker's feed of the current download, as (download token, feed); None before one.
  m.attr("_worker_feed") = py::none();
  m.def("_run_download_job", &run_download_job,
        "Runs a feed's download job by its method name (an override in a subclass is used), "
        "in a worker on the feed the worker built for the download.");

  py::class_<Coinfeed> cls(m, "Coinfeed", vb::gc_type_setup<Coinfeed>(), R"doc(
A connection to the exchange's market data: kline downloads and the top-coins list.

Holds the API key and secret it was made with and a python-binance Client. Pickles to
velmora.utils.pickling.rebuilds.rebuild_coinfeed with the key and the secret, so a copy in a
worker process makes its own client (a subclass travels as a plain Coinfeed).
)doc");

  // Methods in the order of the class's table.
  cls.def("scrape_top_x_coins_from_coingecko", &scrape_top_x_coins_from_coingecko,
          py::arg("x_limit") = 30, R"doc(
Lists the largest coins by market capitalisation as exchange pairs quoted in USDT.

Fetches the coin-ranking page (the module setting COINGECKO_URL), reads each row's coin
symbol in page order and leaves out the stable coins USDT, USDC, BUSD, DAI, UST and TUSD.

Args:
    x_limit (int): how many symbols to return, counted after the stable coins are left out
        (slice rule: a negative count drops that many from the end).

Returns:
    list: symbols such as "BTCUSDT", in page order. A malformed page raises IndexError; a
    page not read whole within PAGE_TIMEOUT seconds raises requests' Timeout, one larger than
    PAGE_MAX_BYTES, or too large to parse (many times the size or the elements of a real
    ranking page), requests' RequestException.
)doc");

  cls.def(
      "get_daily_historical_data_for_cryptocurrencies",
      [](py::object self, py::object cryptocurrencies, py::object start, py::object end,
         py::object n_jobs) {
        return boiler_plate_for_get_historical_data(self, "1d", cryptocurrencies, start, end,
                                                    n_jobs);
      },
      py::arg("cryptocurrencies") = py::list(), py::arg("start") = default_start,
      py::arg("end") = default_end, py::arg("n_jobs") = -1,
      download_doc("daily", "Daily").c_str());

  cls.def(
      "get_minute_historical_data_for_cryptocurrencies",
      [](py::object self, py::object cryptocurrencies, py::object start, py::object end,
         py::object n_jobs) {
        return boiler_plate_for_get_historical_data(self, "1m", cryptocurrencies, start, end,
                                                    n_jobs);
      },
      py::arg("cryptocurrencies") = py::list(), py::arg("start") = default_start,
      py::arg("end") = default_end, py::arg("n_jobs") = -1,
      download_doc("one-minute", "Minute").c_str());

  cls.def(kJobMethod, &single_job, py::arg("cryptocurrencies_dict"), py::arg("cryptocurrencies"),
          py::arg("index"), py::arg("binance_interval"), py::arg("start_str"), py::arg("end_str"),
          R"doc(
Downloads and cleans one symbol of a download into the shared dictionary.

Args:
    cryptocurrencies_dict (dict): the download's shared dictionary, symbol -> frame.
    cryptocurrencies (list): the download's symbols.
    index (int): position of this job's symbol in cryptocurrencies.
    binance_interval (str): "1d" or "1m".
    start_str (str): first day, as "%d %b, %Y".
    end_str (str): last day, as "%d %b, %Y".

Returns:
    None. A failure of the symbol's download or cleaning is logged as a warning and leaves
    its entry as it was.
)doc");

  cls.def("initialize_binance_client", &initialize_binance_client, R"doc(
Makes a new exchange client from the key and the secret and keeps it in binance_client.

The client talks to the module setting BINANCE_API_URL and pings it once here; its errors
pass to the caller. Every request the client sends, this ping included, is bounded as a page
fetch is: PAGE_TIMEOUT seconds for the whole answer (requests' Timeout past it) and
PAGE_MAX_BYTES for its size (requests' RequestException), as the settings are at the request.

Returns:
    None.
)doc");

  cls.def("__reduce__", &reduce_coinfeed);

  py::object property = py::module_::import("builtins").attr("property");
  cls.attr("binance_client") = property(
      py::cpp_function([](const Coinfeed& feed) { return feed.binance_client; }),
      py::cpp_function([](Coinfeed& feed, py::object client) { feed.binance_client = client; }),
      py::cpp_function([](Coinfeed& feed) { feed.binance_client = py::none(); }),
      "The python-binance Client of this feed (any object may be set; del sets None).");

  // The constructor stores the key and the secret, then calls initialize_binance_client by
  // name on the instance, so a subclass's override makes the client. pybind11's own
  // constructor cannot see the Python instance, hence this wrapper around it. The wrapper is
  // an ordinary method installed as __init__ (named after the class, since a function named
  // "__init__" would be taken for an old-style placement constructor).
  cls.def(py::init([](py::object key, py::object secret) {
            Coinfeed feed;
            feed.binance_api_key = std::move(key);
            feed.binance_api_secret = std::move(secret);
            return feed;
          }),
          py::arg("binance_api_key"), py::arg("binance_api_secret"));
  py::object construct = cls.attr("__init__");
  cls.attr("__init__") = py::cpp_function(
      [construct](py::object self, py::object binance_api_key, py::object binance_api_secret) {
        construct(self, binance_api_key, binance_api_secret);
        self.attr("initialize_binance_client")();
      },
      py::name("Coinfeed"), py::is_method(cls), py::arg("binance_api_key"),
      py::arg("binance_api_secret"),
      "Stores the API key and secret and makes the exchange client (initialize_binance_client).");
}

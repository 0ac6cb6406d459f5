#pragma once
// What the two market-data feeds share: fetching a web page with a client name, a deadline
// and a size ceiling, and the rule by which their cleaning keeps a security whole or drops it whole.

#include "common/common.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace velmora::bind {

// The module settings behind every page fetch; each feed module holds its own set, read at
// every call. Sites that serve automated clients ask them to say who they are; a stalled or
// misbehaving server must not hang a research script or fill its memory, so a fetch has a
// deadline for the whole page (not for each read of it) and a ceiling on the page's size.
inline constexpr const char* kUserAgentSetting = "USER_AGENT";
inline constexpr const char* kPageTimeoutSetting = "PAGE_TIMEOUT";
inline constexpr const char* kPageMaxBytesSetting = "PAGE_MAX_BYTES";

// Far above any page the feeds read (the largest article is about 1 MB), far below trouble.
inline constexpr std::int64_t kDefaultPageMaxBytes = std::int64_t{32} << 20;

inline void add_page_settings(py::module_& m) {
  m.attr(kUserAgentSetting) = "velmora/0.1 (research client; +https://pypi.org/project/velmora/)";
  m.attr(kPageTimeoutSetting) = 30.0;
  m.attr(kPageMaxBytesSetting) = kDefaultPageMaxBytes;
}

struct PageLimits {
  double seconds;
  std::int64_t max_bytes;
};

// The bounds in force at this moment, refused plainly when they bound nothing.
inline PageLimits page_limits(const py::module_& settings) {
  auto refuse = [](const char* name, py::handle value, const char* what) {
    PyErr_SetString(PyExc_ValueError, (std::string(name) + " must be " + what + ", not " +
                                       py::repr(value).cast<std::string>())
                                          .c_str());
    throw py::error_already_set();
  };
  py::object seconds = settings.attr(kPageTimeoutSetting);
  py::object max_bytes = settings.attr(kPageMaxBytesSetting);
  const bool real = !PyBool_Check(seconds.ptr()) &&
                    (PyLong_Check(seconds.ptr()) || PyFloat_Check(seconds.ptr()));
  const double s = real ? seconds.cast<double>() : 0.0;
  if (!real || !std::isfinite(s) || s <= 0.0) {
    refuse(kPageTimeoutSetting, seconds, "a positive finite number of seconds");
  }
  const bool whole = !PyBool_Check(max_bytes.ptr()) && PyLong_Check(max_bytes.ptr());
  if (!whole || max_bytes.cast<py::int_>() <= py::int_(0) ||
      max_bytes.cast<py::int_>() > py::int_(std::numeric_limits<std::int64_t>::max())) {
    refuse(kPageMaxBytesSetting, max_bytes, "a positive whole number of bytes");
  }
  return {s, max_bytes.cast<std::int64_t>()};
}

namespace detail {

// What a helper thread hands back to the call that started it. Both sides touch it only
// while they hold the GIL; `abandoned` tells the helper that nobody waits any more.
struct HelperCall {
  py::object done;  // threading.Event, set when the helper has ended
  std::shared_ptr<std::atomic<bool>> abandoned = std::make_shared<std::atomic<bool>>(false);
  py::object result = py::none();
  std::exception_ptr error;
};

// Reads at most what is there at each step, so that a trickling server cannot keep a reader
// inside one large read long after the call has given up on it.
inline constexpr py::ssize_t kReadChunk = 64 * 1024;

[[noreturn]] inline void raise_requests_error(const char* name, const std::string& message) {
  py::object error = py::module_::import("requests").attr("exceptions").attr(name);
  PyErr_SetString(error.ptr(), message.c_str());
  throw py::error_already_set();
}

inline void close_quietly(const py::object& closable) {
  py::error_scope keep_pending_error;
  try {
    closable.attr("close")();
  } catch (py::error_already_set&) {
    // A connection that will not close is dropped with its response.
  }
}

}  // namespace detail

// Runs `work` on a helper thread and waits for its result at most `seconds`; past that,
// raises requests' Timeout, "<what> was not read within PAGE_TIMEOUT (<seconds> s)". A
// server that trickles its headers or body keeps each single read short, so no per-read
// time-out can bound a whole answer; this bounds it for the caller. `work` is handed the
// flag that is raised when the caller has given up (or was interrupted), so that it stops
// at its next read; it runs with the GIL like any host thread.
inline py::object within_page_timeout(
    double seconds, const std::string& what,
    std::function<py::object(const std::shared_ptr<std::atomic<bool>>&)> work) {
  py::module_ threading = py::module_::import("threading");
  auto call = std::make_shared<detail::HelperCall>();
  call->done = threading.attr("Event")();
  py::object helper = threading.attr("Thread")(
      py::arg("target") = py::cpp_function([call, work = std::move(work)]() {
        try {
          call->result = work(call->abandoned);
        } catch (py::error_already_set&) {
          call->error = std::current_exception();
        } catch (const std::exception&) {
          call->error = std::current_exception();
        }
        call->done.attr("set")();
      }),
      py::arg("name") = "velmora page fetch", py::arg("daemon") = true);
  struct GiveUp {  // on every way out, Ctrl-C included
    detail::HelperCall& call;
    ~GiveUp() { call.abandoned->store(true); }
  } give_up{*call};

  helper.attr("start")();
  if (!call->done.attr("wait")(seconds).cast<bool>()) {
    std::ostringstream message;
    message << what << " was not read within PAGE_TIMEOUT (" << seconds << " s)";
    detail::raise_requests_error("Timeout", message.str());
  }
  if (call->error) std::rethrow_exception(call->error);
  return call->result;
}

// A requests response hook that reads the whole body at once, at most `max_bytes` of it
// (decoded), and leaves it with the response, which then serves it as any response does
// (`content`, `text`, `json()`). Past the ceiling it raises requests' RequestException,
// "<what> is larger than PAGE_MAX_BYTES (<max_bytes> bytes)". Used with `stream=True`, so
// that the body is still unread when the hook sees it.
inline py::cpp_function bounded_body_hook(std::int64_t max_bytes, std::string what,
                                          std::shared_ptr<std::atomic<bool>> abandoned) {
  return py::cpp_function([max_bytes, what = std::move(what), abandoned](py::object response,
                                                                         py::args, py::kwargs) {
    auto too_large = [&]() {
      detail::raise_requests_error(
          "RequestException",
          what + " is larger than PAGE_MAX_BYTES (" + std::to_string(max_bytes) + " bytes)");
    };
    py::object raw = response.attr("raw");
    try {
      py::object declared = response.attr("headers").attr("get")("Content-Length");
      if (!declared.is_none()) {
        const std::string text = py::str(declared).cast<std::string>();
        char* end = nullptr;
        const long long length = std::strtoll(text.c_str(), &end, 10);
        if (end != text.c_str() && *end == '\0' && length > max_bytes) too_large();
      }
      py::object read_some = py::hasattr(raw, "read1") ? raw.attr("read1") : raw.attr("read");
      py::list chunks;
      std::int64_t size = 0;
      for (;;) {
        if (abandoned->load()) {
          detail::raise_requests_error("Timeout", what + " was given up on");
        }
        py::object chunk = read_some(detail::kReadChunk, py::arg("decode_content") = true);
        if (chunk.is_none() || py::len(chunk) == 0) break;
        size += static_cast<std::int64_t>(py::len(chunk));
        if (size > max_bytes) too_large();
        chunks.append(chunk);
      }
      // The body read whole: the connection can serve the next request.
      raw.attr("release_conn")();
      response.attr("raw") =
          py::module_::import("io").attr("BytesIO")(py::bytes("").attr("join")(chunks));
    } catch (py::error_already_set&) {
      detail::close_quietly(raw);  // half read: never reused
      throw;
    }
    return response;
  });
}

// The page at `url`, parsed with lxml, fetched with the client name and bounds that
// `settings` holds at this moment. The HTTP status is not judged: an error page parses like
// any other and fails where the caller looks for what it needs. A page not read whole
// within PAGE_TIMEOUT seconds (connecting and headers included) raises requests' Timeout;
// one of more than PAGE_MAX_BYTES bytes raises requests' RequestException.
inline py::object fetch_page_document(const py::module_& settings, py::handle url) {
  const PageLimits limits = page_limits(settings);
  py::dict headers;
  headers["User-Agent"] = settings.attr(kUserAgentSetting);
  py::object address = py::reinterpret_borrow<py::object>(url);
  const std::string what = "The page at " + py::str(url).cast<std::string>();
  py::object response = within_page_timeout(
      limits.seconds, what, [address, headers, limits, what](const auto& abandoned) {
        py::dict hooks;
        hooks["response"] = bounded_body_hook(limits.max_bytes, what, abandoned);
        return py::module_::import("requests").attr("get")(
            address, py::arg("headers") = headers, py::arg("timeout") = limits.seconds,
            py::arg("stream") = true, py::arg("hooks") = hooks);
      });
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

#pragma once
// What the two market-data feeds share: fetching a web page (or any request of a client's
// session) with a client name, a deadline and a size ceiling, parsing a page only when its
// size allows it, and the rule by which their cleaning keeps a security whole or drops it whole.

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
// The name of the helper thread that reads a bounded answer.
inline constexpr const char* kPageReaderName = "velmora page fetch";

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
      py::arg("name") = kPageReaderName, py::arg("daemon") = true);
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

// Marks a requests session whose every request already carries the page bounds.
inline constexpr const char* kBoundedSessionMark = "_velmora_page_bounds";

inline bool has_page_bounds(py::handle session) {
  py::object marks = py::getattr(session, "__dict__", py::none());
  return PyDict_Check(marks.ptr()) && py::cast<py::dict>(marks).contains(kBoundedSessionMark);
}

// Puts the page bounds on every request that `session` sends, whoever sends it: the bounds
// of the module `settings_module` at the moment of the request, PAGE_TIMEOUT for the whole
// answer and PAGE_MAX_BYTES for its size, as for a page fetch. A client library that talks
// through the session (its construction's own request included) then cannot be held by a
// trickling server or filled by an endless answer. Past a bound a request raises requests'
// Timeout or RequestException, "<what_prefix><url> ...". Installing twice changes nothing.
inline void bound_session_requests(py::object session, std::string settings_module,
                                   std::string what_prefix) {
  if (has_page_bounds(session)) return;
  // The session holds this function: a weak reference back keeps them from holding each
  // other for good, and the class's own method is the one that sends.
  py::object session_ref = py::module_::import("weakref").attr("ref")(session);
  py::cpp_function bounded(
      [session_ref, settings_module = std::move(settings_module),
       what_prefix = std::move(what_prefix)](py::object method, py::object url, py::args args,
                                             py::kwargs kwargs) -> py::object {
        py::object owner = session_ref();
        if (owner.is_none()) {
          PyErr_SetString(PyExc_RuntimeError, "the session of this request is gone");
          throw py::error_already_set();
        }
        py::object send = py::type::of(owner).attr("request");
        // A request sent from a page reader is inside the bounds of the call that started
        // the reader, which hands it its own body hook (a page of klines): bounded once.
        py::object current = py::module_::import("threading").attr("current_thread")();
        if (py::str(current.attr("name")).cast<std::string>() == kPageReaderName) {
          return send(owner, method, url, *args, **kwargs);
        }
        const PageLimits limits = page_limits(py::module_::import(settings_module.c_str()));
        const std::string what = what_prefix + py::str(url).cast<std::string>();
        py::dict options(kwargs);
        return within_page_timeout(
            limits.seconds, what,
            // By value: a helper that is given up on may outlive this call.
            [send, owner, method, url, args, options, limits, what](const auto& abandoned) {
              py::dict sent = options.attr("copy")();
              py::dict hooks;  // the caller's own, copied: theirs stay as they were
              if (sent.contains("hooks") && !py::object(sent["hooks"]).is_none()) {
                hooks = py::module_::import("builtins").attr("dict")(sent["hooks"]);
              }
              py::list on_response;
              on_response.append(bounded_body_hook(limits.max_bytes, what, abandoned));
              if (hooks.contains("response")) {
                py::object theirs = hooks["response"];
                if (py::hasattr(theirs, "__call__")) {
                  on_response.append(theirs);
                } else {
                  for (py::handle hook : theirs) on_response.append(hook);
                }
              }
              hooks["response"] = on_response;
              sent["hooks"] = hooks;
              sent["stream"] = true;
              // A per-read limit longer than the whole answer's would never be the one met.
              sent["timeout"] = limits.seconds;
              return send(owner, method, url, *args, **sent);
            });
      },
      py::name("request"));
  session.attr("request") = bounded;
  session.attr(kBoundedSessionMark) = true;
}

// What parsing a page may cost. A parsed document costs far more than its text, in time
// and in memory, and most of all per element: a page of a few megabytes of empty tags
// would take minutes and gigabytes to build. The real pages are about 1 MB with fewer than
// 15 000 elements; these bounds leave room for pages several times as large.
inline constexpr std::int64_t kParseMaxBytes = std::int64_t{8} << 20;
inline constexpr std::int64_t kParseMaxElements = 200'000;

// The start tags of `text` ("<" before a letter), each of which the parser makes an element
// of: a bound on the document's size counted before the parser builds anything.
inline std::int64_t start_tags_in(const py::str& text) {
  PyObject* s = text.ptr();
  const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  std::int64_t tags = 0;
  for (Py_ssize_t i = 0; i + 1 < length; ++i) {
    if (PyUnicode_READ(kind, data, i) != '<') continue;
    const Py_UCS4 next = PyUnicode_READ(kind, data, i + 1);
    if ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z')) ++tags;
  }
  return tags;
}

// The text of a page read whole, refused when it would cost too much to parse as a fetch
// past a bound is refused: requests' RequestException, naming the page, what it holds and
// the bound. The size is judged first, before the text is decoded (which may guess its
// encoding from the whole body).
inline py::str text_within_parse_bounds(const std::string& what, const py::object& response) {
  const auto size = static_cast<std::int64_t>(py::len(response.attr("content")));
  if (size > kParseMaxBytes) {
    detail::raise_requests_error(
        "RequestException", what + " is too large to parse: " + std::to_string(size) +
                                " bytes, where at most " + std::to_string(kParseMaxBytes) +
                                " are parsed");
  }
  py::str text = response.attr("text");
  const std::int64_t tags = start_tags_in(text);
  if (tags > kParseMaxElements) {
    detail::raise_requests_error(
        "RequestException", what + " is too large to parse: " + std::to_string(tags) +
                                " elements, where at most " + std::to_string(kParseMaxElements) +
                                " are parsed");
  }
  return text;
}

// The page at `url`, parsed with lxml, fetched with the client name and bounds that
// `settings` holds at this moment. The HTTP status is not judged: an error page parses like
// any other and fails where the caller looks for what it needs. A page not read whole
// within PAGE_TIMEOUT seconds (connecting and headers included) raises requests' Timeout;
// one of more than PAGE_MAX_BYTES bytes, or one too large to parse (text_within_parse_bounds),
// raises requests' RequestException.
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
  py::str text = text_within_parse_bounds(what, response);
  return py::module_::import("bs4").attr("BeautifulSoup")(text, "lxml");
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

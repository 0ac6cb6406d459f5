#pragma once
// The last word of a search stopped by Ctrl-C. KeyboardInterrupt keeps propagating (the
// search must stop), but on its own it ends in joblib's traceback, which says nothing of
// the study: whether the trials are lost, whether a rerun starts over.

#include "common/common.hpp"

#include <exception>
#include <string>
#include <utility>

namespace velmora::bind {

// Declared before the search's SearchClaim, so that it speaks after the claim has failed the
// trials the search was running (locals end in reverse order).
class InterruptedSearchNote {
 public:
  explicit InterruptedSearchNote(std::string line) : line_(std::move(line)) {}
  InterruptedSearchNote(const InterruptedSearchNote&) = delete;
  InterruptedSearchNote& operator=(const InterruptedSearchNote&) = delete;

  // Runs a piece of the search, noting a Ctrl-C that ends it.
  template <class Fn>
  void run(Fn&& piece) {
    try {
      std::forward<Fn>(piece)();
    } catch (pybind11::error_already_set& e) {
      if (e.matches(PyExc_KeyboardInterrupt)) interrupted_ = true;
      throw;
    }
  }

  ~InterruptedSearchNote() {
    if (!interrupted_) return;
    pybind11::error_scope keep_pending_error;
    try {
      shared_logger().attr("warning")(line_);
    } catch (const std::exception&) {
      // A second Ctrl-C while logging: the search stops all the same.
    }
  }

 private:
  std::string line_;
  bool interrupted_ = false;
};

}  // namespace velmora::bind

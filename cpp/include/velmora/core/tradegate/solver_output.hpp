#pragma once
// What a compiled solver prints to the process's standard error on its own, past every
// logging and warnings filter (liblinear writes "WARNING: class label 1 specified in weight is
// not found" with fprintf when a fit's weights leave out a class). A capture takes over file
// descriptor 2 for the length of one fit, keeps the solver's own warning lines, and writes
// everything else it caught back to the standard error it replaced, so no other text is lost.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::core {

// Whether `line` (without its line break) is one of the warnings the solvers print.
bool is_solver_warning_line(std::string_view line);

// Distinct texts in the order they first came, each with its count.
class SolverWarnings {
 public:
  void add(std::string text, std::size_t count = 1);
  void add_all(const SolverWarnings& other);
  std::size_t total() const { return total_; }
  const std::vector<std::pair<std::string, std::size_t>>& counts() const { return counts_; }

 private:
  std::size_t total_ = 0;
  std::vector<std::pair<std::string, std::size_t>> counts_;
};

// Splits captured output: solver warning lines are counted into `warnings`; every other byte
// is handed to `pass_on` in its order (whole lines, and a last line without a line break).
// Feed it chunk by chunk; call finish() at the end.
class SolverOutputSplitter {
 public:
  template <class PassOn>
  void feed(std::string_view chunk, SolverWarnings& warnings, PassOn&& pass_on);
  template <class PassOn>
  void finish(SolverWarnings& warnings, PassOn&& pass_on);

 private:
  // A line longer than this is no solver warning: it is passed on in pieces rather than held.
  static constexpr std::size_t kLongestHeldLine = 4096;
  std::string pending_;
  bool pending_is_long_ = false;
};

// Takes over file descriptor 2 until finish() or destruction. Where no temporary file can be
// made (or on a platform without descriptors), nothing is captured and nothing changes.
// Not reentrant, and one per process at a time: callers serialise captures.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Gives file descriptor 2 back, writes back what was not the solver's, and returns the
  // solver's warnings. Later calls return nothing.
  SolverWarnings finish();

 private:
  int saved_ = -1;    // the descriptor that was 2 before
  int capture_ = -1;  // the temporary file's descriptor
  void* file_ = nullptr;
};

template <class PassOn>
void SolverOutputSplitter::feed(std::string_view chunk, SolverWarnings& warnings, PassOn&& pass_on) {
  while (!chunk.empty()) {
    const std::size_t end = chunk.find('\n');
    const std::string_view piece = chunk.substr(0, end == std::string_view::npos ? chunk.size() : end);
    if (end == std::string_view::npos) {
      if (pending_is_long_ || pending_.size() + piece.size() > kLongestHeldLine) {
        pass_on(std::string_view(pending_));
        pass_on(piece);
        pending_.clear();
        pending_is_long_ = true;
      } else {
        pending_.append(piece);
      }
      return;
    }
    if (pending_is_long_) {
      pass_on(piece);
      pass_on(std::string_view("\n"));
    } else {
      pending_.append(piece);
      if (is_solver_warning_line(pending_)) {
        warnings.add(pending_);
      } else {
        pending_.push_back('\n');
        pass_on(std::string_view(pending_));
      }
    }
    pending_.clear();
    pending_is_long_ = false;
    chunk.remove_prefix(end + 1);
  }
}

template <class PassOn>
void SolverOutputSplitter::finish(SolverWarnings& warnings, PassOn&& pass_on) {
  if (!pending_.empty()) {
    if (!pending_is_long_ && is_solver_warning_line(pending_)) {
      warnings.add(pending_);
    } else {
      pass_on(std::string_view(pending_));
    }
  }
  pending_.clear();
  pending_is_long_ = false;
}

}  // namespace velmora::core

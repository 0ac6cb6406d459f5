#include "velmora/core/tradegate/solver_output.hpp"

#include <array>
#include <cerrno>
#include <cstdio>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace velmora::core {

namespace {

bool all_digits(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool is_solver_warning_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  // liblinear's train(), as scikit-learn builds it.
  constexpr std::string_view kHead = "WARNING: class label ";
  constexpr std::string_view kTail = " specified in weight is not found";
  if (line.size() > kHead.size() + kTail.size() && line.substr(0, kHead.size()) == kHead &&
      line.substr(line.size() - kTail.size()) == kTail) {
    return all_digits(line.substr(kHead.size(), line.size() - kHead.size() - kTail.size()));
  }
  return false;
}

void SolverWarnings::add(std::string text, std::size_t count) {
  total_ += count;
  for (auto& [known, n] : counts_) {
    if (known == text) {
      n += count;
      return;
    }
  }
  counts_.emplace_back(std::move(text), count);
}

void SolverWarnings::add_all(const SolverWarnings& other) {
  for (const auto& [text, n] : other.counts_) add(text, n);
}

#if defined(_WIN32)

StderrCapture::StderrCapture() = default;
StderrCapture::~StderrCapture() = default;
SolverWarnings StderrCapture::finish() { return {}; }

#else

namespace {

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // the caller's standard error is gone: nothing more can be told there
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return;
  const int saved = ::dup(2);
  if (saved < 0) {
    std::fclose(file);
    return;
  }
  if (::dup2(::fileno(file), 2) < 0) {
    ::close(saved);
    std::fclose(file);
    return;
  }
  file_ = file;
  saved_ = saved;
  capture_ = ::fileno(file);
}

StderrCapture::~StderrCapture() { finish(); }

SolverWarnings StderrCapture::finish() {
  SolverWarnings warnings;
  if (file_ == nullptr) return warnings;
  std::fflush(stderr);
  ::dup2(saved_, 2);
  ::close(saved_);
  saved_ = -1;
  // Read back from the start; the rest of the caller's output goes to the restored fd 2.
  auto pass_on = [](std::string_view bytes) { write_all(2, bytes); };
  SolverOutputSplitter splitter;
  std::array<char, 65536> buffer;
  off_t offset = 0;
  for (;;) {
    const ssize_t got = ::pread(capture_, buffer.data(), buffer.size(), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    offset += got;
    splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)), warnings, pass_on);
  }
  splitter.finish(warnings, pass_on);
  std::fclose(static_cast<std::FILE*>(file_));
  file_ = nullptr;
  capture_ = -1;
  return warnings;
}

#endif

}  // namespace velmora::core

#pragma once
// Synthetic bar series of a window of a wide bar matrix: a pair's hedge-ratio spread and the
// least-variance eigen-portfolio of the window's other securities.
//
// Open, high, low and close of both are combinations of log prices; volume is traded value
// expressed in units of the synthetic price. Non-finite values are never guarded against:
// they travel into the bars as IEEE arithmetic makes them.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/core/matrix.hpp"

namespace velmora::core {

// A window of the wide bar matrix: rows are bars, columns the frame's columns.
using WindowView = MatrixView;

// Column positions of one security's five fields.
struct BarColumns {
  std::ptrdiff_t open = 0, high = 0, low = 0, close = 0, volume = 0;
};

// Caller-owned output series, one element per window row each.
struct BarOutputs {
  double* open;
  double* high;
  double* low;
  double* close;
  double* volume;
};

// True when every element of `x` is NaN (or there is none): a series without a single observation.
bool all_nan(const double* x, std::ptrdiff_t n);

// The left-most position of `label` among `labels`, or nothing.
std::optional<std::ptrdiff_t> find_column(const std::vector<std::string>& labels, std::string_view label);

// The names of the "_close" labels (suffix at the end of the label), in label order, leaving
// out the pair's two names; repeated names are kept.
std::vector<std::string> other_securities(const std::vector<std::string>& labels, std::string_view first,
                                          std::string_view second);

// Column `col` of the window, or its natural logarithm.
void window_column(const WindowView& w, std::ptrdiff_t col, bool log_transform, double* out);

// Spread bars: field = log(field_1) * h1 + log(field_2) * h2 for open, high, low and close;
// volume = (v1 * exp(log c1) + v2 * exp(log c2)) / |spread close|.
void spread_bars(const WindowView& w, const BarColumns& leg1, const BarColumns& leg2, double h1, double h2,
                 const BarOutputs& out);

// np.cov of the securities' log closes (one variable per security, rows as observations,
// divisor rows - 1), row-major k x k.
std::vector<double> log_close_covariance(const WindowView& w, const std::vector<BarColumns>& securities);

// The least-variance eigen-portfolio scaled to unit variance under `covariance` (row-major
// k x k): v_min / sqrt(lambda_min). The sign makes the largest-magnitude weight positive, so
// the composite does not flip between windows or with the order of the securities.
// All NaN when the covariance is not finite or has a zero eigenvalue above the smallest, or a
// negative smallest one; infinite or NaN elements when the smallest eigenvalue is exactly 0.
std::vector<double> least_variance_weights(const std::vector<double>& covariance, std::ptrdiff_t k);

// The all-others bars of `securities` into `out`; returns the weights used. Without any
// security every bar is NaN; a non-finite log close gives NaN weights and NaN bars.
std::vector<double> all_others_bars(const WindowView& w, const std::vector<BarColumns>& securities,
                                    const BarOutputs& out);

}  // namespace velmora::core

#include "velmora/core/signals/bars.hpp"

#include <cmath>
#include <limits>

#include "velmora/core/labels.hpp"
#include "velmora/core/numeric.hpp"
#include "velmora/core/signals/eigen.hpp"

namespace velmora::core {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool all_finite(const std::vector<double>& x) {
  for (double v : x) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}
}  // namespace

bool all_nan(const double* x, std::ptrdiff_t n) {
  for (std::ptrdiff_t t = 0; t < n; ++t) {
    if (!std::isnan(x[t])) return false;
  }
  return true;
}

std::optional<std::ptrdiff_t> find_column(const std::vector<std::string>& labels, std::string_view label) {
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (labels[i] == label) return static_cast<std::ptrdiff_t>(i);
  }
  return std::nullopt;
}

std::vector<std::string> other_securities(const std::vector<std::string>& labels, std::string_view first,
                                          std::string_view second) {
  std::vector<std::string> others;
  for (const std::string& label : labels) {
    if (auto name = security_of_label(label, "_close")) {
      if (*name != first && *name != second) others.emplace_back(*name);
    }
  }
  return others;
}

void window_column(const WindowView& w, std::ptrdiff_t col, bool log_transform, double* out) {
  for (std::ptrdiff_t r = 0; r < w.rows; ++r) out[r] = log_transform ? std::log(w(r, col)) : w(r, col);
}

void spread_bars(const WindowView& w, const BarColumns& leg1, const BarColumns& leg2, double h1, double h2,
                 const BarOutputs& out) {
  for (std::ptrdiff_t r = 0; r < w.rows; ++r) {
    out.open[r] = std::log(w(r, leg1.open)) * h1 + std::log(w(r, leg2.open)) * h2;
    out.high[r] = std::log(w(r, leg1.high)) * h1 + std::log(w(r, leg2.high)) * h2;
    out.low[r] = std::log(w(r, leg1.low)) * h1 + std::log(w(r, leg2.low)) * h2;
    const double c1 = std::log(w(r, leg1.close));
    const double c2 = std::log(w(r, leg2.close));
    const double close = c1 * h1 + c2 * h2;
    out.close[r] = close;
    out.volume[r] = (w(r, leg1.volume) * std::exp(c1) + w(r, leg2.volume) * std::exp(c2)) / std::fabs(close);
  }
}

std::vector<double> log_close_covariance(const WindowView& w, const std::vector<BarColumns>& securities) {
  const auto k = static_cast<std::ptrdiff_t>(securities.size());
  const std::ptrdiff_t r = w.rows;
  // Centred log closes, one contiguous row per security, as np.cov lays them out.
  std::vector<double> centred(static_cast<std::size_t>(k * r));
  for (std::ptrdiff_t i = 0; i < k; ++i) {
    double* row = centred.data() + i * r;
    window_column(w, securities[i].close, true, row);
    const double mean = numpy_mean(row, r);
    for (std::ptrdiff_t t = 0; t < r; ++t) row[t] -= mean;
  }
  const auto divisor = static_cast<double>(r - 1);
  std::vector<double> cov(static_cast<std::size_t>(k * k));
  for (std::ptrdiff_t i = 0; i < k; ++i) {
    for (std::ptrdiff_t j = 0; j <= i; ++j) {
      const double* a = centred.data() + i * r;
      const double* b = centred.data() + j * r;
      double s = 0.0;
      for (std::ptrdiff_t t = 0; t < r; ++t) s += a[t] * b[t];
      cov[static_cast<std::size_t>(i * k + j)] = cov[static_cast<std::size_t>(j * k + i)] = s / divisor;
    }
  }
  return cov;
}

std::vector<double> least_variance_weights(const std::vector<double>& covariance, std::ptrdiff_t k) {
  std::vector<double> weights(static_cast<std::size_t>(k), kNaN);
  if (k == 0 || !all_finite(covariance)) return weights;
  const SymmetricEigen eig = symmetric_eigen(covariance, k);
  // Loads sqrt(risk / lambda) with all the risk on the smallest eigenvalue (position 0 in
  // ascending order): every other load is 0 / lambda, which is NaN for a zero eigenvalue and
  // then spoils every weight, as it should for a degenerate covariance.
  for (std::ptrdiff_t i = 0; i < k; ++i) {
    double w = 0.0;
    for (std::ptrdiff_t j = k - 1; j >= 0; --j) {
      const double load = std::sqrt((j == 0 ? 1.0 : 0.0) / eig.values[j]);
      w += eig.vectors[static_cast<std::size_t>(i * k + j)] * load;
    }
    weights[i] = w;
  }
  if (!all_finite(weights)) return weights;
  std::ptrdiff_t largest = 0;
  for (std::ptrdiff_t i = 1; i < k; ++i) {
    if (std::fabs(weights[i]) > std::fabs(weights[largest])) largest = i;
  }
  if (weights[largest] < 0) {
    for (double& w : weights) w = -w;
  }
  return weights;
}

std::vector<double> all_others_bars(const WindowView& w, const std::vector<BarColumns>& securities,
                                    const BarOutputs& out) {
  const std::ptrdiff_t r = w.rows;
  const auto k = static_cast<std::ptrdiff_t>(securities.size());
  if (k == 0) {
    for (double* series : {out.open, out.high, out.low, out.close, out.volume}) {
      for (std::ptrdiff_t t = 0; t < r; ++t) series[t] = kNaN;
    }
    return {};
  }
  std::vector<double> weights;
  {
    // A zero, negative or missing price makes a log close non-finite; the eigen-solver is
    // not run on such a covariance, the weights are NaN instead.
    std::vector<double> cov = log_close_covariance(w, securities);
    weights = least_variance_weights(cov, k);
  }
  for (double* series : {out.open, out.high, out.low, out.close, out.volume}) {
    for (std::ptrdiff_t t = 0; t < r; ++t) series[t] = 0.0;
  }
  for (std::ptrdiff_t i = 0; i < k; ++i) {
    const BarColumns& s = securities[i];
    const double wi = weights[i];
    for (std::ptrdiff_t t = 0; t < r; ++t) {
      const double log_close = std::log(w(t, s.close));
      out.open[t] += std::log(w(t, s.open)) * wi;
      out.high[t] += std::log(w(t, s.high)) * wi;
      out.low[t] += std::log(w(t, s.low)) * wi;
      out.close[t] += log_close * wi;
      out.volume[t] += w(t, s.volume) * std::exp(log_close);
    }
  }
  for (std::ptrdiff_t t = 0; t < r; ++t) out.volume[t] /= std::exp(out.close[t]);
  return weights;
}

}  // namespace velmora::core

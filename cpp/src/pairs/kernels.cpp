#include "velmora/core/pairs/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>


namespace velmora::core::pairs {

namespace {

// Two 2 x 2 determinants this close to zero, relative to the diagonal, mean the two series
// are collinear (or one is constant) up to rounding: the library's inverse would only
// amplify noise.
constexpr double kSingularTolerance = 1e-12;
constexpr double kConstantTolerance = 1e-20;

bool all_finite(const double* x, std::ptrdiff_t stride, std::ptrdiff_t n) {
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    if (!std::isfinite(x[i * stride])) return false;
  }
  return true;
}

struct Sym2 {
  double a11 = 0, a12 = 0, a22 = 0;
  double det() const { return a11 * a22 - a12 * a12; }
};

// Null vector (Euclidean direction) of the symmetric, rank-deficient 2 x 2 matrix m, from
// its larger row.
bool null_vector(const Sym2& m, double v[2]) {
  const double r1 = std::abs(m.a11) + std::abs(m.a12);
  const double r2 = std::abs(m.a12) + std::abs(m.a22);
  if (!(r1 > 0.0 || r2 > 0.0)) return false;
  if (r1 >= r2) {
    v[0] = m.a12;
    v[1] = -m.a11;
  } else {
    v[0] = m.a22;
    v[1] = -m.a12;
  }
  return true;
}

}  // namespace

JohansenResult johansen_two(const double* y0, std::ptrdiff_t stride0, const double* y1,
                            std::ptrdiff_t stride1, std::ptrdiff_t m) {
  JohansenResult out;
  if (m < kJohansenMinimumObservations) return out;
  if (!all_finite(y0, stride0, m) || !all_finite(y1, stride1, m)) return out;

  // Levels detrended on a constant and a linear trend. Centring t and the data first keeps
  // the closed-form fit free of cancellation.
  const double nm = static_cast<double>(m);
  const double tmid = (nm - 1.0) / 2.0;
  double mean0 = 0, mean1 = 0;
  for (std::ptrdiff_t k = 0; k < m; ++k) {
    mean0 += y0[k * stride0];
    mean1 += y1[k * stride1];
  }
  mean0 /= nm;
  mean1 /= nm;
  // A leg that does not move (to rounding) has no direction to estimate.
  double ss0 = 0, ss1 = 0, sq0 = 0, sq1 = 0;
  for (std::ptrdiff_t k = 0; k < m; ++k) {
    const double d0 = y0[k * stride0] - mean0, d1 = y1[k * stride1] - mean1;
    ss0 += d0 * d0;
    ss1 += d1 * d1;
    sq0 += y0[k * stride0] * y0[k * stride0];
    sq1 += y1[k * stride1] * y1[k * stride1];
  }
  if (!(ss0 > kConstantTolerance * sq0) || !(ss1 > kConstantTolerance * sq1)) return out;
  double stt = 0, st0 = 0, st1 = 0;
  for (std::ptrdiff_t k = 0; k < m; ++k) {
    const double t = static_cast<double>(k) - tmid;
    stt += t * t;
    st0 += t * (y0[k * stride0] - mean0);
    st1 += t * (y1[k * stride1] - mean1);
  }
  const double beta0 = st0 / stt, beta1 = st1 / stt;
  std::vector<double> l0(static_cast<std::size_t>(m)), l1(static_cast<std::size_t>(m));
  for (std::ptrdiff_t k = 0; k < m; ++k) {
    const double t = static_cast<double>(k) - tmid;
    l0[k] = (y0[k * stride0] - mean0) - beta0 * t;
    l1[k] = (y1[k * stride1] - mean1) - beta1 * t;
  }

  // T = m - 1 rows: differences dL_t and the levels L_t of the same t (t = 1 .. m-1), each
  // demeaned. Pairing a difference with the level of its own time (rather than the lagged
  // level) is what the library does without lagged differences, and what the stored
  // decisions rest on.
  const std::ptrdiff_t T = m - 1;
  const double nT = static_cast<double>(T);
  double md0 = 0, md1 = 0, ml0 = 0, ml1 = 0;
  for (std::ptrdiff_t t = 1; t < m; ++t) {
    md0 += l0[t] - l0[t - 1];
    md1 += l1[t] - l1[t - 1];
    ml0 += l0[t];
    ml1 += l1[t];
  }
  md0 /= nT;
  md1 /= nT;
  ml0 /= nT;
  ml1 /= nT;
  Sym2 skk, s00;
  double sk0[2][2] = {{0, 0}, {0, 0}};
  for (std::ptrdiff_t t = 1; t < m; ++t) {
    const double r00 = (l0[t] - l0[t - 1]) - md0;
    const double r01 = (l1[t] - l1[t - 1]) - md1;
    const double rk0 = l0[t] - ml0;
    const double rk1 = l1[t] - ml1;
    skk.a11 += rk0 * rk0;
    skk.a12 += rk0 * rk1;
    skk.a22 += rk1 * rk1;
    s00.a11 += r00 * r00;
    s00.a12 += r00 * r01;
    s00.a22 += r01 * r01;
    sk0[0][0] += rk0 * r00;
    sk0[0][1] += rk0 * r01;
    sk0[1][0] += rk1 * r00;
    sk0[1][1] += rk1 * r01;
  }
  skk.a11 /= nT;
  skk.a12 /= nT;
  skk.a22 /= nT;
  s00.a11 /= nT;
  s00.a12 /= nT;
  s00.a22 /= nT;
  for (auto& row : sk0) {
    row[0] /= nT;
    row[1] /= nT;
  }

  const double det_kk = skk.det();
  const double det_00 = s00.det();
  if (!(det_kk > kSingularTolerance * skk.a11 * skk.a22) ||
      !(det_00 > kSingularTolerance * s00.a11 * s00.a22)) {
    return out;
  }

  // sigma = Sk0 S00^-1 Sk0'; the eigenvalues solve det(sigma - lambda Skk) = 0.
  const double i11 = s00.a22 / det_00, i12 = -s00.a12 / det_00, i22 = s00.a11 / det_00;
  const double p00 = sk0[0][0] * i11 + sk0[0][1] * i12;
  const double p01 = sk0[0][0] * i12 + sk0[0][1] * i22;
  const double p10 = sk0[1][0] * i11 + sk0[1][1] * i12;
  const double p11 = sk0[1][0] * i12 + sk0[1][1] * i22;
  Sym2 sig;
  sig.a11 = p00 * sk0[0][0] + p01 * sk0[0][1];
  sig.a12 = p00 * sk0[1][0] + p01 * sk0[1][1];
  sig.a22 = p10 * sk0[1][0] + p11 * sk0[1][1];

  const double det_k0 = sk0[0][0] * sk0[1][1] - sk0[0][1] * sk0[1][0];
  const double a2 = det_kk;
  const double a1 = -(sig.a11 * skk.a22 + sig.a22 * skk.a11 - 2.0 * sig.a12 * skk.a12);
  const double a0 = det_k0 * det_k0 / det_00;  // det(sigma), never negative
  const double disc = a1 * a1 - 4.0 * a2 * a0;
  if (!(disc >= 0.0)) return out;
  const double q = -0.5 * (a1 + std::copysign(std::sqrt(disc), a1));
  double lam1 = q / a2;
  double lam2 = q != 0.0 ? a0 / q : 0.0;
  if (lam2 > lam1) std::swap(lam1, lam2);
  if (!(lam1 < 1.0) || !std::isfinite(lam2)) return out;

  double v[2][2];  // v[column][component]
  const double lams[2] = {lam1, lam2};
  for (int c = 0; c < 2; ++c) {
    Sym2 mat{sig.a11 - lams[c] * skk.a11, sig.a12 - lams[c] * skk.a12,
             sig.a22 - lams[c] * skk.a22};
    if (!null_vector(mat, v[c])) return out;
    const double norm2 = v[c][0] * (skk.a11 * v[c][0] + skk.a12 * v[c][1]) +
                         v[c][1] * (skk.a12 * v[c][0] + skk.a22 * v[c][1]);
    if (!(norm2 > 0.0)) return out;
    const double scale = 1.0 / std::sqrt(norm2);
    v[c][0] *= scale;
    v[c][1] *= scale;
  }
  // The whole matrix takes the sign of its first non-zero element in row-major order.
  const double flat[4] = {v[0][0], v[1][0], v[0][1], v[1][1]};
  double sign = 1.0;
  for (double f : flat) {
    if (f != 0.0) {
      sign = f > 0.0 ? 1.0 : -1.0;
      break;
    }
  }
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 2; ++c) out.evec[r][c] = sign * v[c][r];
  }

  const double log1 = std::log(1.0 - lam1), log2 = std::log(1.0 - lam2);
  out.eig[0] = lam1;
  out.eig[1] = lam2;
  out.lr1[0] = -nT * (log1 + log2);
  out.lr1[1] = -nT * log2;
  out.lr2[0] = -nT * log1;
  out.lr2[1] = -nT * log2;
  for (double s : {out.lr1[0], out.lr1[1], out.lr2[0], out.lr2[1], out.evec[0][0], out.evec[1][0]}) {
    if (!std::isfinite(s)) return JohansenResult{};
  }
  out.ok = true;
  return out;
}

HedgeEstimate hedge_ratio_from_johansen(const double* log_a, const double* log_b,
                                        std::ptrdiff_t n, std::int64_t step) {
  if (step < 1) throw std::invalid_argument("johansen sampling step must be at least 1");
  HedgeEstimate est;
  if (n < 1) return est;
  const std::ptrdiff_t s = static_cast<std::ptrdiff_t>(step);
  const std::ptrdiff_t m = (n - 1) / s;  // positions s, 2s, ... below n
  const JohansenResult r = johansen_two(log_a + s, s, log_b + s, s, m);
  if (!r.ok) return est;
  est.hedge_a = r.evec[0][0];
  est.hedge_b = r.evec[1][0];
  est.cointegrated = (r.lr2[0] >= kMaxEigCritical90) && (r.lr1[0] >= kTraceCritical90);
  return est;
}

std::int64_t halflife_from_spread(bool cointegrated, std::int64_t window_length,
                                  const double* spread, std::ptrdiff_t n) {
  if (!cointegrated) return 0;
  // The regression pairs spread[i] with spread[i+1] - spread[i] over the window; a spread
  // of another length cannot be paired (the library raises, which means no half-life).
  if (window_length != n || n < 2) return 0;
  if (!all_finite(spread, 1, n)) return 0;
  const std::ptrdiff_t k = n - 1;
  double mx = 0, my = 0;
  for (std::ptrdiff_t i = 0; i < k; ++i) {
    mx += spread[i];
    my += spread[i + 1] - spread[i];
  }
  mx /= static_cast<double>(k);
  my /= static_cast<double>(k);
  double sxx = 0, sxy = 0;
  for (std::ptrdiff_t i = 0; i < k; ++i) {
    const double xc = spread[i] - mx;
    const double yc = (spread[i + 1] - spread[i]) - my;
    sxx += xc * xc;
    sxy += xc * yc;
  }
  if (!(sxx > 0.0)) return 0;
  const double b = sxy / sxx;
  const double quotient = std::log(2.0) / b;
  if (!std::isfinite(quotient)) return 0;
  const double truncated = std::trunc(quotient);
  if (!(std::abs(truncated) < 9.2e18)) return 0;
  return -static_cast<std::int64_t>(truncated);
}

double numpy_std_into(const double* x, std::ptrdiff_t n, std::vector<double>& scratch) {
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  const double mean = pairwise_sum(x, n) / static_cast<double>(n);
  scratch.resize(static_cast<std::size_t>(n));
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    const double d = x[i] - mean;
    scratch[i] = d * d;
  }
  return std::sqrt(pairwise_sum(scratch.data(), n) / static_cast<double>(n));
}

ZScore zscore_for_pair(const double* spread, std::ptrdiff_t n, std::int64_t halflife,
                       double zscore_halflife_multiplier, std::int64_t minimum_window,
                       std::int64_t maximum_window, bool cointegrated,
                       std::vector<double>& scratch) {
  ZScore z;
  if (n < 1) return z;
  z.current = spread[n - 1];
  if (halflife <= 0 || !cointegrated) return z;
  double window = std::trunc(zscore_halflife_multiplier * static_cast<double>(halflife));
  if (static_cast<double>(minimum_window) > window) window = static_cast<double>(minimum_window);
  if (!(window <= static_cast<double>(maximum_window))) return z;
  // A window longer than the spread takes all of it (a negative slice start would wrap).
  const std::ptrdiff_t len = std::min<std::ptrdiff_t>(n, static_cast<std::ptrdiff_t>(window));
  const double* tail = spread + (n - len);
  const double mean = pairwise_sum(tail, len) / static_cast<double>(len);
  scratch.resize(static_cast<std::size_t>(len));
  for (std::ptrdiff_t i = 0; i < len; ++i) {
    const double d = tail[i] - mean;
    scratch[i] = d * d;
  }
  const double sd = std::sqrt(pairwise_sum(scratch.data(), len) / static_cast<double>(len));
  z.mean = mean;
  z.std = sd;
  z.zscore = sd > 0.0 ? (z.current - mean) / sd : 0.0;
  return z;
}

void sliding_std(const double* x, std::ptrdiff_t n, std::ptrdiff_t w, double* out,
                 std::vector<double>& scratch) {
  if (w < 1 || w > n) throw std::invalid_argument("rolling window must lie within the spread");
  scratch.resize(static_cast<std::size_t>(w));
  const double dw = static_cast<double>(w);
  for (std::ptrdiff_t k = 0; k + w <= n; ++k) {
    const double* run = x + k;
    const double mean = pairwise_sum(run, w) / dw;
    for (std::ptrdiff_t i = 0; i < w; ++i) {
      const double d = run[i] - mean;
      scratch[i] = d * d;
    }
    out[k] = std::sqrt(pairwise_sum(scratch.data(), w) / dw);
  }
}

std::ptrdiff_t volatility_run_length(std::ptrdiff_t n, std::int64_t halflife,
                                     double rolling_volatility_halflife_multiplier) {
  double w = std::trunc(rolling_volatility_halflife_multiplier * static_cast<double>(halflife));
  if (static_cast<double>(n - 30) < w) w = static_cast<double>(n - 30);
  if (2.0 > w) w = 2.0;
  return static_cast<std::ptrdiff_t>(w);
}

double volatility_multiplier_from_runs(const double* run_std, std::ptrdiff_t runs) {
  if (runs < 1) throw std::invalid_argument("spread too short for a rolling volatility");
  const double m = pairwise_sum(run_std, runs) / static_cast<double>(runs);
  if (m > 0.0) return 1.0 + run_std[runs - 1] / m;
  return 1.0;
}

double volatility_multiplier(const double* spread, std::ptrdiff_t n, std::int64_t halflife,
                             double rolling_volatility_halflife_multiplier,
                             std::vector<double>& scratch_runs, std::vector<double>& scratch_dev) {
  const std::ptrdiff_t wv =
      volatility_run_length(n, halflife, rolling_volatility_halflife_multiplier);
  const std::ptrdiff_t runs = n - wv + 1;
  if (runs < 1) throw std::invalid_argument("spread too short for a rolling volatility");
  scratch_runs.resize(static_cast<std::size_t>(runs));
  sliding_std(spread, n, wv, scratch_runs.data(), scratch_dev);
  return volatility_multiplier_from_runs(scratch_runs.data(), runs);
}

}  // namespace velmora::core::pairs

#include "velmora/core/pairs/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace velmora::core::pairs {

namespace {

// A leg whose detrended variation is below this fraction of its level does not move: it has
// no direction to estimate.
constexpr double kConstantTolerance = 1e-20;

// Columns whose residual after projecting one on the other is below this fraction of the
// column have no direction left to test: the orthogonal factorisation below keeps the hedge
// ratios to about 1e-6 down to here. Near-duplicate instruments sit far above it (a basis of
// 1e-8 on log prices is a residual of about 1e-7).
constexpr double kCollinearTolerance = 1e-10;

// Legs collinear in exact arithmetic (b = c a + d) still differ by the rounding of their
// float64 values, about one unit in the last place of each value: a residual within this many
// such units is that rounding, not a relation to test.
constexpr double kRoundingUnits = 1e4;

bool all_finite(const double* x, std::ptrdiff_t stride, std::ptrdiff_t n) {
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    if (!std::isfinite(x[i * stride])) return false;
  }
  return true;
}

struct Upper2 {
  double r11 = 0, r12 = 0, r22 = 0;
};

// Thin QR factorisation [a b] = [q1 q2] [[r11 r12] [0 r22]] by Gram-Schmidt with one
// reorthogonalisation (twice is enough for orthogonality to rounding). The residual of b is formed explicitly, never as |b|^2 - r12^2, so a nearly
// collinear pair keeps the accuracy of its small residual. `level_a` and `level_b` are the
// largest magnitudes of the inputs the columns were computed from: their rounding sets the
// smallest residual that means anything. False when the columns are collinear to that.
//
// Two such factorisations at once, each pass over both, with consecutive passes fused where
// one only reads what the one before wrote: every value sees the same operations in the same
// order as in separate passes, so the results are the same in fewer trips over the data. The
// columns come in with their means still in (subtracted here), and the second columns leave
// unscaled: `inv_b` holds 1 / r22 of each for the caller's next pass.
bool thin_qr_both(double* a0, double* b0, double mean_a0, double mean_b0, double* a1, double* b1,
                  double mean_a1, double mean_b1, std::ptrdiff_t n, double level_a,
                  double level_b, Upper2& r0, Upper2& r1, double inv_b[2]) {
  double aa0 = 0.0, bb0 = 0.0, aa1 = 0.0, bb1 = 0.0;
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    a0[i] -= mean_a0;
    b0[i] -= mean_b0;
    a1[i] -= mean_a1;
    b1[i] -= mean_b1;
    aa0 += a0[i] * a0[i];
    bb0 += b0[i] * b0[i];
    aa1 += a1[i] * a1[i];
    bb1 += b1[i] * b1[i];
  }
  Upper2* rs[2] = {&r0, &r1};
  const double aa[2] = {aa0, aa1}, bb[2] = {bb0, bb1};
  double norm_b[2], rounding[2], inv11[2];
  const double root_n = std::sqrt(static_cast<double>(n));
  for (int q = 0; q < 2; ++q) {
    Upper2& r = *rs[q];
    r.r11 = std::sqrt(aa[q]);
    norm_b[q] = std::sqrt(bb[q]);
    if (!(r.r11 > 0.0) || !(norm_b[q] > 0.0) || !std::isfinite(r.r11) || !std::isfinite(norm_b[q])) {
      return false;
    }
    rounding[q] = kRoundingUnits * std::numeric_limits<double>::epsilon() *
                  std::max(level_a * root_n / r.r11, level_b * root_n / norm_b[q]);
    inv11[q] = 1.0 / r.r11;
    r.r12 = 0.0;
  }
  double c0 = 0.0, c1 = 0.0;
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    a0[i] *= inv11[0];
    a1[i] *= inv11[1];
    c0 += a0[i] * b0[i];
    c1 += a1[i] * b1[i];
  }
  r0.r12 += c0;
  r1.r12 += c1;
  double d0 = 0.0, d1 = 0.0;
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    b0[i] -= c0 * a0[i];
    b1[i] -= c1 * a1[i];
    d0 += a0[i] * b0[i];
    d1 += a1[i] * b1[i];
  }
  r0.r12 += d0;
  r1.r12 += d1;
  double e0 = 0.0, e1 = 0.0;
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    b0[i] -= d0 * a0[i];
    b1[i] -= d1 * a1[i];
    e0 += b0[i] * b0[i];
    e1 += b1[i] * b1[i];
  }
  r0.r22 = std::sqrt(e0);
  r1.r22 = std::sqrt(e1);
  for (int q = 0; q < 2; ++q) {
    if (!(rs[q]->r22 > std::max(kCollinearTolerance, rounding[q]) * norm_b[q])) return false;
    inv_b[q] = 1.0 / rs[q]->r22;
  }
  return true;
}

}  // namespace

// The eigenvalues of Skk^-1 Sk0 S00^-1 Sk0' are the squared canonical correlations of the
// level residuals Rk and the difference residuals R0. Forming the moment matrices squares the
// condition number of nearly collinear legs (near-duplicate instruments) and loses the test;
// here they come from orthogonal factors instead: Rk = Qk Uk, R0 = Q0 U0, the canonical
// correlations are the singular values of Qk' Q0, and with MM' = W diag(lambda) W' the
// eigenvectors are sqrt(T) Uk^-1 W, which is scaled to v' Skk v = 1 as the library scales it.
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
  double ss0 = 0, ss1 = 0, sq0 = 0, sq1 = 0, stt = 0, st0 = 0, st1 = 0, level0 = 0, level1 = 0;
  for (std::ptrdiff_t k = 0; k < m; ++k) {
    const double d0 = y0[k * stride0] - mean0, d1 = y1[k * stride1] - mean1;
    const double t = static_cast<double>(k) - tmid;
    level0 = std::max(level0, std::abs(y0[k * stride0]));
    level1 = std::max(level1, std::abs(y1[k * stride1]));
    ss0 += d0 * d0;
    ss1 += d1 * d1;
    sq0 += y0[k * stride0] * y0[k * stride0];
    sq1 += y1[k * stride1] * y1[k * stride1];
    stt += t * t;
    st0 += t * d0;
    st1 += t * d1;
  }
  // A leg that does not move (to rounding) has no direction to estimate.
  if (!(ss0 > kConstantTolerance * sq0) || !(ss1 > kConstantTolerance * sq1)) return out;
  const double beta0 = st0 / stt, beta1 = st1 / stt;

  // T = m - 1 rows: differences dL_t and the levels L_t of the same t (t = 1 .. m-1), each
  // demeaned. Pairing a difference with the level of its own time (rather than the lagged
  // level) is what the library does without lagged differences, and what the stored
  // decisions rest on. The trend is a constant in the differences, which the demeaning
  // removes, so they are taken of the inputs themselves: for log prices that subtraction is
  // exact.
  const std::ptrdiff_t T = m - 1;
  const double nT = static_cast<double>(T);
  // Every element is written before it is read; reused so that a walk's re-estimations do
  // not allocate.
  thread_local std::vector<double> buffer;
  if (buffer.size() < static_cast<std::size_t>(4 * T)) buffer.resize(static_cast<std::size_t>(4 * T));
  double* rk0 = buffer.data();
  double* rk1 = rk0 + T;
  double* r00 = rk1 + T;
  double* r01 = r00 + T;
  double md0 = 0, md1 = 0, ml0 = 0, ml1 = 0;
  for (std::ptrdiff_t t = 1; t < m; ++t) {
    const double tc = static_cast<double>(t) - tmid;
    const double l0 = (y0[t * stride0] - mean0) - beta0 * tc;
    const double l1 = (y1[t * stride1] - mean1) - beta1 * tc;
    rk0[t - 1] = l0;
    rk1[t - 1] = l1;
    r00[t - 1] = y0[t * stride0] - y0[(t - 1) * stride0];
    r01[t - 1] = y1[t * stride1] - y1[(t - 1) * stride1];
    md0 += r00[t - 1];
    md1 += r01[t - 1];
    ml0 += l0;
    ml1 += l1;
  }
  md0 /= nT;
  md1 /= nT;
  ml0 /= nT;
  ml1 /= nT;

  Upper2 uk, u0;
  double inv22[2];
  if (!thin_qr_both(rk0, rk1, ml0, ml1, r00, r01, md0, md1, T, level0, level1, uk, u0, inv22)) {
    return out;
  }

  // M = Qk' Q0 and its Gram matrix MM', whose eigenvalues are the squared canonical
  // correlations; the larger one's eigenvector by a Jacobi rotation.
  double m00 = 0.0, m01 = 0.0, m10 = 0.0, m11 = 0.0;
  for (std::ptrdiff_t i = 0; i < T; ++i) {
    rk1[i] *= inv22[0];
    r01[i] *= inv22[1];
    m00 += rk0[i] * r00[i];
    m01 += rk0[i] * r01[i];
    m10 += rk1[i] * r00[i];
    m11 += rk1[i] * r01[i];
  }
  const double g00 = m00 * m00 + m01 * m01;
  const double g01 = m00 * m10 + m01 * m11;
  const double g11 = m10 * m10 + m11 * m11;
  const double lam1 = 0.5 * (g00 + g11) + std::hypot(0.5 * (g00 - g11), g01);
  const double det_m = m00 * m11 - m01 * m10;
  const double lam2 = lam1 > 0.0 ? std::min(lam1, det_m * det_m / lam1) : 0.0;
  if (!(lam1 < 1.0)) return out;
  const double theta = 0.5 * std::atan2(2.0 * g01, g00 - g11);
  const double cs = std::cos(theta), sn = std::sin(theta);
  const double w[2][2] = {{cs, sn}, {-sn, cs}};  // w[column][component]

  double v[2][2];  // v[column][component] = sqrt(T) Uk^-1 w[column]
  const double root_t = std::sqrt(nT);
  for (int c = 0; c < 2; ++c) {
    v[c][1] = root_t * w[c][1] / uk.r22;
    v[c][0] = (root_t * w[c][0] - uk.r12 * v[c][1]) / uk.r11;
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

  // log1p keeps the statistics accurate for small eigenvalues; both are never negative.
  const double log1 = std::log1p(-lam1), log2 = std::log1p(-lam2);
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
  // The samples lie a cache line or more apart: gathered once, the test's passes read them
  // contiguously.
  thread_local std::vector<double> samples;
  if (samples.size() < static_cast<std::size_t>(2 * m)) samples.resize(static_cast<std::size_t>(2 * m));
  double* ya = samples.data();
  double* yb = ya + m;
  for (std::ptrdiff_t k = 0; k < m; ++k) {
    ya[k] = log_a[(k + 1) * s];
    yb[k] = log_b[(k + 1) * s];
  }
  const JohansenResult r = johansen_two(ya, 1, yb, 1, m);
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
  // NaN would pass both bounds below untouched, and has no integer.
  if (std::isnan(w)) {
    throw std::invalid_argument("rolling_volatility_halflife_multiplier x half-life is not a number of bars");
  }
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

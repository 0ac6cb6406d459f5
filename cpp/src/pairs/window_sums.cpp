#include "velmora/core/pairs/window_sums.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "velmora/core/pairs/walk.hpp"

namespace velmora::core::pairs {

namespace {

constexpr double kUnit = std::numeric_limits<double>::epsilon() / 2.0;  // 2^-53
const double kInf = std::numeric_limits<double>::infinity();

// The rounding of a compensated prefix sum over `rows` rows of terms up to `scale`: the
// gathered errors are exact but their own sum rounds by u per step on at most rows^2 u scale,
// at most rows^3 u^2 scale / 3 in all. Stated as 1e-32 rows^3 scale, above that.
double prefix_slack(double rows, double scale) { return 1e-32 * rows * rows * rows * scale; }

// numpy's pairwise sum of n <= 2^50 terms errs by at most this many units of the sum of their
// magnitudes: 16 additions per accumulator, 3 to combine them, 7 for the tail, and one per
// level of halving, with room to spare.
constexpr double kPairwiseUnits = 80.0;

// Neumaier's compensated step: the rounding error of each addition is gathered in lo, so
// hi + lo carries the sum to about one rounding of the total plus n u^2 of the terms, and each
// step waits on one addition per part rather than on a chain of them.
void add(Compensated& c, double x) {
  const double t = c.hi + x;
  c.lo += std::abs(c.hi) >= std::abs(x) ? (c.hi - t) + x : (x - t) + c.hi;
  c.hi = t;
}

// upper - lower, with the difference of the high parts taken exactly.
double diff(const Compensated& upper, const Compensated& lower) {
  const double s = upper.hi - lower.hi;
  const double bp = s - upper.hi;
  const double e = (upper.hi - (s - bp)) + (-lower.hi - bp);
  return s + (e + (upper.lo - lower.lo));
}

// Room for `size` elements, doubling so that a walk extending one row at a time copies each
// element a bounded number of times.
template <class T>
void grow(std::vector<T>& v, std::size_t size) {
  if (v.capacity() < size) v.reserve(std::max(size, 2 * v.capacity()));
}


}  // namespace

void MarketSums::reset(const Market& market, std::span<const PairSpec> pairs, std::ptrdiff_t lo) {
  securities_ = market.securities();
  base_ = top_ = lo;
  first_.clear();
  second_.clear();
  for (const PairSpec& p : pairs) {
    first_.push_back(p.first);
    second_.push_back(p.second);
  }
  width_ = 3 * securities_ + 2 * static_cast<std::ptrdiff_t>(pairs.size());
  // Room for every row the market holds, taken once: a walk reaches them all, and growing a
  // table this wide by doubling would copy it several times.
  const auto rows = static_cast<std::size_t>(market.rows() - lo + 1);
  table_.clear();
  bad_.clear();
  table_.reserve(rows * static_cast<std::size_t>(width_));
  bad_.reserve(rows * static_cast<std::size_t>(securities_));
  table_.assign(static_cast<std::size_t>(width_), Compensated{});
  bad_.assign(static_cast<std::size_t>(securities_), 0);
  max_abs_.assign(static_cast<std::size_t>(securities_), 0.0);
  ready_ = true;
}

void MarketSums::extend(const Market& market, std::ptrdiff_t hi) {
  const auto rows = static_cast<std::size_t>(hi - base_ + 1);
  grow(table_, rows * static_cast<std::size_t>(width_));
  grow(bad_, rows * static_cast<std::size_t>(securities_));
  auto value = [&](std::ptrdiff_t s, std::ptrdiff_t t) {
    const double x = market.log_close(s)[t];
    return std::isfinite(x) ? x : 0.0;
  };
  for (std::ptrdiff_t t = top_; t < hi; ++t) {
    const std::size_t row = table_.size();
    table_.resize(row + static_cast<std::size_t>(width_));
    Compensated* next = table_.data() + row;
    const Compensated* prev = next - width_;
    const std::size_t bad_row = bad_.size();
    bad_.resize(bad_row + static_cast<std::size_t>(securities_));
    const bool lagged = t > base_;
    for (std::ptrdiff_t s = 0; s < securities_; ++s) {
      const double raw = market.log_close(s)[t];
      const double x = std::isfinite(raw) ? raw : 0.0;
      Compensated* c = next + 3 * s;
      const Compensated* p = prev + 3 * s;
      c[0] = p[0];
      c[1] = p[1];
      c[2] = p[2];
      add(c[0], x);
      add(c[1], x * x);
      if (lagged) add(c[2], value(s, t - 1) * x);
      bad_[bad_row + s] = bad_[bad_row + s - securities_] + (std::isfinite(raw) ? 0 : 1);
      max_abs_[s] = std::max(max_abs_[s], std::abs(x));
    }
    for (std::size_t k = 0; k < first_.size(); ++k) {
      const std::ptrdiff_t a = first_[k], b = second_[k];
      const std::ptrdiff_t col = pair_column(k);
      Compensated* c = next + col;
      const Compensated* p = prev + col;
      c[0] = p[0];
      c[1] = p[1];
      const double xa = value(a, t), xb = value(b, t);
      add(c[0], xa * xb);
      if (lagged) add(c[1], value(a, t - 1) * xb + value(b, t - 1) * xa);
    }
  }
  top_ = std::max(top_, hi);
}

void MarketSums::cover(const Market& market, std::span<const PairSpec> pairs, std::ptrdiff_t lo,
                       std::ptrdiff_t hi) {
  bool same = ready_ && lo >= base_ && first_.size() == pairs.size() &&
              securities_ == market.securities() && hi <= market.rows();
  for (std::size_t k = 0; same && k < pairs.size(); ++k) {
    same = first_[k] == pairs[k].first && second_[k] == pairs[k].second;
  }
  if (!same) reset(market, pairs, lo);
  if (hi > top_) extend(market, hi);
}

bool MarketSums::finite(std::ptrdiff_t s, std::ptrdiff_t lo, std::ptrdiff_t hi) const {
  return bad_[(hi - base_) * securities_ + s] == bad_[(lo - base_) * securities_ + s];
}

double MarketSums::column(std::ptrdiff_t c, std::ptrdiff_t lo, std::ptrdiff_t hi) const {
  return diff(table_[(hi - base_) * width_ + c], table_[(lo - base_) * width_ + c]);
}

// The bounds below compare the estimate, in exact arithmetic on the unrounded combination
// h_a a_t + h_b b_t, with what the two-pass definitions compute on the spread as the walk
// rounds it. Three gaps add up: the estimate's own rounding (the products in the sums are
// rounded, the combinations are evaluated in double), the rounding of each spread value
// (at most E = 5u A, A = |h_a| max|a| + |h_b| max|b|), and the two-pass computation's own
// rounding. Every constant is generous; a bound that is too wide only costs a two-pass
// computation.
bool zscore_surely_within(const MarketSums& sums, std::size_t pair, std::ptrdiff_t first,
                          std::ptrdiff_t second, double ha, double hb, std::ptrdiff_t lo,
                          std::ptrdiff_t hi, double current, double threshold) {
  const std::ptrdiff_t n = hi - lo;
  if (n < 2 || !sums.covers(lo, hi) || !sums.finite(first, lo, hi) || !sums.finite(second, lo, hi)) {
    return false;
  }
  const double u = kUnit;
  const double A = std::abs(ha) * sums.max_abs(first) + std::abs(hb) * sums.max_abs(second);
  if (!(A > 0.0) || !std::isfinite(A * A * static_cast<double>(sums.rows()))) return false;
  const double L = static_cast<double>(n);
  const double sa = sums.sum(first, lo, hi), sb = sums.sum(second, lo, hi);
  const double saa = sums.sum_sq(first, lo, hi), sbb = sums.sum_sq(second, lo, hi);
  const double sab = sums.sum_cross(pair, lo, hi);
  const double s = ha * sa + hb * sb;
  const double q = (ha * ha) * saa + (2.0 * ha * hb) * sab + (hb * hb) * sbb;
  const double mean = s / L;
  const double var = (q - s * mean) / L;
  const double dd = prefix_slack(static_cast<double>(sums.rows()), A * A + A);

  const double e_var = 32.0 * u * A * A + dd;
  const double e_mean = 8.0 * u * A + dd;
  const double sd = std::sqrt(std::max(var, 0.0));
  const double e_sd_fast = std::min(std::sqrt(e_var), sd > 0.0 ? e_var / sd : kInf) + u * sd;
  const double e_round = 5.0 * u * A;                              // the spread's rounding
  const double e_mean_np = (kPairwiseUnits + 10.0) * u * (A + e_round);  // np.mean's
  const double e_sd = 1.1 * (e_sd_fast + 53.0 * u * sd + e_mean_np + e_round);
  const double num = std::abs(current - mean);
  const double e_num = 1.1 * (e_mean_np + e_round + e_mean + 2.0 * u * num);
  if (!(sd > e_sd)) return false;
  const double highest = (num + e_num) / (sd - e_sd) * (1.0 + 8.0 * u);
  return highest <= threshold;
}

std::int64_t halflife_estimate(const MarketSums& sums, std::size_t pair, std::ptrdiff_t first,
                               std::ptrdiff_t second, double ha, double hb, std::ptrdiff_t lo,
                               std::ptrdiff_t hi, double first_value, double last_value) {
  const std::ptrdiff_t n = hi - lo;
  if (n < 8 || !sums.covers(lo, hi) || !sums.finite(first, lo, hi) || !sums.finite(second, lo, hi)) {
    return -1;
  }
  if (!std::isfinite(first_value) || !std::isfinite(last_value)) return -1;
  const double u = kUnit;
  const double A = std::abs(ha) * sums.max_abs(first) + std::abs(hb) * sums.max_abs(second);
  if (!(A > 0.0) || !std::isfinite(A * A * static_cast<double>(sums.rows()))) return -1;
  const std::ptrdiff_t x_hi = hi - 1;  // x_i = s_i and y_i = s_i+1 - s_i, i in [lo, hi - 1)
  const double k = static_cast<double>(n - 1);
  auto square_sum = [&](std::ptrdiff_t a, std::ptrdiff_t b) {
    return (ha * ha) * sums.sum_sq(first, a, b) + (2.0 * ha * hb) * sums.sum_cross(pair, a, b) +
           (hb * hb) * sums.sum_sq(second, a, b);
  };
  const double sx = ha * sums.sum(first, lo, x_hi) + hb * sums.sum(second, lo, x_hi);
  const double sxx_raw = square_sum(lo, x_hi);
  const double snext = square_sum(lo + 1, hi);
  const double slag = (ha * ha) * sums.sum_lag(first, lo, x_hi) +
                      (ha * hb) * sums.sum_cross_lag(pair, lo, x_hi) +
                      (hb * hb) * sums.sum_lag(second, lo, x_hi);
  const double sy = last_value - first_value;  // the differences telescope
  const double syy_raw = snext - 2.0 * slag + sxx_raw;
  const double sxx = sxx_raw - sx * (sx / k);
  const double sxy = (slag - sxx_raw) - sx * (sy / k);
  const double syy = syy_raw - sy * (sy / k);

  const double e_f = 128.0 * u * k * A * A + prefix_slack(static_cast<double>(sums.rows()), A * A + A);
  const double E = 5.0 * u * A;
  const double rk = std::sqrt(k);
  const double sxx_hi = std::max(sxx + e_f, 0.0), syy_hi = std::max(syy + e_f, 0.0);
  const double ry = std::sqrt(std::max(syy_raw + e_f, 0.0)) + 2.0 * E * rk;  // |y| as rounded
  const double rxx = std::sqrt(sxx_hi) + E * rk;
  const double ryy = std::sqrt(syy_hi) + 2.0 * E * rk;
  // The two-pass regression sums plainly, so its means err by up to k units of their terms.
  const double e_mx = (k + 2.0) * u * (A + E);
  const double e_my = (k + 3.0) * u * ry / rk;
  const double cxx = rxx * rxx + k * e_mx * e_mx, cyy = ryy * ryy + k * e_my * e_my;
  const double e_sxx_np = (k + 4.0) * u * cxx + k * e_mx * e_mx;
  const double e_sxy_np = k * e_mx * e_my + (k + 4.0) * u * std::sqrt(cxx * cyy) + u * std::sqrt(cxx) * ry;
  const double e_sxx_s = 2.0 * E * rk * std::sqrt(sxx_hi) + k * E * E;
  const double e_sxy_s = 2.0 * E * rk * std::sqrt(sxx_hi) + E * rk * std::sqrt(syy_hi) + 2.0 * k * E * E;
  const double e_sxx = 1.1 * (e_f + e_sxx_np + e_sxx_s);
  const double e_sxy = 1.1 * (e_f + e_sxy_np + e_sxy_s);
  if (!std::isfinite(e_sxx) || !std::isfinite(e_sxy) || !(sxx - e_sxx > 0.0)) return -1;

  const double den_lo = sxx - e_sxx, den_hi = sxx + e_sxx;
  const double num_lo = sxy - e_sxy, num_hi = sxy + e_sxy;
  double b_lo, b_hi;
  if (num_lo > 0.0) {
    b_lo = num_lo / den_hi;
    b_hi = num_hi / den_lo;
  } else if (num_hi < 0.0) {
    b_lo = num_lo / den_lo;
    b_hi = num_hi / den_hi;
  } else {
    return -1;
  }
  const double ln2 = std::log(2.0);
  double q_lo = ln2 / b_hi, q_hi = ln2 / b_lo;
  q_lo -= 8.0 * u * std::abs(q_lo);
  q_hi += 8.0 * u * std::abs(q_hi);
  if (!(std::abs(q_lo) < 1e15) || !(std::abs(q_hi) < 1e15)) return -1;
  const double t_lo = std::trunc(q_lo), t_hi = std::trunc(q_hi);
  if (t_lo != t_hi) return -1;
  return -static_cast<std::int64_t>(t_lo);
}

bool SpreadRunSums::multiplier(const double* la, const double* lb, double ha, double hb,
                               std::ptrdiff_t start, std::ptrdiff_t n, std::ptrdiff_t wv,
                               double& value, double& error) {
  const std::ptrdiff_t runs = n - wv + 1;
  if (wv < 2 || runs < 1) return false;
  const double u = kUnit;
  const bool reusable = ready_ && run_length_ == wv && hedge_a_ == ha && hedge_b_ == hb &&
                        std::signbit(hedge_a_) == std::signbit(ha) &&
                        std::signbit(hedge_b_) == std::signbit(hb) && first_ <= start &&
                        start - first_ <= 3 * n &&
                        start <= first_ + static_cast<std::ptrdiff_t>(run_std_.size());
  if (!reusable) {
    ready_ = true;
    hedge_a_ = ha;
    hedge_b_ = hb;
    run_length_ = wv;
    first_ = start;
    centre_ = (ha * la[start]) + (hb * lb[start]);
    y_.assign(1, Compensated{});
    yy_.assign(1, Compensated{});
    run_sum_.assign(1, Compensated{});
    run_std_.clear();
    max_dev_ = max_abs_ = max_std_ = max_var_slack_ = 0.0;
    min_std_ = kInf;
    if (!std::isfinite(centre_)) {
      ready_ = false;
      return false;
    }
  }
  grow(y_, static_cast<std::size_t>(start + n - first_ + 1));
  grow(yy_, static_cast<std::size_t>(start + n - first_ + 1));
  grow(run_sum_, static_cast<std::size_t>(start + runs - first_ + 1));
  grow(run_std_, static_cast<std::size_t>(start + runs - first_));
  // Deviations from the first value keep the squares near the spread's own scale.
  {
    const std::ptrdiff_t from = first_ + static_cast<std::ptrdiff_t>(y_.size()) - 1;
    const std::size_t held = y_.size();
    if (start + n > from) {
      y_.resize(held + static_cast<std::size_t>(start + n - from));
      yy_.resize(y_.size());
    }
    Compensated cy = y_[held - 1], cyy = yy_[held - 1];
    Compensated* py = y_.data() + held;
    Compensated* pyy = yy_.data() + held;
    double dev = max_dev_, level = max_abs_;
    bool finite = true;
    for (std::ptrdiff_t t = from; t < start + n; ++t) {
      const double s = (ha * la[t]) + (hb * lb[t]);
      finite = finite && std::isfinite(s);
      const double y = s - centre_;
      add(cy, y);
      add(cyy, y * y);
      *py++ = cy;
      *pyy++ = cyy;
      dev = std::max(dev, std::abs(y));
      level = std::max(level, std::abs(s));
    }
    max_dev_ = dev;
    max_abs_ = level;
    if (!finite) {
      ready_ = false;
      return false;
    }
  }
  const double L = static_cast<double>(wv);
  {
    const std::ptrdiff_t from = first_ + static_cast<std::ptrdiff_t>(run_std_.size());
    const std::size_t held = run_std_.size();
    if (start + runs > from) {
      run_std_.resize(held + static_cast<std::size_t>(start + runs - from));
      run_sum_.resize(run_std_.size() + 1);
    }
    Compensated csd = run_sum_[held];
    double slack = max_var_slack_, lo = min_std_, hi = max_std_;
    for (std::ptrdiff_t r = from; r < start + runs; ++r) {
      const std::ptrdiff_t i = r - first_;
      const double sum = diff(y_[i + wv], y_[i]);
      const double sq = diff(yy_[i + wv], yy_[i]);
      const double mean = sum / L;
      const double var = sq / L - mean * mean;
      const double sd = std::sqrt(std::max(var, 0.0));
      slack = std::max(slack, 8.0 * u * (std::abs(sq) / L + mean * mean));
      lo = std::min(lo, sd);
      hi = std::max(hi, sd);
      run_std_[i] = sd;
      add(csd, sd);
      run_sum_[i + 1] = csd;
    }
    max_var_slack_ = slack;
    min_std_ = lo;
    max_std_ = hi;
  }
  // One slack for every run held, from the extremes of their terms: looser than a bound per
  // run, and cheaper.
  const double ve = max_var_slack_ + prefix_slack(static_cast<double>(y_.size()), max_dev_ * max_dev_) / L;
  const double e_fast = std::min(std::sqrt(ve), min_std_ > 0.0 ? ve / min_std_ : kInf) + u * max_std_;
  // np.std's mean errs with the spread's level, but a wrong mean only adds its square to the
  // variance.
  const double e_mean_np = (kPairwiseUnits + 10.0) * u * max_abs_;
  const double floor = min_std_ - e_fast - u * max_dev_;
  const double e_level =
      floor > 0.0 ? std::min(e_mean_np, e_mean_np * e_mean_np / (2.0 * floor)) : e_mean_np;
  const double slack = e_fast + u * max_dev_ + e_level;

  const std::ptrdiff_t i0 = start - first_;
  const double m = diff(run_sum_[i0 + runs], run_sum_[i0]) / static_cast<double>(runs);
  const double last = run_std_[i0 + runs - 1];
  const double e1 = 53.0 * u * m + slack;
  const double e_m = 1.1 * (e1 + (kPairwiseUnits + 4.0) * u * (m + e1)) + 4.0 * u * m;
  const double e_last = 1.1 * (53.0 * u * last + slack);
  if (!(m > e_m) || !std::isfinite(m)) return false;
  const double r = last / m;
  const double r_hi = (last + e_last) / (m - e_m) * (1.0 + 4.0 * u);
  const double r_lo = std::max(last - e_last, 0.0) / (m + e_m) * (1.0 - 4.0 * u);
  value = 1.0 + r;
  error = std::max(r_hi - r, r - r_lo) + 4.0 * u * value;
  return std::isfinite(error);
}

}  // namespace velmora::core::pairs

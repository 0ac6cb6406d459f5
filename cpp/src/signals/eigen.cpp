#include "velmora/core/signals/eigen.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace velmora::core {

namespace {

// Row-major square matrix access.
struct Square {
  std::vector<double>& a;
  std::ptrdiff_t n;
  double& operator()(std::ptrdiff_t i, std::ptrdiff_t j) { return a[static_cast<std::size_t>(i * n + j)]; }
};

// Householder reduction to tridiagonal form (the EISPACK tred2 scheme): on return d holds the
// diagonal, e the sub-diagonal in e[1..n-1], and v the accumulated orthogonal transformation.
void tridiagonalise(Square v, std::vector<double>& d, std::vector<double>& e) {
  const std::ptrdiff_t n = v.n;
  for (std::ptrdiff_t j = 0; j < n; ++j) d[j] = v(n - 1, j);

  for (std::ptrdiff_t i = n - 1; i > 0; --i) {
    double scale = 0.0;
    double h = 0.0;
    for (std::ptrdiff_t k = 0; k < i; ++k) scale += std::fabs(d[k]);
    if (scale == 0.0) {
      e[i] = d[i - 1];
      for (std::ptrdiff_t j = 0; j < i; ++j) {
        d[j] = v(i - 1, j);
        v(i, j) = 0.0;
        v(j, i) = 0.0;
      }
    } else {
      for (std::ptrdiff_t k = 0; k < i; ++k) {
        d[k] /= scale;
        h += d[k] * d[k];
      }
      double f = d[i - 1];
      double g = std::sqrt(h);
      if (f > 0) g = -g;
      e[i] = scale * g;
      h = h - f * g;
      d[i - 1] = f - g;
      for (std::ptrdiff_t j = 0; j < i; ++j) e[j] = 0.0;

      for (std::ptrdiff_t j = 0; j < i; ++j) {
        f = d[j];
        v(j, i) = f;
        g = e[j] + v(j, j) * f;
        for (std::ptrdiff_t k = j + 1; k <= i - 1; ++k) {
          g += v(k, j) * d[k];
          e[k] += v(k, j) * f;
        }
        e[j] = g;
      }
      f = 0.0;
      for (std::ptrdiff_t j = 0; j < i; ++j) {
        e[j] /= h;
        f += e[j] * d[j];
      }
      const double hh = f / (h + h);
      for (std::ptrdiff_t j = 0; j < i; ++j) e[j] -= hh * d[j];
      for (std::ptrdiff_t j = 0; j < i; ++j) {
        f = d[j];
        g = e[j];
        for (std::ptrdiff_t k = j; k <= i - 1; ++k) v(k, j) -= (f * e[k] + g * d[k]);
        d[j] = v(i - 1, j);
        v(i, j) = 0.0;
      }
    }
    d[i] = h;
  }

  for (std::ptrdiff_t i = 0; i < n - 1; ++i) {
    v(n - 1, i) = v(i, i);
    v(i, i) = 1.0;
    const double h = d[i + 1];
    if (h != 0.0) {
      for (std::ptrdiff_t k = 0; k <= i; ++k) d[k] = v(k, i + 1) / h;
      for (std::ptrdiff_t j = 0; j <= i; ++j) {
        double g = 0.0;
        for (std::ptrdiff_t k = 0; k <= i; ++k) g += v(k, i + 1) * v(k, j);
        for (std::ptrdiff_t k = 0; k <= i; ++k) v(k, j) -= g * d[k];
      }
    }
    for (std::ptrdiff_t k = 0; k <= i; ++k) v(k, i + 1) = 0.0;
  }
  for (std::ptrdiff_t j = 0; j < n; ++j) {
    d[j] = v(n - 1, j);
    v(n - 1, j) = 0.0;
  }
  v(n - 1, n - 1) = 1.0;
  e[0] = 0.0;
}

// Implicit QL iterations on the tridiagonal matrix (EISPACK tql2), rotating the vectors
// along. `vt` holds the vectors as rows (the transpose), so each rotation runs over two
// contiguous rows.
void diagonalise(Square vt, std::vector<double>& d, std::vector<double>& e) {
  const std::ptrdiff_t n = vt.n;
  for (std::ptrdiff_t i = 1; i < n; ++i) e[i - 1] = e[i];
  e[n - 1] = 0.0;

  double f = 0.0;
  double tst1 = 0.0;
  const double eps = std::numeric_limits<double>::epsilon();
  for (std::ptrdiff_t l = 0; l < n; ++l) {
    tst1 = std::max(tst1, std::fabs(d[l]) + std::fabs(e[l]));
    std::ptrdiff_t m = l;
    while (m < n) {
      if (std::fabs(e[m]) <= eps * tst1) break;
      ++m;
    }
    if (m > l) {
      int iterations = 0;
      do {
        if (++iterations > 100) throw std::runtime_error("symmetric eigen-decomposition did not converge");
        double g = d[l];
        double p = (d[l + 1] - g) / (2.0 * e[l]);
        double r = std::hypot(p, 1.0);
        if (p < 0) r = -r;
        d[l] = e[l] / (p + r);
        d[l + 1] = e[l] * (p + r);
        const double dl1 = d[l + 1];
        double h = g - d[l];
        for (std::ptrdiff_t i = l + 2; i < n; ++i) d[i] -= h;
        f += h;

        p = d[m];
        double c = 1.0, c2 = 1.0, c3 = 1.0;
        const double el1 = e[l + 1];
        double s = 0.0, s2 = 0.0;
        for (std::ptrdiff_t i = m - 1; i >= l; --i) {
          c3 = c2;
          c2 = c;
          s2 = s;
          g = c * e[i];
          h = c * p;
          r = std::hypot(p, e[i]);
          e[i + 1] = s * r;
          s = e[i] / r;
          c = p / r;
          p = c * d[i] - s * g;
          d[i + 1] = h + s * (c * g + s * d[i]);
          double* lower = &vt(i, 0);
          double* upper = &vt(i + 1, 0);
          for (std::ptrdiff_t k = 0; k < n; ++k) {
            h = upper[k];
            upper[k] = s * lower[k] + c * h;
            lower[k] = c * lower[k] - s * h;
          }
        }
        p = -s * s2 * c3 * el1 * e[l] / dl1;
        e[l] = s * p;
        d[l] = c * p;
      } while (std::fabs(e[l]) > eps * tst1);
    }
    d[l] = d[l] + f;
    e[l] = 0.0;
  }
}

}  // namespace

SymmetricEigen symmetric_eigen(const std::vector<double>& a, std::ptrdiff_t n) {
  SymmetricEigen result;
  result.values.assign(static_cast<std::size_t>(n), 0.0);
  result.vectors.assign(static_cast<std::size_t>(n * n), 0.0);
  if (n == 0) return result;
  // Work on the symmetric matrix built from the lower triangle, as LAPACK's default does.
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    for (std::ptrdiff_t j = 0; j <= i; ++j) {
      const double x = a[static_cast<std::size_t>(i * n + j)];
      result.vectors[static_cast<std::size_t>(i * n + j)] = x;
      result.vectors[static_cast<std::size_t>(j * n + i)] = x;
    }
  }
  std::vector<double> e(static_cast<std::size_t>(n), 0.0);
  Square v{result.vectors, n};
  tridiagonalise(v, result.values, e);
  std::vector<double> transposed(result.vectors.size());
  for (std::ptrdiff_t i = 0; i < n; ++i)
    for (std::ptrdiff_t j = 0; j < n; ++j) transposed[static_cast<std::size_t>(j * n + i)] = v(i, j);
  Square vt{transposed, n};
  diagonalise(vt, result.values, e);
  for (std::ptrdiff_t i = 0; i < n; ++i)
    for (std::ptrdiff_t j = 0; j < n; ++j) v(i, j) = vt(j, i);

  std::vector<double>& d = result.values;
  for (std::ptrdiff_t i = 0; i < n - 1; ++i) {
    std::ptrdiff_t k = i;
    double p = d[i];
    for (std::ptrdiff_t j = i + 1; j < n; ++j) {
      if (d[j] < p) {
        k = j;
        p = d[j];
      }
    }
    if (k != i) {
      d[k] = d[i];
      d[i] = p;
      for (std::ptrdiff_t j = 0; j < n; ++j) std::swap(v(j, i), v(j, k));
    }
  }
  return result;
}

}  // namespace velmora::core

#pragma once
// Eigen-decomposition of a real symmetric matrix (Householder tridiagonalisation followed by
// the implicit QL method), for the small covariance matrices of a window's securities.

#include <cstddef>
#include <vector>

namespace velmora::core {

struct SymmetricEigen {
  std::vector<double> values;   // ascending
  std::vector<double> vectors;  // row-major n x n, column j the unit eigenvector of values[j]
};

// `a` is row-major n x n and must be finite; only its lower triangle is read.
// Throws std::runtime_error if the QL iteration fails to converge (it does not for finite
// input in practice).
SymmetricEigen symmetric_eigen(const std::vector<double>& a, std::ptrdiff_t n);

}  // namespace velmora::core

#pragma once
// Element-wise decisions of the meta-label pipeline's feature steps. Kept native so that
// training rows, cross-validation test rows and live feature rows are cleaned by one rule.

#include <cstddef>
#include <vector>

namespace velmora::core {

// Magnitudes beyond this are indicator blow-ups (divisions by a near-zero range), not
// information: they become missing values and are imputed.
inline constexpr double kExtremeFeatureMagnitude = 1e15;

// numpy's isclose(x, 0) with its default tolerances: |x| <= atol = 1e-8.
inline constexpr double kFeatureZeroTolerance = 1e-8;

// In place: |x| > 1e15 (infinities included) becomes NaN, |x| <= 1e-8 becomes exactly 0,
// NaN stays NaN, everything else is unchanged.
void clean_feature_values(double* values, std::size_t count);

// Columns of an absolute correlation matrix (k x k, strides in elements) that have an
// entry strictly above `threshold` above the diagonal, i.e. a column to their left that
// they correlate with. NaN never counts. Ascending column positions.
std::vector<std::size_t> highly_correlated_columns(const double* abs_corr, std::size_t k,
                                                   std::ptrdiff_t row_stride,
                                                   std::ptrdiff_t col_stride, double threshold);

}  // namespace velmora::core

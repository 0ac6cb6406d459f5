#pragma once
// The one matrix view every kernel takes: numpy arrays of any layout are read through it
// without a copy.

#include <cstddef>

namespace velmora::core {

// A strided read-only rows x cols matrix of doubles; strides count elements, not bytes.
struct MatrixView {
  const double* data = nullptr;
  std::ptrdiff_t rows = 0;
  std::ptrdiff_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 1;
  double operator()(std::ptrdiff_t r, std::ptrdiff_t c) const {
    return data[r * row_stride + c * col_stride];
  }
};

}  // namespace velmora::core

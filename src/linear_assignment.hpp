#pragma once

// Minimum-cost assignment of a rectangular cost matrix: the shortest augmenting path method
// (Crouse 2016), with the same choices on ties as scipy.optimize.linear_sum_assignment, so the
// tracking metrics pick the same pairs as the reference kit when several assignments cost the
// same.

#include <cstddef>
#include <vector>

namespace kovra_utils::assignment {

/// A rows x cols matrix of doubles, row-major.
struct CostMatrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> values;

  CostMatrix() = default;
  CostMatrix(std::size_t rows_, std::size_t cols_, double fill = 0.0)
      : rows(rows_), cols(cols_), values(rows_ * cols_, fill) {}
  double& operator()(std::size_t row, std::size_t col) { return values[row * cols + col]; }
  double operator()(std::size_t row, std::size_t col) const { return values[row * cols + col]; }
};

/// The assigned pairs, min(rows, cols) of them, in ascending row order.
struct Assignment {
  std::vector<std::size_t> rows;
  std::vector<std::size_t> cols;
};

/// The assignment of minimum total cost. Throws ArgumentError for a NaN or -inf entry, or when
/// every complete assignment passes through a +inf entry.
Assignment linear_sum_assignment(const CostMatrix& cost);

}  // namespace kovra_utils::assignment

#include "linear_assignment.hpp"

#include <kovra_utils/types.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>

namespace kovra_utils::assignment {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::ptrdiff_t none = -1;

// Working state of the solver over a matrix with at least as many columns as rows.
struct Solver {
  const CostMatrix& cost;
  std::vector<double> u, v, shortest;
  std::vector<std::ptrdiff_t> path, col4row, row4col, remaining;
  std::vector<bool> row_seen, col_seen;

  explicit Solver(const CostMatrix& c)
      : cost(c),
        u(c.rows, 0.0),
        v(c.cols, 0.0),
        shortest(c.cols),
        path(c.cols, none),
        col4row(c.rows, none),
        row4col(c.cols, none),
        remaining(c.cols),
        row_seen(c.rows),
        col_seen(c.cols) {}

  // The free column that ends the shortest augmenting path from `row`, and the path's length;
  // none when no finite path exists.
  std::pair<std::ptrdiff_t, double> shortest_path(std::size_t row) {
    const std::size_t nc = cost.cols;
    // Filled in reverse so that a constant matrix gives the identity assignment.
    for (std::size_t k = 0; k < nc; ++k) remaining[k] = static_cast<std::ptrdiff_t>(nc - k - 1);
    std::size_t num_remaining = nc;
    std::fill(row_seen.begin(), row_seen.end(), false);
    std::fill(col_seen.begin(), col_seen.end(), false);
    std::fill(shortest.begin(), shortest.end(), infinity);
    double min_value = 0.0;
    std::size_t i = row;
    while (true) {
      std::size_t index = nc;
      double lowest = infinity;
      row_seen[i] = true;
      for (std::size_t k = 0; k < num_remaining; ++k) {
        const auto j = static_cast<std::size_t>(remaining[k]);
        const double reduced = min_value + cost(i, j) - u[i] - v[j];
        if (reduced < shortest[j]) {
          path[j] = static_cast<std::ptrdiff_t>(i);
          shortest[j] = reduced;
        }
        // Among equally short columns prefer a free one: it ends the path.
        if (shortest[j] < lowest || (shortest[j] == lowest && row4col[j] == none)) {
          lowest = shortest[j];
          index = k;
        }
      }
      min_value = lowest;
      if (min_value == infinity) return {none, 0.0};
      const auto j = static_cast<std::size_t>(remaining[index]);
      col_seen[j] = true;
      remaining[index] = remaining[--num_remaining];
      if (row4col[j] == none) return {static_cast<std::ptrdiff_t>(j), min_value};
      i = static_cast<std::size_t>(row4col[j]);
    }
  }

  void update_duals(std::size_t current_row, double min_value) {
    u[current_row] += min_value;
    for (std::size_t i = 0; i < cost.rows; ++i) {
      if (row_seen[i] && i != current_row) {
        u[i] += min_value - shortest[static_cast<std::size_t>(col4row[i])];
      }
    }
    for (std::size_t j = 0; j < cost.cols; ++j) {
      if (col_seen[j]) v[j] -= min_value - shortest[j];
    }
  }

  void augment(std::size_t current_row, std::ptrdiff_t sink) {
    std::ptrdiff_t j = sink;
    while (true) {
      const std::ptrdiff_t i = path[static_cast<std::size_t>(j)];
      row4col[static_cast<std::size_t>(j)] = i;
      std::swap(col4row[static_cast<std::size_t>(i)], j);
      if (static_cast<std::size_t>(i) == current_row) return;
    }
  }

  void solve() {
    for (std::size_t row = 0; row < cost.rows; ++row) {
      const auto [sink, min_value] = shortest_path(row);
      if (sink == none) throw ArgumentError("linear_sum_assignment: the cost matrix is infeasible");
      update_duals(row, min_value);
      augment(row, sink);
    }
  }
};

CostMatrix transposed(const CostMatrix& cost) {
  CostMatrix out(cost.cols, cost.rows);
  for (std::size_t i = 0; i < cost.rows; ++i) {
    for (std::size_t j = 0; j < cost.cols; ++j) out(j, i) = cost(i, j);
  }
  return out;
}

void require_valid_entries(const CostMatrix& cost) {
  for (const double value : cost.values) {
    if (std::isnan(value) || value == -infinity) {
      throw ArgumentError("linear_sum_assignment: the cost matrix holds NaN or -inf");
    }
  }
}

}  // namespace

Assignment linear_sum_assignment(const CostMatrix& cost) {
  if (cost.values.size() != cost.rows * cost.cols) {
    throw ArgumentError("linear_sum_assignment: " + std::to_string(cost.values.size()) +
                        " values for a " + std::to_string(cost.rows) + " x " +
                        std::to_string(cost.cols) + " matrix");
  }
  Assignment result;
  if (cost.rows == 0 || cost.cols == 0) return result;
  require_valid_entries(cost);
  const bool transpose = cost.cols < cost.rows;
  const CostMatrix work = transpose ? transposed(cost) : cost;
  Solver solver(work);
  solver.solve();
  const std::size_t n = work.rows;
  if (!transpose) {
    for (std::size_t i = 0; i < n; ++i) {
      result.rows.push_back(i);
      result.cols.push_back(static_cast<std::size_t>(solver.col4row[i]));
    }
    return result;
  }
  // Back to the caller's orientation, sorted by the caller's row.
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return solver.col4row[a] < solver.col4row[b]; });
  for (const std::size_t k : order) {
    result.rows.push_back(static_cast<std::size_t>(solver.col4row[k]));
    result.cols.push_back(k);
  }
  return result;
}

}  // namespace kovra_utils::assignment

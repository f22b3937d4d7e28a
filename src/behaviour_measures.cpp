// Per-position measures from the masks' crops: pixel sums, zone shares and nearest distances,
// all computed on row runs, so the cost grows with the animals' outlines, not the frame.

#include "behaviour_measures.hpp"

#include <kovra_utils/interop.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

namespace kovra_utils::behaviour_detail {

namespace {

// A mask's set pixels as runs [first, last] of columns per row, frame coordinates.
struct RowRuns {
  int top = 0;
  int left = 0, right = -1;           // column extent
  std::vector<std::uint32_t> offsets;  // rows + 1 offsets into runs
  std::vector<cv::Vec2i> runs;

  int rows() const { return static_cast<int>(offsets.size()) - 1; }
  int bottom() const { return top + rows() - 1; }
  // Runs of frame row y, which must lie in [top, bottom].
  const cv::Vec2i* begin(int y) const { return runs.data() + offsets[y - top]; }
  const cv::Vec2i* end(int y) const { return runs.data() + offsets[y - top + 1]; }
};

RowRuns row_runs(const Mask& mask) {
  RowRuns result;
  const cv::Rect bounds = mask.bounds();
  result.top = bounds.y;
  result.left = bounds.x;
  result.right = bounds.x + bounds.width - 1;
  result.offsets.reserve(static_cast<std::size_t>(bounds.height) + 1);
  result.offsets.push_back(0);
  const cv::Mat& crop = mask.crop();
  const auto width = static_cast<std::size_t>(bounds.width);
  for (int r = 0; r < bounds.height; ++r) {
    const auto* row = crop.ptr<unsigned char>(r);
    std::size_t at = 0;
    while (at < width) {
      const void* first = std::memchr(row + at, 1, width - at);
      if (first == nullptr) break;
      const auto start = static_cast<std::size_t>(static_cast<const unsigned char*>(first) - row);
      const void* after = std::memchr(row + start, 0, width - start);
      const std::size_t stop =
          after == nullptr ? width : static_cast<std::size_t>(static_cast<const unsigned char*>(after) - row);
      result.runs.emplace_back(bounds.x + static_cast<int>(start), bounds.x + static_cast<int>(stop) - 1);
      at = stop;
    }
    result.offsets.push_back(static_cast<std::uint32_t>(result.runs.size()));
  }
  return result;
}

// Sum of k for k in [0, n].
std::int64_t sum_to(std::int64_t n) { return n * (n + 1) / 2; }
// Sum of k^2 for k in [0, n] (0 for n < 0).
std::int64_t squares_to(std::int64_t n) { return n < 0 ? 0 : n * (n + 1) * (2 * n + 1) / 6; }

PixelSums pixel_sums(const RowRuns& runs) {
  PixelSums sums;
  for (int y = runs.top; y <= runs.bottom(); ++y) {
    std::int64_t count = 0, x = 0;
    for (const cv::Vec2i* run = runs.begin(y); run != runs.end(y); ++run) {
      const std::int64_t first = (*run)[0], last = (*run)[1];
      count += last - first + 1;
      x += sum_to(last) - (first > 0 ? sum_to(first - 1) : 0);
      sums.xx += squares_to(last) - squares_to(first - 1);
    }
    sums.area += count;
    sums.x += x;
    sums.y += count * y;
    sums.yy += count * y * y;
    sums.xy += x * y;
  }
  return sums;
}

// Pixels two sorted run lists of one row share.
std::int64_t shared_pixels(const cv::Vec2i* a, const cv::Vec2i* a_end, const cv::Vec2i* b,
                           const cv::Vec2i* b_end) {
  std::int64_t count = 0;
  while (a != a_end && b != b_end) {
    const int first = std::max((*a)[0], (*b)[0]);
    const int last = std::min((*a)[1], (*b)[1]);
    if (first <= last) count += last - first + 1;
    if ((*a)[1] < (*b)[1]) ++a; else ++b;
  }
  return count;
}

std::int64_t shared_pixels(const RowRuns& a, const RowRuns& b) {
  const int top = std::max(a.top, b.top), bottom = std::min(a.bottom(), b.bottom());
  if (top > bottom || a.right < b.left || b.right < a.left) return 0;
  std::int64_t count = 0;
  for (int y = top; y <= bottom; ++y) count += shared_pixels(a.begin(y), a.end(y), b.begin(y), b.end(y));
  return count;
}

// Smallest column distance between the pixels of two sorted run lists of one row (0 when they
// share a column); both lists non-empty.
std::int64_t column_gap(const cv::Vec2i* a, const cv::Vec2i* a_end, const cv::Vec2i* b,
                        const cv::Vec2i* b_end) {
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  while (a != a_end && b != b_end) {
    const std::int64_t gap = std::max({0, (*b)[0] - (*a)[1], (*a)[0] - (*b)[1]});
    best = std::min(best, gap);
    if (best == 0) break;
    if ((*a)[1] < (*b)[1]) ++a; else ++b;
  }
  return best;
}

std::int64_t interval_gap(int a_first, int a_last, int b_first, int b_last) {
  return std::max({0, b_first - a_last, a_first - b_last});
}

std::int64_t square(std::int64_t v) { return v * v; }

// Lower bound of the squared distance between two masks: the gap between their rectangles.
std::int64_t bounds_distance2(const RowRuns& a, const RowRuns& b) {
  return square(interval_gap(a.left, a.right, b.left, b.right)) +
         square(interval_gap(a.top, a.bottom(), b.top, b.bottom()));
}

// Searches the squared distance between two masks, looking only for values <= `bound`: the exact
// distance when it is at most `bound`, absent otherwise.
class DistanceSearch {
 public:
  DistanceSearch(const RowRuns& a, const RowRuns& b, std::int64_t bound) : a_(a), b_(b), best_(bound) {}

  std::optional<std::int64_t> run() {
    // A first candidate from the rows facing each other shrinks the search at once.
    const int middle = std::clamp((b_.top + b_.bottom()) / 2, a_.top, a_.bottom());
    try_row_pair(middle, std::clamp(middle, b_.top, b_.bottom()));
    for (int ya = a_.top; ya <= a_.bottom(); ++ya) search_row(ya);
    if (!found_) return std::nullopt;
    return best_;
  }

 private:
  void offer(std::int64_t distance2) {
    if (distance2 < best_ || (!found_ && distance2 == best_)) {
      best_ = distance2;
      found_ = true;
    }
  }

  void try_row_pair(int ya, int yb) {
    if (a_.begin(ya) == a_.end(ya) || b_.begin(yb) == b_.end(yb)) return;
    const std::int64_t dy2 = square(ya - yb);
    if (dy2 > best_) return;
    offer(dy2 + square(column_gap(a_.begin(ya), a_.end(ya), b_.begin(yb), b_.end(yb))));
  }

  void search_row(int ya) {
    const cv::Vec2i* first = a_.begin(ya);
    const cv::Vec2i* last = a_.end(ya);
    if (first == last) return;
    const std::int64_t dy = interval_gap(ya, ya, b_.top, b_.bottom());
    const std::int64_t dx = interval_gap((*first)[0], (*(last - 1))[1], b_.left, b_.right);
    if (square(dy) + square(dx) > best_) return;
    const auto reach = static_cast<int>(std::min(std::sqrt(static_cast<double>(best_)), 1e9)) + 1;
    const int from = std::max(b_.top, ya - reach), to = std::min(b_.bottom(), ya + reach);
    for (int yb = from; yb <= to; ++yb) try_row_pair(ya, yb);
  }

  const RowRuns& a_;
  const RowRuns& b_;
  std::int64_t best_;
  bool found_ = false;
};

// What is known of one pair's squared distance: exact, or only a lower bound.
struct PairKnowledge {
  std::int64_t value = 0;
  bool exact = false;
};

// Distances among the animals of one position, each pair searched at most as far as needed.
class PositionDistances {
 public:
  explicit PositionDistances(const std::vector<RowRuns>& runs) : runs_(runs), known_(runs.size() * runs.size()) {
    for (std::size_t i = 0; i < runs.size(); ++i) {
      for (std::size_t j = i + 1; j < runs.size(); ++j) {
        known_[i * runs.size() + j] = {bounds_distance2(runs[i], runs[j]), false};
      }
    }
  }

  // The exact squared distance of (i, j) when it is at most `bound`.
  std::optional<std::int64_t> within(std::size_t i, std::size_t j, std::int64_t bound) {
    PairKnowledge& known = known_[std::min(i, j) * runs_.size() + std::max(i, j)];
    if (known.exact) return known.value <= bound ? std::optional(known.value) : std::nullopt;
    if (known.value > bound) return std::nullopt;
    const auto found = DistanceSearch(runs_[i], runs_[j], bound).run();
    known = found ? PairKnowledge{*found, true} : PairKnowledge{bound + 1, false};
    return found;
  }

  std::int64_t lower_bound(std::size_t i, std::size_t j) const {
    return known_[std::min(i, j) * runs_.size() + std::max(i, j)].value;
  }

  std::optional<Nearest> nearest(std::size_t i) {
    std::vector<std::size_t> order;
    for (std::size_t j = 0; j < runs_.size(); ++j) {
      if (j != i) order.push_back(j);
    }
    // Closest rectangles first; equal bounds in box order.
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return lower_bound(i, a) < lower_bound(i, b); });
    std::optional<Nearest> best;
    for (std::size_t j : order) {
      const std::int64_t bound = best ? best->distance2 : std::numeric_limits<std::int64_t>::max() - 1;
      if (lower_bound(i, j) > bound) break;
      const auto found = within(i, j, bound);
      if (found && (!best || *found < best->distance2 || (*found == best->distance2 && j < best->other))) {
        best = Nearest{j, *found};
      }
    }
    return best;
  }

 private:
  const std::vector<RowRuns>& runs_;
  std::vector<PairKnowledge> known_;
};

PositionMeasure measure_position(const FrameRecord& record, const std::vector<RowRuns>& zone_runs,
                                 std::int64_t contact2) {
  PositionMeasure measure;
  measure.frame_index = record.frame_index;
  std::vector<RowRuns> runs;
  for (const PresentAnimal& animal : present_animals(record)) {
    runs.push_back(row_runs(*animal.mask));
    AnimalMeasure& m = measure.animals.emplace_back();
    m.object_id = animal.object_id;
    m.box_key = *animal.box_key;
    m.sums = pixel_sums(runs.back());
    for (const RowRuns& zone : zone_runs) m.zone_pixels.push_back(shared_pixels(runs.back(), zone));
  }
  PositionDistances distances(runs);
  for (std::size_t i = 0; i < runs.size(); ++i) measure.nearest.push_back(distances.nearest(i));
  for (std::size_t i = 0; i < runs.size(); ++i) {
    for (std::size_t j = i + 1; j < runs.size(); ++j) {
      if (distances.within(i, j, contact2)) measure.contacts.push_back({i, j});
    }
  }
  return measure;
}

}  // namespace

std::int64_t contact_distance2(double contact_px) {
  if (contact_px < 0) return -1;
  auto d2 = static_cast<std::int64_t>(std::floor(contact_px * contact_px));
  while (d2 > 0 && std::sqrt(static_cast<double>(d2)) > contact_px) --d2;
  while (std::sqrt(static_cast<double>(d2 + 1)) <= contact_px) ++d2;
  return d2;
}

std::vector<PresentAnimal> present_animals(const FrameRecord& record) {
  std::vector<PresentAnimal> animals;
  for (const auto& [key, mask] : record.masks_dict) {
    const std::int64_t id = identity_of(key);
    if (!mask.is_clear()) animals.push_back({id, &key, &mask});
  }
  std::stable_sort(animals.begin(), animals.end(),
                   [](const PresentAnimal& a, const PresentAnimal& b) { return a.object_id < b.object_id; });
  return animals;
}

void require_zone_sizes(const ClipData& clip, const Zones& zones) {
  for (const auto& [key, record] : clip) {
    for (const auto& [box_key, mask] : record.masks_dict) {
      for (const Zone& zone : zones) {
        if (mask.size() != zone.raster.size()) {
          throw ArgumentError("zone \"" + zone.name + "\" is " + std::to_string(zone.raster.cols()) + " x " +
                              std::to_string(zone.raster.rows()) + " pixels but mask " + box_key +
                              " of frame " + std::to_string(record.frame_index) + " is " +
                              std::to_string(mask.cols()) + " x " + std::to_string(mask.rows()));
        }
      }
    }
  }
}

ClipMeasure measure_clip(const ClipData& clip, const Zones& zones, double start_time_s, double contact_px) {
  require_zone_sizes(clip, zones);
  std::vector<RowRuns> zone_runs;
  for (const Zone& zone : zones) zone_runs.push_back(row_runs(zone.raster));
  ClipMeasure result;
  result.start_time_s = start_time_s;
  result.positions.reserve(clip.size());
  const std::int64_t contact2 = contact_distance2(contact_px);
  for (const auto& [key, record] : clip) result.positions.push_back(measure_position(record, zone_runs, contact2));
  return result;
}

}  // namespace kovra_utils::behaviour_detail

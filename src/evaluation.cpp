#include <kovra_utils/evaluation.hpp>

#include <kovra_utils/interop.hpp>

#include "linear_assignment.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>

namespace kovra_utils {

namespace {

using assignment::CostMatrix;
using assignment::linear_sum_assignment;

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr std::int64_t no_id = -1;  // the kit's NaN in its id arrays
constexpr double match_threshold = 0.5;

struct IdPair {
  std::size_t gt;
  std::size_t tracker;
  bool operator<(const IdPair& other) const {
    return gt != other.gt ? gt < other.gt : tracker < other.tracker;
  }
};

// One sequence as the metrics see it: per frame the relabelled ids of both sides and the
// similarity of every (ground truth, predicted) pair, rows ground truth.
struct Sequence {
  std::size_t num_gt_ids = 0;
  std::size_t num_tracker_ids = 0;
  std::int64_t num_gt_dets = 0;
  std::int64_t num_tracker_dets = 0;
  std::int64_t num_timesteps = 0;
  std::vector<std::vector<std::size_t>> gt_ids;
  std::vector<std::vector<std::size_t>> tracker_ids;
  std::vector<CostMatrix> similarity;
  // The (ground truth, predicted) id pairs that share a frame, and per frame the pair of each
  // similarity cell: the id tables are kept over these pairs only.
  std::vector<IdPair> pairs;
  std::vector<std::vector<std::size_t>> pair_of_cell;
};

// ---- building the sequence ------------------------------------------------------------------

template <class Tracks>
std::vector<std::int64_t> frame_union(const Tracks& a, const Tracks& b) {
  std::set<std::int64_t> frames;
  for (const auto& [frame, objects] : a) frames.insert(frame);
  for (const auto& [frame, objects] : b) frames.insert(frame);
  return {frames.begin(), frames.end()};
}

// Identity value -> 0, 1, ... in ascending order of the values kept by `keep`.
template <class Tracks, class Keep>
std::map<std::int64_t, std::size_t> relabelling(const Tracks& tracks, Keep keep) {
  std::map<std::int64_t, std::size_t> labels;
  for (const auto& [frame, objects] : tracks) {
    for (const auto& [id, value] : objects) {
      if (keep(value)) labels.emplace(id, 0);
    }
  }
  std::size_t next = 0;
  for (auto& [id, label] : labels) label = next++;
  return labels;
}

// The kept detections of one frame of one side, in map order.
template <class Value>
struct FrameDetections {
  std::vector<std::size_t> ids;
  std::vector<std::int64_t> raw_ids;
  std::vector<const Value*> values;
};

template <class Tracks, class Keep>
auto frame_detections(const Tracks& tracks, std::int64_t frame,
                      const std::map<std::int64_t, std::size_t>& labels, Keep keep) {
  using Value = typename Tracks::mapped_type::mapped_type;
  FrameDetections<Value> out;
  const auto found = tracks.find(frame);
  if (found == tracks.end()) return out;
  for (const auto& [id, value] : found->second) {
    if (!keep(value)) continue;
    out.ids.push_back(labels.at(id));
    out.raw_ids.push_back(id);
    out.values.push_back(&value);
  }
  return out;
}

// Numbers the id pairs that share a frame in ascending (ground truth, predicted) order, the
// order the dense tables were summed in.
void index_pairs(Sequence& seq) {
  std::unordered_map<std::uint64_t, std::size_t> index;
  const auto key = [&](std::size_t g, std::size_t k) {
    return static_cast<std::uint64_t>(g) * seq.num_tracker_ids + k;
  };
  for (std::size_t t = 0; t < seq.gt_ids.size(); ++t) {
    for (const std::size_t g : seq.gt_ids[t]) {
      for (const std::size_t k : seq.tracker_ids[t]) {
        if (index.emplace(key(g, k), 0).second) seq.pairs.push_back({g, k});
      }
    }
  }
  std::sort(seq.pairs.begin(), seq.pairs.end());
  for (std::size_t p = 0; p < seq.pairs.size(); ++p) {
    index[key(seq.pairs[p].gt, seq.pairs[p].tracker)] = p;
  }
  seq.pair_of_cell.resize(seq.gt_ids.size());
  for (std::size_t t = 0; t < seq.gt_ids.size(); ++t) {
    auto& cells = seq.pair_of_cell[t];
    cells.reserve(seq.gt_ids[t].size() * seq.tracker_ids[t].size());
    for (const std::size_t g : seq.gt_ids[t]) {
      for (const std::size_t k : seq.tracker_ids[t]) cells.push_back(index.at(key(g, k)));
    }
  }
}

template <class Tracks, class Keep, class Similarity>
Sequence build_sequence(const Tracks& predicted, const Tracks& ground_truth, Keep keep,
                        Similarity similarity) {
  const auto gt_labels = relabelling(ground_truth, keep);
  const auto tracker_labels = relabelling(predicted, keep);
  Sequence seq;
  seq.num_gt_ids = gt_labels.size();
  seq.num_tracker_ids = tracker_labels.size();
  for (const std::int64_t frame : frame_union(predicted, ground_truth)) {
    const auto gt = frame_detections(ground_truth, frame, gt_labels, keep);
    const auto tracker = frame_detections(predicted, frame, tracker_labels, keep);
    CostMatrix scores(gt.ids.size(), tracker.ids.size());
    for (std::size_t i = 0; i < gt.ids.size(); ++i) {
      for (std::size_t j = 0; j < tracker.ids.size(); ++j) {
        scores(i, j) =
            similarity(*gt.values[i], *tracker.values[j], frame, gt.raw_ids[i], tracker.raw_ids[j]);
      }
    }
    seq.num_gt_dets += static_cast<std::int64_t>(gt.ids.size());
    seq.num_tracker_dets += static_cast<std::int64_t>(tracker.ids.size());
    seq.gt_ids.push_back(gt.ids);
    seq.tracker_ids.push_back(tracker.ids);
    seq.similarity.push_back(std::move(scores));
  }
  seq.num_timesteps = static_cast<std::int64_t>(seq.gt_ids.size());
  index_pairs(seq);
  return seq;
}

void require_same_plane(cv::Size gt, cv::Size tracker, std::int64_t frame, std::int64_t gt_id,
                        std::int64_t tracker_id) {
  if (gt != tracker) {
    throw ArgumentError("frame " + std::to_string(frame) + ": ground-truth mask of identity " +
                        std::to_string(gt_id) + " is " + std::to_string(gt.width) + " x " +
                        std::to_string(gt.height) + ", predicted mask of identity " +
                        std::to_string(tracker_id) + " is " + std::to_string(tracker.width) +
                        " x " + std::to_string(tracker.height) + " (width x height)");
  }
}

double mask_iou(const Mask& gt, const Mask& tracker, std::int64_t frame, std::int64_t gt_id,
                std::int64_t tracker_id) {
  require_same_plane(gt.size(), tracker.size(), frame, gt_id, tracker_id);
  if ((gt.bounds() & tracker.bounds()).empty()) return 0.0;
  const std::int64_t intersection = overlap_count(gt, tracker);
  if (intersection == 0) return 0.0;
  const std::int64_t united = gt.area() + tracker.area() - intersection;
  return static_cast<double>(intersection) / static_cast<double>(united);
}

// The kit's box IoU on x0y0x1y1 boxes, element for element.
double box_iou(const Box& a, const Box& b) {
  const double width = std::max(std::min(a.x2, b.x2) - std::max(a.x1, b.x1), 0.0);
  const double height = std::max(std::min(a.y2, b.y2) - std::max(a.y1, b.y1), 0.0);
  double intersection = width * height;
  const double area_a = (a.x2 - a.x1) * (a.y2 - a.y1);
  const double area_b = (b.x2 - b.x1) * (b.y2 - b.y1);
  double united = area_a + area_b - intersection;
  if (area_a <= 0 + eps || area_b <= 0 + eps || united <= 0 + eps) intersection = 0;
  if (united <= 0 + eps) united = 1;
  return intersection / united;
}

void require_finite_boxes(const TrackBoxes& tracks, const char* side) {
  for (const auto& [frame, objects] : tracks) {
    for (const auto& [id, box] : objects) {
      if (!std::isfinite(box.x1) || !std::isfinite(box.y1) || !std::isfinite(box.x2) ||
          !std::isfinite(box.y2)) {
        throw ArgumentError(std::string(side) + " frame " + std::to_string(frame) + ", identity " +
                            std::to_string(id) + ": box coordinates must be finite");
      }
      // Sides and areas that overflow would make the IoU NaN.
      const double width = box.x2 - box.x1;
      const double height = box.y2 - box.y1;
      if (!std::isfinite(width) || !std::isfinite(height) || !std::isfinite(2 * width * height)) {
        throw ArgumentError(std::string(side) + " frame " + std::to_string(frame) + ", identity " +
                            std::to_string(id) + ": the box is too large to compare");
      }
    }
  }
}

// ---- HOTA -----------------------------------------------------------------------------------

void finish_hota(HotaMetrics& res) {
  for (std::size_t a = 0; a < hota_alpha_count; ++a) {
    const double tp = static_cast<double>(res.HOTA_TP[a]);
    const double fn = static_cast<double>(res.HOTA_FN[a]);
    const double fp = static_cast<double>(res.HOTA_FP[a]);
    res.DetRe[a] = tp / std::max(1.0, tp + fn);
    res.DetPr[a] = tp / std::max(1.0, tp + fp);
    res.DetA[a] = tp / std::max(1.0, tp + fn + fp);
    res.HOTA[a] = std::sqrt(res.DetA[a] * res.AssA[a]);
    res.RHOTA[a] = std::sqrt(res.DetRe[a] * res.AssA[a]);
  }
  res.HOTA_0 = res.HOTA[0];
  res.LocA_0 = res.LocA[0];
  res.HOTALocA_0 = res.HOTA_0 * res.LocA_0;
}

// The kit's result for a sequence without detections on one side.
HotaMetrics empty_hota(const Sequence& seq) {
  HotaMetrics res;
  res.LocA.fill(1.0);
  res.LocA_0 = 1.0;
  if (seq.num_tracker_dets == 0) {
    res.HOTA_FN.fill(seq.num_gt_dets);
  } else {
    res.HOTA_FP.fill(seq.num_tracker_dets);
  }
  return res;
}

// Jaccard alignment of every id pair that shares a frame over the whole sequence, from the
// per-frame similarities normalised by each detection's total similarity.
std::vector<double> global_alignment(const Sequence& seq, const std::vector<double>& gt_id_count,
                                     const std::vector<double>& tracker_id_count) {
  std::vector<double> potential(seq.pairs.size(), 0.0);
  for (std::size_t t = 0; t < seq.similarity.size(); ++t) {
    const CostMatrix& sim = seq.similarity[t];
    const auto& cells = seq.pair_of_cell[t];
    std::vector<double> row_sum(sim.rows, 0.0), col_sum(sim.cols, 0.0);
    for (std::size_t i = 0; i < sim.rows; ++i) {
      for (std::size_t j = 0; j < sim.cols; ++j) {
        row_sum[i] += sim(i, j);
        col_sum[j] += sim(i, j);
      }
    }
    for (std::size_t i = 0; i < sim.rows; ++i) {
      for (std::size_t j = 0; j < sim.cols; ++j) {
        const double denominator = col_sum[j] + row_sum[i] - sim(i, j);
        if (denominator > 0 + eps) potential[cells[i * sim.cols + j]] += sim(i, j) / denominator;
      }
    }
  }
  std::vector<double> score(seq.pairs.size());
  for (std::size_t p = 0; p < seq.pairs.size(); ++p) {
    const double gt = gt_id_count[seq.pairs[p].gt];
    const double tracker = tracker_id_count[seq.pairs[p].tracker];
    score[p] = potential[p] / (gt + tracker - potential[p]);
  }
  return score;
}

// Detections per id of each side.
void count_ids(const Sequence& seq, std::vector<double>& gt_id_count,
               std::vector<double>& tracker_id_count) {
  gt_id_count.assign(seq.num_gt_ids, 0.0);
  tracker_id_count.assign(seq.num_tracker_ids, 0.0);
  for (const auto& ids : seq.gt_ids) {
    for (const std::size_t id : ids) gt_id_count[id] += 1;
  }
  for (const auto& ids : seq.tracker_ids) {
    for (const std::size_t id : ids) tracker_id_count[id] += 1;
  }
}

// Pairs that never share a frame have no match and add nothing: the sums run over the pairs
// in (ground truth, predicted) order, as over the dense table.
void association_scores(HotaMetrics& res, std::size_t a, const Sequence& seq,
                        const std::vector<double>& matches, const std::vector<double>& gt_id_count,
                        const std::vector<double>& tracker_id_count) {
  double ass_a = 0, ass_re = 0, ass_pr = 0;
  for (std::size_t p = 0; p < seq.pairs.size(); ++p) {
    const double m = matches[p];
    const double gt = gt_id_count[seq.pairs[p].gt];
    const double tracker = tracker_id_count[seq.pairs[p].tracker];
    ass_a += m * (m / std::max(1.0, gt + tracker - m));
    ass_re += m * (m / std::max(1.0, gt));
    ass_pr += m * (m / std::max(1.0, tracker));
  }
  const double tp = std::max(1.0, static_cast<double>(res.HOTA_TP[a]));
  res.AssA[a] = ass_a / tp;
  res.AssRe[a] = ass_re / tp;
  res.AssPr[a] = ass_pr / tp;
}

HotaMetrics compute_hota(const Sequence& seq) {
  if (seq.num_tracker_dets == 0 || seq.num_gt_dets == 0) return empty_hota(seq);
  std::vector<double> gt_id_count, tracker_id_count;
  count_ids(seq, gt_id_count, tracker_id_count);
  const std::vector<double> alignment = global_alignment(seq, gt_id_count, tracker_id_count);
  const HotaArray& alphas = hota_alphas();
  std::vector<std::vector<double>> matches(hota_alpha_count,
                                           std::vector<double>(seq.pairs.size(), 0.0));
  HotaMetrics res;
  for (std::size_t t = 0; t < seq.similarity.size(); ++t) {
    const auto& gt_ids = seq.gt_ids[t];
    const auto& tracker_ids = seq.tracker_ids[t];
    const CostMatrix& sim = seq.similarity[t];
    const auto& cells = seq.pair_of_cell[t];
    const auto n_gt = static_cast<std::int64_t>(gt_ids.size());
    const auto n_tracker = static_cast<std::int64_t>(tracker_ids.size());
    if (n_gt == 0 || n_tracker == 0) {
      for (std::size_t a = 0; a < hota_alpha_count; ++a) {
        res.HOTA_FP[a] += n_gt == 0 ? n_tracker : 0;
        res.HOTA_FN[a] += n_gt == 0 ? 0 : n_gt;
      }
      continue;
    }
    CostMatrix cost(sim.rows, sim.cols);
    for (std::size_t i = 0; i < sim.rows; ++i) {
      for (std::size_t j = 0; j < sim.cols; ++j) {
        cost(i, j) = -(alignment[cells[i * sim.cols + j]] * sim(i, j));
      }
    }
    const auto pairs = linear_sum_assignment(cost);
    for (std::size_t a = 0; a < hota_alpha_count; ++a) {
      std::int64_t num_matches = 0;
      for (std::size_t m = 0; m < pairs.rows.size(); ++m) {
        const double s = sim(pairs.rows[m], pairs.cols[m]);
        if (!(s >= alphas[a] - eps)) continue;
        ++num_matches;
        res.LocA[a] += s;
        matches[a][cells[pairs.rows[m] * sim.cols + pairs.cols[m]]] += 1;
      }
      res.HOTA_TP[a] += num_matches;
      res.HOTA_FN[a] += n_gt - num_matches;
      res.HOTA_FP[a] += n_tracker - num_matches;
    }
  }
  for (std::size_t a = 0; a < hota_alpha_count; ++a) {
    association_scores(res, a, seq, matches[a], gt_id_count, tracker_id_count);
    res.LocA[a] =
        std::max(1e-10, res.LocA[a]) / std::max(1e-10, static_cast<double>(res.HOTA_TP[a]));
  }
  finish_hota(res);
  return res;
}

// ---- CLEAR ----------------------------------------------------------------------------------

void finish_clear(ClearMetrics& res) {
  const double tp = static_cast<double>(res.CLR_TP);
  const double fn = static_cast<double>(res.CLR_FN);
  const double fp = static_cast<double>(res.CLR_FP);
  const double idsw = static_cast<double>(res.IDSW);
  const double num_gt_ids = static_cast<double>(res.MT + res.ML + res.PT);
  res.MTR = static_cast<double>(res.MT) / std::max(1.0, num_gt_ids);
  res.MLR = static_cast<double>(res.ML) / std::max(1.0, num_gt_ids);
  res.PTR = static_cast<double>(res.PT) / std::max(1.0, num_gt_ids);
  res.CLR_Re = tp / std::max(1.0, tp + fn);
  res.CLR_Pr = tp / std::max(1.0, tp + fp);
  res.MODA = (tp - fp) / std::max(1.0, tp + fn);
  res.MOTA = (tp - fp - idsw) / std::max(1.0, tp + fn);
  res.MOTP = res.MOTP_sum / std::max(1.0, tp);
  res.sMOTA = (res.MOTP_sum - fp - idsw) / std::max(1.0, tp + fn);
  res.CLR_F1 = tp / std::max(1.0, tp + 0.5 * fn + 0.5 * fp);
  res.FP_per_frame = fp / std::max(1.0, static_cast<double>(res.CLR_Frames));
  const double safe_log_idsw = res.IDSW > 0 ? std::log10(idsw) : idsw;
  res.MOTAL = (tp - fp - safe_log_idsw) / std::max(1.0, tp + fn);
}

// Per ground-truth id: frames present, frames matched, starts of matched runs.
struct ClearTrackCounts {
  std::vector<std::int64_t> present, matched, fragments;
};

void clear_track_totals(ClearMetrics& res, const ClearTrackCounts& counts, std::size_t num_gt_ids) {
  for (std::size_t g = 0; g < num_gt_ids; ++g) {
    if (counts.present[g] > 0) {
      const double ratio =
          static_cast<double>(counts.matched[g]) / static_cast<double>(counts.present[g]);
      if (ratio > 0.8) {
        ++res.MT;
      } else if (ratio >= 0.2) {
        ++res.PT;
      }
    }
    if (counts.fragments[g] > 0) res.Frag += counts.fragments[g] - 1;
  }
  res.ML = static_cast<std::int64_t>(num_gt_ids) - res.MT - res.PT;
}

ClearMetrics compute_clear(const Sequence& seq) {
  ClearMetrics res;
  if (seq.num_tracker_dets == 0) {
    res.CLR_FN = seq.num_gt_dets;
    res.ML = static_cast<std::int64_t>(seq.num_gt_ids);
    res.MLR = 1.0;
    return res;
  }
  if (seq.num_gt_dets == 0) {
    res.CLR_FP = seq.num_tracker_dets;
    res.MLR = 1.0;
    return res;
  }
  const std::size_t num_gt_ids = seq.num_gt_ids;
  ClearTrackCounts counts{std::vector<std::int64_t>(num_gt_ids, 0),
                          std::vector<std::int64_t>(num_gt_ids, 0),
                          std::vector<std::int64_t>(num_gt_ids, 0)};
  // The last predicted id matched to each ground-truth id (for IDSW), and the one matched in
  // the single previous frame that had detections on both sides (for matching and Frag).
  std::vector<std::int64_t> prev_tracker_id(num_gt_ids, no_id);
  std::vector<std::int64_t> prev_timestep_tracker_id(num_gt_ids, no_id);
  for (std::size_t t = 0; t < seq.similarity.size(); ++t) {
    const auto& gt_ids = seq.gt_ids[t];
    const auto& tracker_ids = seq.tracker_ids[t];
    const CostMatrix& sim = seq.similarity[t];
    if (gt_ids.empty()) {
      res.CLR_FP += static_cast<std::int64_t>(tracker_ids.size());
      continue;
    }
    if (tracker_ids.empty()) {
      res.CLR_FN += static_cast<std::int64_t>(gt_ids.size());
      for (const std::size_t g : gt_ids) ++counts.present[g];
      continue;
    }
    CostMatrix score(sim.rows, sim.cols);
    CostMatrix cost(sim.rows, sim.cols);
    for (std::size_t i = 0; i < sim.rows; ++i) {
      for (std::size_t j = 0; j < sim.cols; ++j) {
        const bool continues =
            prev_timestep_tracker_id[gt_ids[i]] == static_cast<std::int64_t>(tracker_ids[j]);
        score(i, j) = sim(i, j) < match_threshold - eps ? 0.0 : 1000.0 * continues + sim(i, j);
        cost(i, j) = -score(i, j);
      }
    }
    const auto pairs = linear_sum_assignment(cost);
    std::vector<std::int64_t> current(num_gt_ids, no_id);
    std::int64_t num_matches = 0;
    for (std::size_t m = 0; m < pairs.rows.size(); ++m) {
      if (!(score(pairs.rows[m], pairs.cols[m]) > 0 + eps)) continue;
      const std::size_t g = gt_ids[pairs.rows[m]];
      const auto k = static_cast<std::int64_t>(tracker_ids[pairs.cols[m]]);
      if (prev_tracker_id[g] != no_id && prev_tracker_id[g] != k) ++res.IDSW;
      prev_tracker_id[g] = k;
      current[g] = k;
      ++counts.matched[g];
      ++num_matches;
      res.MOTP_sum += sim(pairs.rows[m], pairs.cols[m]);
    }
    for (const std::size_t g : gt_ids) ++counts.present[g];
    for (std::size_t g = 0; g < num_gt_ids; ++g) {
      if (prev_timestep_tracker_id[g] == no_id && current[g] != no_id) ++counts.fragments[g];
    }
    prev_timestep_tracker_id = std::move(current);
    res.CLR_TP += num_matches;
    res.CLR_FN += static_cast<std::int64_t>(gt_ids.size()) - num_matches;
    res.CLR_FP += static_cast<std::int64_t>(tracker_ids.size()) - num_matches;
  }
  clear_track_totals(res, counts, num_gt_ids);
  res.CLR_Frames = seq.num_timesteps;
  finish_clear(res);
  return res;
}

// ---- Identity -------------------------------------------------------------------------------

void finish_identity(IdentityMetrics& res) {
  const double tp = static_cast<double>(res.IDTP);
  const double fn = static_cast<double>(res.IDFN);
  const double fp = static_cast<double>(res.IDFP);
  res.IDR = tp / std::max(1.0, tp + fn);
  res.IDP = tp / std::max(1.0, tp + fp);
  res.IDF1 = tp / std::max(1.0, tp + 0.5 * fp + 0.5 * fn);
}

// Per id pair, the frames in which the pair's similarity reaches the match threshold.
std::vector<double> match_counts(const Sequence& seq) {
  std::vector<double> counts(seq.pairs.size(), 0.0);
  for (std::size_t t = 0; t < seq.similarity.size(); ++t) {
    const CostMatrix& sim = seq.similarity[t];
    for (std::size_t c = 0; c < sim.values.size(); ++c) {
      if (sim.values[c] >= match_threshold) counts[seq.pair_of_cell[t][c]] += 1;
    }
  }
  return counts;
}

// Groups the pairs with matches into connected parts of the id graph (union-find over ground
// truth ids, then predicted ids offset by their count).
std::vector<std::vector<std::size_t>> connected_pairs(const Sequence& seq,
                                                      const std::vector<double>& counts) {
  std::vector<std::size_t> parent(seq.num_gt_ids + seq.num_tracker_ids);
  for (std::size_t n = 0; n < parent.size(); ++n) parent[n] = n;
  const auto root = [&](std::size_t n) {
    while (parent[n] != n) n = parent[n] = parent[parent[n]];
    return n;
  };
  for (std::size_t p = 0; p < seq.pairs.size(); ++p) {
    if (counts[p] > 0) {
      parent[root(seq.pairs[p].gt)] = root(seq.num_gt_ids + seq.pairs[p].tracker);
    }
  }
  std::unordered_map<std::size_t, std::size_t> part_of_root;
  std::vector<std::vector<std::size_t>> parts;
  for (std::size_t p = 0; p < seq.pairs.size(); ++p) {
    if (counts[p] == 0) continue;
    const auto [found, added] = part_of_root.emplace(root(seq.pairs[p].gt), parts.size());
    if (added) parts.emplace_back();
    parts[found->second].push_back(p);
  }
  return parts;
}

// The most detections a one-to-one pairing of ids can match: the kit's global assignment
// (every id paired with another or with a dummy that leaves its track unmatched) minimises
// total_gt + total_predicted - 2 * matched, so only this maximum enters IDTP, IDFN and IDFP.
// Each connected part of the ids that ever match is solved on its own.
double matched_detections(const Sequence& seq, const std::vector<double>& counts) {
  double matched = 0;
  for (const std::vector<std::size_t>& part : connected_pairs(seq, counts)) {
    std::map<std::size_t, std::size_t> rows, cols;
    for (const std::size_t p : part) {
      rows.emplace(seq.pairs[p].gt, rows.size());
      cols.emplace(seq.pairs[p].tracker, cols.size());
    }
    CostMatrix cost(rows.size(), cols.size());
    for (const std::size_t p : part) {
      cost(rows.at(seq.pairs[p].gt), cols.at(seq.pairs[p].tracker)) = -counts[p];
    }
    const auto pairs = linear_sum_assignment(cost);
    for (std::size_t m = 0; m < pairs.rows.size(); ++m) {
      matched -= cost(pairs.rows[m], pairs.cols[m]);
    }
  }
  return matched;
}

IdentityMetrics compute_identity(const Sequence& seq) {
  IdentityMetrics res;
  if (seq.num_tracker_dets == 0) {
    res.IDFN = seq.num_gt_dets;
    return res;
  }
  if (seq.num_gt_dets == 0) {
    res.IDFP = seq.num_tracker_dets;
    return res;
  }
  res.IDTP = static_cast<std::int64_t>(matched_detections(seq, match_counts(seq)));
  res.IDFN = seq.num_gt_dets - res.IDTP;
  res.IDFP = seq.num_tracker_dets - res.IDTP;
  finish_identity(res);
  return res;
}

TrackingEvaluation evaluate_sequence(const Sequence& seq) {
  return {compute_hota(seq), compute_clear(seq), compute_identity(seq)};
}

// ---- JSON -----------------------------------------------------------------------------------

template <class Array>
nlohmann::ordered_json json_list(const Array& values) {
  return nlohmann::ordered_json(
      std::vector<typename Array::value_type>(values.begin(), values.end()));
}

nlohmann::ordered_json hota_json(const HotaMetrics& h) {
  const std::vector<std::pair<const char*, const HotaArray*>> arrays = {
      {"HOTA", &h.HOTA},   {"DetA", &h.DetA},   {"AssA", &h.AssA},
      {"DetRe", &h.DetRe}, {"DetPr", &h.DetPr}, {"AssRe", &h.AssRe},
      {"AssPr", &h.AssPr}, {"LocA", &h.LocA},   {"RHOTA", &h.RHOTA}};
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  nlohmann::ordered_json per_alpha = nlohmann::ordered_json::object();
  for (const auto& [name, values] : arrays) {
    out[name] = hota_mean(*values);
    per_alpha[name] = json_list(*values);
  }
  out["HOTA(0)"] = h.HOTA_0;
  out["LocA(0)"] = h.LocA_0;
  out["HOTALocA(0)"] = h.HOTALocA_0;
  per_alpha["HOTA_TP"] = json_list(h.HOTA_TP);
  per_alpha["HOTA_FN"] = json_list(h.HOTA_FN);
  per_alpha["HOTA_FP"] = json_list(h.HOTA_FP);
  out["alpha"] = json_list(hota_alphas());
  out["per_alpha"] = std::move(per_alpha);
  return out;
}

nlohmann::ordered_json clear_json(const ClearMetrics& c) {
  return {{"MOTA", c.MOTA},
          {"MOTP", c.MOTP},
          {"MODA", c.MODA},
          {"CLR_Re", c.CLR_Re},
          {"CLR_Pr", c.CLR_Pr},
          {"MTR", c.MTR},
          {"PTR", c.PTR},
          {"MLR", c.MLR},
          {"sMOTA", c.sMOTA},
          {"CLR_F1", c.CLR_F1},
          {"FP_per_frame", c.FP_per_frame},
          {"MOTAL", c.MOTAL},
          {"MOTP_sum", c.MOTP_sum},
          {"CLR_TP", c.CLR_TP},
          {"CLR_FN", c.CLR_FN},
          {"CLR_FP", c.CLR_FP},
          {"IDSW", c.IDSW},
          {"MT", c.MT},
          {"PT", c.PT},
          {"ML", c.ML},
          {"Frag", c.Frag},
          {"CLR_Frames", c.CLR_Frames}};
}

nlohmann::ordered_json identity_json(const IdentityMetrics& i) {
  return {{"IDF1", i.IDF1}, {"IDR", i.IDR},   {"IDP", i.IDP},
          {"IDTP", i.IDTP}, {"IDFN", i.IDFN}, {"IDFP", i.IDFP}};
}

}  // namespace

const HotaArray& hota_alphas() {
  static const HotaArray alphas = [] {
    HotaArray values{};
    for (std::size_t a = 0; a < hota_alpha_count; ++a) {
      values[a] = 0.05 + static_cast<double>(a) * 0.05;
    }
    return values;
  }();
  return alphas;
}

double hota_mean(const HotaArray& values) {
  double sum = 0;
  for (const double value : values) sum += value;
  return sum / static_cast<double>(values.size());
}

TrackingEvaluation evaluate_tracking(const TrackMasks& predicted, const TrackMasks& ground_truth,
                                     const EvaluationOptions& options) {
  const auto keep = [&](const Mask& mask) { return !options.drop_empty_masks || !mask.is_clear(); };
  return evaluate_sequence(build_sequence(predicted, ground_truth, keep, mask_iou));
}

TrackingEvaluation evaluate_tracking(const TrackRles& predicted, const TrackRles& ground_truth,
                                     const EvaluationOptions& options) {
  for (const TrackRles* side : {&predicted, &ground_truth}) {
    for (const auto& [frame, objects] : *side) {
      for (const auto& [id, rle] : objects) rle_area(rle);  // ContentError when invalid
    }
  }
  const auto keep = [&](const Rle& rle) {
    if (!options.drop_empty_masks) return true;
    for (std::size_t i = 1; i < rle.counts.size(); i += 2) {
      if (rle.counts[i] > 0) return true;
    }
    return false;
  };
  const auto similarity = [](const Rle& gt, const Rle& tracker, std::int64_t frame,
                             std::int64_t gt_id, std::int64_t tracker_id) {
    require_same_plane({gt.width, gt.height}, {tracker.width, tracker.height}, frame, gt_id,
                       tracker_id);
    return rle_iou(tracker, gt);
  };
  return evaluate_sequence(build_sequence(predicted, ground_truth, keep, similarity));
}

TrackingEvaluation evaluate_tracking(const TrackBoxes& predicted, const TrackBoxes& ground_truth,
                                     const EvaluationOptions& /*options*/) {
  require_finite_boxes(predicted, "predicted");
  require_finite_boxes(ground_truth, "ground truth");
  const auto keep = [](const Box&) { return true; };
  const auto similarity = [](const Box& gt, const Box& tracker, std::int64_t, std::int64_t,
                             std::int64_t) { return box_iou(gt, tracker); };
  return evaluate_sequence(build_sequence(predicted, ground_truth, keep, similarity));
}

std::string evaluation_to_json(const TrackingEvaluation& evaluation) {
  nlohmann::ordered_json document = {{"HOTA", hota_json(evaluation.HOTA)},
                                     {"CLEAR", clear_json(evaluation.CLEAR)},
                                     {"Identity", identity_json(evaluation.Identity)}};
  return document.dump(4);
}

}  // namespace kovra_utils

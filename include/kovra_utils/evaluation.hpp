#pragma once

// Identity quality: tracking metrics against a ground truth, and identity repair on a tracker
// output folder.
//
// Metrics follow the definitions and conventions of the TrackEval kit (CLEAR MOT, Identity,
// HOTA) and give its per-sequence numbers for one sequence of one class. Conventions fixed
// here, where the kit reads them from its own file formats:
//  - Frames are matched by frame number; the sequence is the sorted union of the frame numbers
//    of both sides. A frame missing on one side has no detections there. Frames with nothing on
//    either side change no metric; CLR_Frames counts the frames of the union.
//  - A tracker output folder becomes tracks with `clip_track_masks` (interop.hpp): frames are
//    numbered 1 + position in clip order, as in its MOTS and MOT exports, so a folder and its
//    exports score the same. Two folders are therefore matched frame by frame in clip order; a
//    sparse ground truth (every tenth frame, say) must be a MOTS or MOT file numbered likewise.
//  - Identities are relabelled per side to 0, 1, ... in ascending order of their values, and
//    the detections of a frame are taken in map order (the kit's file order), so ties in the
//    assignments resolve as in the kit.
//  - Similarity: mask IoU (intersection / union in pixels; 0 for a pair whose rectangles do not
//    meet and for an empty mask) or box IoU on [x1, y1, x2, y2] boxes exactly as the kit
//    computes it (a box of area <= eps, or a union <= eps, gives 0).
//  - Every ground-truth detection counts: there are no classes, distractors or ignore regions.
//    Overlapping predicted masks are accepted (the kit's MOTS reader refuses them).
//  - A mask without a set pixel is no detection on either side (EvaluationOptions).
//  - Degenerate sequences (no predicted or no ground-truth detection) return the kit's early
//    per-sequence results (e.g. MOTA 0 and MLR 1 when nothing is predicted).
//
// Identity repair rewrites annotation files ("object_id" of detections) and is atomic across
// the clip: a journal in the clip folder lets the next call complete or roll back a run that
// was killed. A repair (recovery included) holds an exclusive flock on the file
// "kovra-identity-repair.lock" in the clip folder for its whole run, so two repairs of one
// folder run one after the other; with `wait` false a repair that finds the folder locked fails
// with FileError instead of waiting. The clip loader and the other readers of a folder hold a
// shared lock while reading, and settle an interrupted repair first (or refuse the folder with
// FileError naming the journal when they cannot write it). Locks are advisory: other programs
// editing the folder are not held off. Errors: ArgumentError for bad ids or ranges, FileError / ContentError naming the
// file and member for unreadable or malformed files.

#include <kovra_utils/interop.hpp>
#include <kovra_utils/types.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovra_utils {

// ---------------------------------------------------------------------------------------------
// Tracking metrics
// ---------------------------------------------------------------------------------------------

struct EvaluationOptions {
  /// Masks without a set pixel are dropped on both sides before anything is counted (a tracker
  /// output folder writes lost animals this way). False keeps them as detections that match
  /// nothing, as the kit does with an empty mask in a MOTS file.
  bool drop_empty_masks = true;
};

/// Number of HOTA localisation thresholds: alpha = 0.05, 0.10, ..., 0.95.
inline constexpr std::size_t hota_alpha_count = 19;
using HotaArray = std::array<double, hota_alpha_count>;
using HotaCounts = std::array<std::int64_t, hota_alpha_count>;

/// The thresholds, bit for bit as numpy.arange(0.05, 0.99, 0.05).
const HotaArray& hota_alphas();

/// Mean of the per-threshold values: the number the kit reports for an array field.
double hota_mean(const HotaArray& values);

/// HOTA (Luiten et al. 2021), per threshold; field names as in the kit.
struct HotaMetrics {
  HotaArray HOTA{}, DetA{}, AssA{}, DetRe{}, DetPr{}, AssRe{}, AssPr{}, LocA{}, RHOTA{};
  HotaCounts HOTA_TP{}, HOTA_FN{}, HOTA_FP{};
  double HOTA_0 = 0;      ///< "HOTA(0)": HOTA at alpha 0.05
  double LocA_0 = 0;      ///< "LocA(0)"
  double HOTALocA_0 = 0;  ///< "HOTALocA(0)"
};

/// CLEAR MOT (Bernardin and Stiefelhagen 2008) with the kit's matching: threshold 0.5, a match
/// of the previous frame kept first, then the best total similarity.
struct ClearMetrics {
  double MOTA = 0, MOTP = 0, MODA = 0, CLR_Re = 0, CLR_Pr = 0, MTR = 0, PTR = 0, MLR = 0, sMOTA = 0,
         CLR_F1 = 0, FP_per_frame = 0, MOTAL = 0, MOTP_sum = 0;
  std::int64_t CLR_TP = 0, CLR_FN = 0, CLR_FP = 0, IDSW = 0, MT = 0, PT = 0, ML = 0, Frag = 0,
               CLR_Frames = 0;
};

/// Identity metrics (Ristani et al. 2016) from the global trajectory assignment at IoU >= 0.5.
struct IdentityMetrics {
  double IDF1 = 0, IDR = 0, IDP = 0;
  std::int64_t IDTP = 0, IDFN = 0, IDFP = 0;
};

struct TrackingEvaluation {
  HotaMetrics HOTA;
  ClearMetrics CLEAR;
  IdentityMetrics Identity;
};

/// Scores `predicted` tracks against `ground_truth` with mask IoU. Throws ArgumentError naming
/// the frame and identities when two masks of a frame differ in size.
TrackingEvaluation evaluate_tracking(const TrackMasks& predicted, const TrackMasks& ground_truth,
                                     const EvaluationOptions& options = {});

/// Scores run-length encoded tracks with mask IoU, computed on the runs: no plane is built, so
/// memory follows the counts whatever the masks' size. The same numbers as the Mask form.
/// ContentError for an invalid encoding; ArgumentError as the Mask form for different sizes.
TrackingEvaluation evaluate_tracking(const TrackRles& predicted, const TrackRles& ground_truth,
                                     const EvaluationOptions& options = {});

/// Scores `predicted` tracks against `ground_truth` with box IoU. Throws ArgumentError for a
/// non-finite box coordinate, naming the side, frame and identity.
TrackingEvaluation evaluate_tracking(const TrackBoxes& predicted, const TrackBoxes& ground_truth,
                                     const EvaluationOptions& options = {});

/// {"HOTA": {...}, "CLEAR": {...}, "Identity": {...}} with the kit's field names. HOTA's array
/// fields appear as their mean over the thresholds (the kit's summary) and, as lists, under
/// "per_alpha" together with HOTA_TP, HOTA_FN and HOTA_FP; "alpha" lists the thresholds.
/// Four-space indentation, no final line break.
std::string evaluation_to_json(const TrackingEvaluation& evaluation);


// ---------------------------------------------------------------------------------------------
// Identity repair
// ---------------------------------------------------------------------------------------------

/// What a repair changed: the rewritten files (in the loader's file order) and, aligned with
/// them, how many detections changed in each.
struct IdentityRepair {
  std::vector<std::string> files;
  std::vector<std::int64_t> detections;
  std::int64_t total_detections() const;
};

/// In every annotation file under `save_dir_base` whose frame number ("output_pp_N") lies in
/// [from_frame, to_frame] (no upper end when absent), detections with "object_id" `id_a` get
/// `id_b` and vice versa. Only files holding either id are rewritten, each keeping its other
/// members in order, in the polygon repair's layout (four-space indentation, ASCII escapes, no
/// final line break). All files switch or none does. First completes or rolls back an
/// interrupted earlier repair of the folder. Throws ArgumentError when the ids are equal, the
/// range is empty, or neither id occurs in the range; FileError when `save_dir_base` is not a
/// folder.
IdentityRepair swap_identities(const std::string& save_dir_base, std::int64_t id_a,
                               std::int64_t id_b, std::int64_t from_frame,
                               std::optional<std::int64_t> to_frame = std::nullopt,
                               bool wait = true);

/// As swap_identities, but detections with `from_id` get `to_id` and nothing gets `from_id`:
/// merges a fragment into a track. Throws ArgumentError when the ids are equal, the range is
/// empty, `from_id` does not occur in the range, or both ids occur in one file of the range
/// (naming those frames); nothing is written then.
IdentityRepair reassign_identity(const std::string& save_dir_base, std::int64_t from_id,
                                 std::int64_t to_id, std::int64_t from_frame,
                                 std::optional<std::int64_t> to_frame = std::nullopt,
                                 bool wait = true);

/// What finish_identity_repair found.
enum class RepairRecovery {
  nothing,      ///< no interrupted repair
  completed,    ///< the interrupted repair had committed: its remaining files were switched
  rolled_back,  ///< it had not: its new files were removed, the old ones kept
};

/// Completes or rolls back an interrupted repair of the clip under `save_dir_base`. The repair
/// functions and the loader call it first. Every path the journal lists must lie inside the
/// folder without passing through a symbolic link (ContentError naming the journal otherwise,
/// before anything is changed).
RepairRecovery finish_identity_repair(const std::string& save_dir_base, bool wait = true);

}  // namespace kovra_utils

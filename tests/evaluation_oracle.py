#!/usr/bin/python3
"""Checks `kovra evaluate --json` against an independent computation of the three metrics.

The metric code below (hota, clear, identity, box_ious) is a transcription of TrackEval's
per-sequence computations (trackeval/metrics/hota.py, clear.py, identity.py and
trackeval/datasets/_base_dataset.py), https://github.com/JonathonLuiten/TrackEval,
MIT licence, Copyright (c) 2020 Jonathon Luiten. Mask IoU is pycocotools' (intersection over
union of the pixel sets, 0 for disjoint or empty masks), computed here with numpy.

Usage: evaluation_oracle.py KOVRA_BINARY [CASES]. Generates random clips (moving rectangles,
identity switches, drops, jitter, false positives, identical masks for ties, frames present on
one side only), writes them as tracker output folders and MOT files, runs the tool, and checks
every field to 1e-9. Exits 1 on the first difference.
"""

import json
import os
import subprocess
import sys
import tempfile

import numpy as np
from scipy.optimize import linear_sum_assignment

EPS = np.finfo('float').eps
WIDTH, HEIGHT = 64, 48
ALPHAS = np.arange(0.05, 0.99, 0.05)


# ---- TrackEval transcription ----------------------------------------------------------------

def box_ious(bboxes1, bboxes2):
    """x0y0x1y1 boxes, as _BaseDataset._calculate_box_ious."""
    if len(bboxes1) == 0 or len(bboxes2) == 0:
        return np.zeros((len(bboxes1), len(bboxes2)))
    min_ = np.minimum(bboxes1[:, np.newaxis, :], bboxes2[np.newaxis, :, :])
    max_ = np.maximum(bboxes1[:, np.newaxis, :], bboxes2[np.newaxis, :, :])
    intersection = np.maximum(min_[..., 2] - max_[..., 0], 0) * np.maximum(min_[..., 3] - max_[..., 1], 0)
    area1 = (bboxes1[..., 2] - bboxes1[..., 0]) * (bboxes1[..., 3] - bboxes1[..., 1])
    area2 = (bboxes2[..., 2] - bboxes2[..., 0]) * (bboxes2[..., 3] - bboxes2[..., 1])
    union = area1[:, np.newaxis] + area2[np.newaxis, :] - intersection
    intersection[area1 <= 0 + EPS, :] = 0
    intersection[:, area2 <= 0 + EPS] = 0
    intersection[union <= 0 + EPS] = 0
    union[union <= 0 + EPS] = 1
    return intersection / union


def mask_ious(masks1, masks2):
    out = np.zeros((len(masks1), len(masks2)))
    for i, a in enumerate(masks1):
        for j, b in enumerate(masks2):
            inter = np.logical_and(a, b).sum()
            if inter > 0:
                out[i, j] = inter / np.logical_or(a, b).sum()
    return out


def hota(data):
    res = {}
    for field in ['HOTA', 'DetA', 'AssA', 'DetRe', 'DetPr', 'AssRe', 'AssPr', 'LocA', 'RHOTA',
                  'HOTA_TP', 'HOTA_FN', 'HOTA_FP']:
        res[field] = np.zeros((len(ALPHAS)), dtype=float)
    for field in ['HOTA(0)', 'LocA(0)', 'HOTALocA(0)']:
        res[field] = 0
    if data['num_tracker_dets'] == 0:
        res['HOTA_FN'] = data['num_gt_dets'] * np.ones((len(ALPHAS)), dtype=float)
        res['LocA'] = np.ones((len(ALPHAS)), dtype=float)
        res['LocA(0)'] = 1.0
        return res
    if data['num_gt_dets'] == 0:
        res['HOTA_FP'] = data['num_tracker_dets'] * np.ones((len(ALPHAS)), dtype=float)
        res['LocA'] = np.ones((len(ALPHAS)), dtype=float)
        res['LocA(0)'] = 1.0
        return res
    potential_matches_count = np.zeros((data['num_gt_ids'], data['num_tracker_ids']))
    gt_id_count = np.zeros((data['num_gt_ids'], 1))
    tracker_id_count = np.zeros((1, data['num_tracker_ids']))
    for t, (gt_ids_t, tracker_ids_t) in enumerate(zip(data['gt_ids'], data['tracker_ids'])):
        similarity = data['similarity_scores'][t]
        sim_iou_denom = similarity.sum(0)[np.newaxis, :] + similarity.sum(1)[:, np.newaxis] - similarity
        sim_iou = np.zeros_like(similarity)
        sim_iou_mask = sim_iou_denom > 0 + EPS
        sim_iou[sim_iou_mask] = similarity[sim_iou_mask] / sim_iou_denom[sim_iou_mask]
        potential_matches_count[gt_ids_t[:, np.newaxis], tracker_ids_t[np.newaxis, :]] += sim_iou
        gt_id_count[gt_ids_t] += 1
        tracker_id_count[0, tracker_ids_t] += 1
    global_alignment_score = potential_matches_count / (gt_id_count + tracker_id_count - potential_matches_count)
    matches_counts = [np.zeros_like(potential_matches_count) for _ in ALPHAS]
    for t, (gt_ids_t, tracker_ids_t) in enumerate(zip(data['gt_ids'], data['tracker_ids'])):
        if len(gt_ids_t) == 0:
            for a, alpha in enumerate(ALPHAS):
                res['HOTA_FP'][a] += len(tracker_ids_t)
            continue
        if len(tracker_ids_t) == 0:
            for a, alpha in enumerate(ALPHAS):
                res['HOTA_FN'][a] += len(gt_ids_t)
            continue
        similarity = data['similarity_scores'][t]
        score_mat = global_alignment_score[gt_ids_t[:, np.newaxis], tracker_ids_t[np.newaxis, :]] * similarity
        match_rows, match_cols = linear_sum_assignment(-score_mat)
        for a, alpha in enumerate(ALPHAS):
            actually_matched_mask = similarity[match_rows, match_cols] >= alpha - EPS
            alpha_match_rows = match_rows[actually_matched_mask]
            alpha_match_cols = match_cols[actually_matched_mask]
            num_matches = len(alpha_match_rows)
            res['HOTA_TP'][a] += num_matches
            res['HOTA_FN'][a] += len(gt_ids_t) - num_matches
            res['HOTA_FP'][a] += len(tracker_ids_t) - num_matches
            if num_matches > 0:
                res['LocA'][a] += sum(similarity[alpha_match_rows, alpha_match_cols])
                matches_counts[a][gt_ids_t[alpha_match_rows], tracker_ids_t[alpha_match_cols]] += 1
    for a, alpha in enumerate(ALPHAS):
        matches_count = matches_counts[a]
        ass_a = matches_count / np.maximum(1, gt_id_count + tracker_id_count - matches_count)
        res['AssA'][a] = np.sum(matches_count * ass_a) / np.maximum(1, res['HOTA_TP'][a])
        ass_re = matches_count / np.maximum(1, gt_id_count)
        res['AssRe'][a] = np.sum(matches_count * ass_re) / np.maximum(1, res['HOTA_TP'][a])
        ass_pr = matches_count / np.maximum(1, tracker_id_count)
        res['AssPr'][a] = np.sum(matches_count * ass_pr) / np.maximum(1, res['HOTA_TP'][a])
    res['LocA'] = np.maximum(1e-10, res['LocA']) / np.maximum(1e-10, res['HOTA_TP'])
    res['DetRe'] = res['HOTA_TP'] / np.maximum(1, res['HOTA_TP'] + res['HOTA_FN'])
    res['DetPr'] = res['HOTA_TP'] / np.maximum(1, res['HOTA_TP'] + res['HOTA_FP'])
    res['DetA'] = res['HOTA_TP'] / np.maximum(1, res['HOTA_TP'] + res['HOTA_FN'] + res['HOTA_FP'])
    res['HOTA'] = np.sqrt(res['DetA'] * res['AssA'])
    res['RHOTA'] = np.sqrt(res['DetRe'] * res['AssA'])
    res['HOTA(0)'] = res['HOTA'][0]
    res['LocA(0)'] = res['LocA'][0]
    res['HOTALocA(0)'] = res['HOTA(0)'] * res['LocA(0)']
    return res


def clear_final(res):
    num_gt_ids = res['MT'] + res['ML'] + res['PT']
    res['MTR'] = res['MT'] / np.maximum(1.0, num_gt_ids)
    res['MLR'] = res['ML'] / np.maximum(1.0, num_gt_ids)
    res['PTR'] = res['PT'] / np.maximum(1.0, num_gt_ids)
    res['CLR_Re'] = res['CLR_TP'] / np.maximum(1.0, res['CLR_TP'] + res['CLR_FN'])
    res['CLR_Pr'] = res['CLR_TP'] / np.maximum(1.0, res['CLR_TP'] + res['CLR_FP'])
    res['MODA'] = (res['CLR_TP'] - res['CLR_FP']) / np.maximum(1.0, res['CLR_TP'] + res['CLR_FN'])
    res['MOTA'] = (res['CLR_TP'] - res['CLR_FP'] - res['IDSW']) / np.maximum(1.0, res['CLR_TP'] + res['CLR_FN'])
    res['MOTP'] = res['MOTP_sum'] / np.maximum(1.0, res['CLR_TP'])
    res['sMOTA'] = (res['MOTP_sum'] - res['CLR_FP'] - res['IDSW']) / np.maximum(1.0, res['CLR_TP'] + res['CLR_FN'])
    res['CLR_F1'] = res['CLR_TP'] / np.maximum(1.0, res['CLR_TP'] + 0.5 * res['CLR_FN'] + 0.5 * res['CLR_FP'])
    res['FP_per_frame'] = res['CLR_FP'] / np.maximum(1.0, res['CLR_Frames'])
    safe_log_idsw = np.log10(res['IDSW']) if res['IDSW'] > 0 else res['IDSW']
    res['MOTAL'] = (res['CLR_TP'] - res['CLR_FP'] - safe_log_idsw) / np.maximum(1.0, res['CLR_TP'] + res['CLR_FN'])
    return res


def clear(data):
    fields = ['MOTA', 'MOTP', 'MODA', 'CLR_Re', 'CLR_Pr', 'MTR', 'PTR', 'MLR', 'sMOTA', 'CLR_F1',
              'FP_per_frame', 'MOTAL', 'MOTP_sum', 'CLR_TP', 'CLR_FN', 'CLR_FP', 'IDSW', 'MT',
              'PT', 'ML', 'Frag', 'CLR_Frames']
    res = {field: 0 for field in fields}
    if data['num_tracker_dets'] == 0:
        res['CLR_FN'] = data['num_gt_dets']
        res['ML'] = data['num_gt_ids']
        res['MLR'] = 1.0
        return res
    if data['num_gt_dets'] == 0:
        res['CLR_FP'] = data['num_tracker_dets']
        res['MLR'] = 1.0
        return res
    num_gt_ids = data['num_gt_ids']
    gt_id_count = np.zeros(num_gt_ids)
    gt_matched_count = np.zeros(num_gt_ids)
    gt_frag_count = np.zeros(num_gt_ids)
    prev_tracker_id = np.nan * np.zeros(num_gt_ids)
    prev_timestep_tracker_id = np.nan * np.zeros(num_gt_ids)
    for t, (gt_ids_t, tracker_ids_t) in enumerate(zip(data['gt_ids'], data['tracker_ids'])):
        if len(gt_ids_t) == 0:
            res['CLR_FP'] += len(tracker_ids_t)
            continue
        if len(tracker_ids_t) == 0:
            res['CLR_FN'] += len(gt_ids_t)
            gt_id_count[gt_ids_t] += 1
            continue
        similarity = data['similarity_scores'][t]
        score_mat = (tracker_ids_t[np.newaxis, :] == prev_timestep_tracker_id[gt_ids_t[:, np.newaxis]])
        score_mat = 1000 * score_mat + similarity
        score_mat[similarity < 0.5 - EPS] = 0
        match_rows, match_cols = linear_sum_assignment(-score_mat)
        actually_matched_mask = score_mat[match_rows, match_cols] > 0 + EPS
        match_rows = match_rows[actually_matched_mask]
        match_cols = match_cols[actually_matched_mask]
        matched_gt_ids = gt_ids_t[match_rows]
        matched_tracker_ids = tracker_ids_t[match_cols]
        prev_matched_tracker_ids = prev_tracker_id[matched_gt_ids]
        is_idsw = (np.logical_not(np.isnan(prev_matched_tracker_ids))) & (
            np.not_equal(matched_tracker_ids, prev_matched_tracker_ids))
        res['IDSW'] += np.sum(is_idsw)
        gt_id_count[gt_ids_t] += 1
        gt_matched_count[matched_gt_ids] += 1
        not_previously_tracked = np.isnan(prev_timestep_tracker_id)
        prev_tracker_id[matched_gt_ids] = matched_tracker_ids
        prev_timestep_tracker_id[:] = np.nan
        prev_timestep_tracker_id[matched_gt_ids] = matched_tracker_ids
        currently_tracked = np.logical_not(np.isnan(prev_timestep_tracker_id))
        gt_frag_count += np.logical_and(not_previously_tracked, currently_tracked)
        num_matches = len(matched_gt_ids)
        res['CLR_TP'] += num_matches
        res['CLR_FN'] += len(gt_ids_t) - num_matches
        res['CLR_FP'] += len(tracker_ids_t) - num_matches
        if num_matches > 0:
            res['MOTP_sum'] += sum(similarity[match_rows, match_cols])
    tracked_ratio = gt_matched_count[gt_id_count > 0] / gt_id_count[gt_id_count > 0]
    res['MT'] = np.sum(np.greater(tracked_ratio, 0.8))
    res['PT'] = np.sum(np.greater_equal(tracked_ratio, 0.2)) - res['MT']
    res['ML'] = num_gt_ids - res['MT'] - res['PT']
    res['Frag'] = np.sum(np.subtract(gt_frag_count[gt_frag_count > 0], 1))
    res['MOTP'] = res['MOTP_sum'] / np.maximum(1.0, res['CLR_TP'])
    res['CLR_Frames'] = data['num_timesteps']
    return clear_final(res)


def identity(data):
    res = {field: 0 for field in ['IDF1', 'IDR', 'IDP', 'IDTP', 'IDFN', 'IDFP']}
    if data['num_tracker_dets'] == 0:
        res['IDFN'] = data['num_gt_dets']
        return res
    if data['num_gt_dets'] == 0:
        res['IDFP'] = data['num_tracker_dets']
        return res
    potential_matches_count = np.zeros((data['num_gt_ids'], data['num_tracker_ids']))
    gt_id_count = np.zeros(data['num_gt_ids'])
    tracker_id_count = np.zeros(data['num_tracker_ids'])
    for t, (gt_ids_t, tracker_ids_t) in enumerate(zip(data['gt_ids'], data['tracker_ids'])):
        matches_mask = np.greater_equal(data['similarity_scores'][t], 0.5)
        match_idx_gt, match_idx_tracker = np.nonzero(matches_mask)
        potential_matches_count[gt_ids_t[match_idx_gt], tracker_ids_t[match_idx_tracker]] += 1
        gt_id_count[gt_ids_t] += 1
        tracker_id_count[tracker_ids_t] += 1
    num_gt_ids = data['num_gt_ids']
    num_tracker_ids = data['num_tracker_ids']
    fp_mat = np.zeros((num_gt_ids + num_tracker_ids, num_gt_ids + num_tracker_ids))
    fn_mat = np.zeros((num_gt_ids + num_tracker_ids, num_gt_ids + num_tracker_ids))
    fp_mat[num_gt_ids:, :num_tracker_ids] = 1e10
    fn_mat[:num_gt_ids, num_tracker_ids:] = 1e10
    for gt_id in range(num_gt_ids):
        fn_mat[gt_id, :num_tracker_ids] = gt_id_count[gt_id]
        fn_mat[gt_id, num_tracker_ids + gt_id] = gt_id_count[gt_id]
    for tracker_id in range(num_tracker_ids):
        fp_mat[:num_gt_ids, tracker_id] = tracker_id_count[tracker_id]
        fp_mat[tracker_id + num_gt_ids, tracker_id] = tracker_id_count[tracker_id]
    fn_mat[:num_gt_ids, :num_tracker_ids] -= potential_matches_count
    fp_mat[:num_gt_ids, :num_tracker_ids] -= potential_matches_count
    match_rows, match_cols = linear_sum_assignment(fn_mat + fp_mat)
    res['IDFN'] = fn_mat[match_rows, match_cols].sum().astype(int)
    res['IDFP'] = fp_mat[match_rows, match_cols].sum().astype(int)
    res['IDTP'] = (gt_id_count.sum() - res['IDFN']).astype(int)
    res['IDR'] = res['IDTP'] / np.maximum(1.0, res['IDTP'] + res['IDFN'])
    res['IDP'] = res['IDTP'] / np.maximum(1.0, res['IDTP'] + res['IDFP'])
    res['IDF1'] = res['IDTP'] / np.maximum(1.0, res['IDTP'] + 0.5 * res['IDFP'] + 0.5 * res['IDFN'])
    return res


def sequence_data(pred, gt, similarity):
    """The kit's preprocessed data: ids relabelled in ascending order per side."""
    frames = sorted(set(pred) | set(gt))
    gt_map = {v: k for k, v in enumerate(sorted({i for f in gt.values() for i in f}))}
    tr_map = {v: k for k, v in enumerate(sorted({i for f in pred.values() for i in f}))}
    data = {'gt_ids': [], 'tracker_ids': [], 'similarity_scores': [],
            'num_gt_ids': len(gt_map), 'num_tracker_ids': len(tr_map),
            'num_timesteps': len(frames), 'num_gt_dets': 0, 'num_tracker_dets': 0}
    for f in frames:
        g = gt.get(f, {})
        p = pred.get(f, {})
        data['gt_ids'].append(np.array([gt_map[i] for i in g], dtype=int))
        data['tracker_ids'].append(np.array([tr_map[i] for i in p], dtype=int))
        data['similarity_scores'].append(similarity(list(g.values()), list(p.values())))
        data['num_gt_dets'] += len(g)
        data['num_tracker_dets'] += len(p)
    return data


# ---- generated clips ------------------------------------------------------------------------

def rect_mask(rects):
    mask = np.zeros((HEIGHT, WIDTH), dtype=bool)
    for x1, y1, x2, y2 in rects:
        mask[max(y1, 0):min(y2, HEIGHT - 1) + 1, max(x1, 0):min(x2, WIDTH - 1) + 1] = True
    return mask


def generate(rng):
    """Ground truth and prediction: frame -> id -> list of inclusive pixel rectangles."""
    frames = int(rng.integers(1, 25))
    animals = int(rng.integers(1, 6))
    start = rng.integers(0, [WIDTH - 16, HEIGHT - 12], size=(animals, 2))
    gt = {}
    for f in range(frames):
        gt[f] = {}
        for a in range(animals):
            if rng.random() < 0.1:
                continue
            x = int(np.clip(start[a, 0] + f * rng.integers(-1, 2), 0, WIDTH - 12))
            y = int(np.clip(start[a, 1] + f * rng.integers(-1, 2), 0, HEIGHT - 10))
            gt[f][a + 1] = [(x, y, x + 11, y + 9)]
    pred = {}
    switch_at = int(rng.integers(0, frames + 1))
    for f, objects in gt.items():
        pred[f] = {}
        for a, rects in objects.items():
            r = rng.random()
            if r < 0.1:
                continue  # dropped
            pid = a + 10
            if f >= switch_at and animals > 1 and a <= 2:
                pid = 13 - a  # ids 1 and 2 swapped from here
            x1, y1, x2, y2 = rects[0]
            if r < 0.5:
                dx, dy = (int(v) for v in rng.integers(-3, 4, size=2))
                rects = [(x1 + dx, y1 + dy, x2 + dx, y2 + dy)]
            if r > 0.9:
                rects = rects + [(x2 + 1, y1, x2 + 4, y1 + 2)]  # a second polygon
            pred[f][pid] = rects
        if rng.random() < 0.2:
            x, y = (int(v) for v in rng.integers(0, 40, size=2))
            pred[f][50] = [(x, y, x + 5, y + 5)]  # false positive
        if objects and rng.random() < 0.15:
            pred[f][60] = list(next(iter(objects.values())))  # identical to a ground truth: ties
    if rng.random() < 0.3:
        pred[frames + 2] = {70: [(0, 0, 9, 9)]}  # a frame on one side only
    for side in (gt, pred):  # file order is not id order
        for f in side:
            items = list(side[f].items())
            rng.shuffle(items)
            side[f] = dict(items)
    return pred, gt


def write_folder(folder, tracks):
    os.makedirs(folder)
    image = os.path.join(folder, 'frame.ppm')
    with open(image, 'wb') as out:
        out.write(b'P6 %d %d 255\n' % (WIDTH, HEIGHT) + bytes(WIDTH * HEIGHT * 3))
    for f, objects in tracks.items():
        detections = []
        for pid, rects in objects.items():
            polygons = []
            for x1, y1, x2, y2 in rects:
                pts = [(x1, y1), (x2, y1), (x2, y2), (x1, y2)]
                polygons.append('0 ' + ' '.join('%r %r' % ((x + 0.5) / WIDTH, (y + 0.5) / HEIGHT)
                                                for x, y in pts))
            detections.append({'object_id': pid, 'formatted_polygon': polygons})
        with open(os.path.join(folder, 'output_pp_%d.json' % f), 'w') as out:
            json.dump({'image_path': image, 'detections': detections}, out)


def box_of(mask):
    ys, xs = np.nonzero(mask)
    return [xs.min(), ys.min(), xs.max() + 1, ys.max() + 1]


def write_mot(path, tracks):
    with open(path, 'w') as out:
        for f, objects in tracks.items():
            for pid, rects in objects.items():
                x1, y1, x2, y2 = box_of(rect_mask(rects))
                out.write('%d,%d,%d,%d,%d,%d,1,-1,-1,-1\n' % (f + 1, pid, x1, y1, x2 - x1, y2 - y1))


def expected(pred, gt, boxes):
    as_masks = lambda side: {f: {i: rect_mask(r) for i, r in o.items()} for f, o in side.items()}
    p, g = as_masks(pred), as_masks(gt)
    if boxes:
        to_boxes = lambda side: {f: {i: box_of(m) for i, m in o.items()} for f, o in side.items()}
        sim = lambda a, b: box_ious(np.array(a, dtype=float).reshape(-1, 4),
                                    np.array(b, dtype=float).reshape(-1, 4))
        data = sequence_data(to_boxes(p), to_boxes(g), sim)
    else:
        data = sequence_data(p, g, mask_ious)
    return {'HOTA': hota(data), 'CLEAR': clear(data), 'Identity': identity(data)}


def compare(result, reference, label):
    for group, fields in reference.items():
        for name, value in fields.items():
            if group == 'HOTA' and np.ndim(value) == 1:
                got = result['HOTA']['per_alpha'][name]
                if name in result['HOTA']:
                    assert abs(result['HOTA'][name] - np.mean(value)) <= 1e-9, (label, name)
            else:
                got = result[group][name]
            if not np.allclose(np.asarray(got, dtype=float), np.asarray(value, dtype=float),
                               rtol=0, atol=1e-9):
                raise AssertionError('%s: %s.%s is %s, TrackEval gives %s'
                                     % (label, group, name, got, value))


def run(kovra, args, label):
    done = subprocess.run([kovra, '-q', 'evaluate'] + args, capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError('%s: kovra evaluate failed: %s' % (label, done.stderr))


def main():
    kovra = sys.argv[1]
    cases = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    rng = np.random.default_rng(2024)
    with tempfile.TemporaryDirectory() as scratch:
        for case in range(cases):
            pred, gt = generate(rng)
            base = os.path.join(scratch, str(case))
            write_folder(base + '/pred', pred)
            write_folder(base + '/gt', gt)
            for boxes in (False, True):
                out = base + ('/boxes.json' if boxes else '/masks.json')
                label = 'case %d (%s)' % (case, 'boxes' if boxes else 'masks')
                run(kovra, [base + '/pred', base + '/gt', '--json', out] + (['--boxes'] if boxes else []), label)
                with open(out) as f:
                    compare(json.load(f), expected(pred, gt, boxes), label)
            # MOT files number frames from 1 (the metrics do not depend on the numbering) and
            # have no line for a frame without detections, so such frames are not counted.
            write_mot(base + '/pred.txt', pred)
            write_mot(base + '/gt.txt', gt)
            run(kovra, [base + '/pred.txt', base + '/gt.txt', '--json', base + '/mot.json'], 'case %d (MOT)' % case)
            with open(base + '/mot.json') as f:
                listed = lambda side: {f: o for f, o in side.items() if o}
                compare(json.load(f), expected(listed(pred), listed(gt), True),
                        'case %d (MOT files)' % case)
    print('%d generated cases agree with TrackEval to 1e-9 (masks, boxes, MOT files)' % cases)


if __name__ == '__main__':
    main()

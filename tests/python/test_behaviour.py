"""Behaviour tables: the Python interface, and a random clip against a plain numpy reference."""

import json
import math

import numpy as np
import pandas as pd
import pytest

import kovra_utils as ku

SPF = 0.25
SHAPE = (40, 56)


def record(index, masks):
    return ku.FrameRecord(frame_index=index, masks_dict=masks,
                          mask_areas={k: int(np.count_nonzero(m)) for k, m in masks.items()},
                          json_path="", image_path="", intersections_df=None)


def blob(rng, centre):
    plane = np.zeros(SHAPE, np.uint8)
    yy, xx = np.mgrid[:SHAPE[0], :SHAPE[1]]
    a, b = rng.uniform(2, 8), rng.uniform(1.5, 5)
    plane[((xx - centre[0]) / a) ** 2 + ((yy - centre[1]) / b) ** 2 <= 1] = 1
    return plane


def random_planes(seed, positions=80, animals=5):
    """positions x {box key: plane}: blobs wandering over a small pen, sometimes lost."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform([0, 0], [SHAPE[1], SHAPE[0]], size=(animals, 2))
    clip = []
    for _ in range(positions):
        centres = np.clip(centres + rng.normal(0, 2.5, size=centres.shape), 0, [SHAPE[1] - 1, SHAPE[0] - 1])
        clip.append({f"Box{2 * a}": blob(rng, centres[a]) for a in range(animals) if rng.random() > 0.08})
    return clip


def as_clip(planes):
    return {p: record(1000 + p, {k: ku.Mask(v) for k, v in masks.items()}) for p, masks in enumerate(planes)}


# ---- the reference: every definition written out plainly over dense planes -----------------------

def distance(a, b):
    pa, pb = np.argwhere(a), np.argwhere(b)
    return float(np.sqrt(((pa[:, None, :] - pb[None, :, :]) ** 2).sum(-1).min()))


def runs_to_bouts(flags, times, joined, merge_gap, min_bout):
    """flags[p] in/out; consecutive joined positions form runs; merge by gap; drop short ones."""
    runs = []
    for p, on in enumerate(flags):
        if not on:
            continue
        if runs and runs[-1][1] == p - 1 and joined[p]:
            runs[-1][1] = p
        else:
            runs.append([p, p])
    bouts = []
    for first, last in runs:
        start, end = times[first], times[last] + SPF
        if bouts and start - bouts[-1][3] <= merge_gap + 1e-9:
            bouts[-1][1], bouts[-1][3] = last, end
        else:
            bouts.append([first, last, start, end])
    return [b for b in bouts if b[3] - b[2] >= min_bout - 1e-9]


def reference(planes, zone, enter=0.5, leave=0.2, speed=40.0, merge_gap=2.0, min_bout=2.0, contact=2.0,
              start=0.0):
    times = [start + p * SPF for p in range(len(planes))]
    joined = [p > 0 for p in range(len(planes))]
    ids = sorted({int(k[3:]) + 1 for masks in planes for k in masks})
    frames, state = [], {}
    inside = {i: [False] * len(planes) for i in ids}
    moving = {i: [False] * len(planes) for i in ids}
    touching = {}
    for p, masks in enumerate(planes):
        present = sorted(((int(k[3:]) + 1, k, m) for k, m in masks.items() if m.any()))
        for i, (oid, key, m) in enumerate(present):
            ys, xs = np.nonzero(m)
            cx, cy = xs.mean(), ys.mean()
            share = float(m[zone.astype(bool)].sum()) / len(xs)
            prev = state.get(oid) if p > 0 else None
            prev = prev if prev and prev[0] == p - 1 else None
            step = math.hypot(cx - prev[1], cy - prev[2]) if prev else None
            moving[oid][p] = step is not None and step / SPF >= speed
            inside[oid][p] = share >= enter or (prev is not None and prev[3] and share >= leave)
            state[oid] = (p, cx, cy, inside[oid][p])
            others = [(distance(m, n), k2) for j, (_, k2, n) in enumerate(present) if j != i]
            best = min(others, key=lambda d: d[0]) if others else (None, None)
            frames.append((p, oid, len(xs), cx, cy, step, share, best[1], best[0]))
        for i in range(len(present)):
            for j in range(i + 1, len(present)):
                if distance(present[i][2], present[j][2]) <= contact:
                    pair = (present[i][0], present[j][0])
                    touching.setdefault(pair, [False] * len(planes))[p] = True
    zone_bouts = {i: runs_to_bouts(inside[i], times, joined, merge_gap, min_bout) for i in ids}
    move_bouts = {i: runs_to_bouts(moving[i], times, joined, merge_gap, min_bout) for i in ids}
    contact_bouts = {pair: runs_to_bouts(f, times, joined, merge_gap, min_bout) for pair, f in touching.items()}
    return frames, zone_bouts, move_bouts, {k: v for k, v in contact_bouts.items() if v}


@pytest.fixture
def zone_file(tmp_path):
    path = tmp_path / "zones.json"
    path.write_text(json.dumps({"shapes": [{"label": "feeder", "points": [[0, 0], [20, 0], [14, 39], [0, 39]]}]}))
    return path


@pytest.mark.parametrize("seed", [3, 11])
def test_random_clip_matches_reference(seed, zone_file):
    planes = random_planes(seed)
    zones = ku.read_zones(zone_file, SHAPE)
    tables = ku.clip_behaviour(as_clip(planes), seconds_per_frame=SPF, zones=zones, start_time_s=5.0,
                               moving_speed_px_s=8.0)
    frames, zone_bouts, move_bouts, contact_bouts = reference(planes, np.asarray(zones[0].raster), speed=8.0,
                                                              start=5.0)
    f = tables.frames
    assert len(f) == len(frames)
    assert f["position"].tolist() == [r[0] for r in frames]
    assert f["object_id"].tolist() == [r[1] for r in frames]
    assert f["area"].tolist() == [r[2] for r in frames]
    np.testing.assert_allclose(f["centroid_x"], [r[3] for r in frames], rtol=0, atol=1e-9)
    np.testing.assert_allclose(f["step_px"].fillna(-1), [-1 if r[5] is None else r[5] for r in frames], atol=1e-9)
    np.testing.assert_allclose(f["in_feeder"], [r[6] for r in frames], atol=1e-12)
    assert f["nearest_key"].tolist() == [r[7] for r in frames]
    np.testing.assert_allclose(f["nearest_distance_px"].fillna(-1), [-1 if r[8] is None else r[8] for r in frames])
    assert f["moving"].dtype == bool

    b = tables.bouts
    for oid, expected in zone_bouts.items():
        got = b[(b.object_id == oid) & (b.zone == "feeder")]
        assert got[["start_position", "end_position"]].values.tolist() == [[e[0], e[1]] for e in expected]
    for oid, expected in move_bouts.items():
        got = b[(b.object_id == oid) & (b.zone == "moving")]
        assert got[["start_position", "end_position"]].values.tolist() == [[e[0], e[1]] for e in expected]
        assert got["mean_in"].isna().all()
    c = tables.contact_bouts
    got = {(a, bb): g[["start_position", "end_position"]].values.tolist()
           for (a, bb), g in c.groupby(["object_id_a", "object_id_b"])}
    assert got == {pair: [[e[0], e[1]] for e in v] for pair, v in contact_bouts.items()}

    m = tables.contacts
    assert list(m.index) == list(m.columns) == sorted(tables.summary.object_id)
    np.testing.assert_array_equal(m.values, m.values.T)
    assert (np.diag(m.values) == 0).all()
    for (a, bb), v in contact_bouts.items():
        assert m.loc[a, bb] == pytest.approx(sum(e[3] - e[2] for e in v))
    s = tables.summary.set_index("object_id")
    for oid, expected in zone_bouts.items():
        assert s.loc[oid, "visits_feeder"] == len(expected)
        if expected:
            assert s.loc[oid, "latency_feeder_s"] == pytest.approx(expected[0][2] - 5.0)


def test_day_of_two_clips_and_zone_path(zone_file, tmp_path):
    planes = random_planes(5, positions=30)
    first, second = as_clip(planes[:15]), as_clip(planes[15:])
    day = ku.day_behaviour([first, second], [0.0, 15 * SPF], seconds_per_frame=SPF, zones=str(zone_file),
                           pixels_per_metre=100.0)
    whole = ku.clip_behaviour(as_clip(planes), seconds_per_frame=SPF, zones=zone_file, pixels_per_metre=100.0)
    # A joined day equals one clip, frame indices aside.
    pd.testing.assert_frame_equal(day.bouts.drop(columns=["start_frame_index", "end_frame_index"]),
                                  whole.bouts.drop(columns=["start_frame_index", "end_frame_index"]))
    pd.testing.assert_frame_equal(day.summary, whole.summary)
    assert {"distance_m", "mean_speed_m_s"} <= set(day.summary.columns)
    assert day.frames["time_s"].iloc[-1] == pytest.approx(29 * SPF)

    out = tmp_path / "out"
    ku.write_behaviour(day, out, zones=ku.read_zones(zone_file, SHAPE), background=np.zeros(SHAPE + (3,), np.uint8))
    assert sorted(p.name for p in out.iterdir()) == sorted(
        ["frames.csv", "bouts.csv", "contact_bouts.csv", "contacts.csv", "summary.csv", "ethogram.png",
         "contacts.png", "trajectories.png"])
    assert ku.draw_trajectories(day, zones=ku.read_zones(zone_file, SHAPE)).shape[2] == 3
    assert ku.draw_contact_matrix(day).dtype == np.uint8


def test_errors(tmp_path, zone_file):
    bad = tmp_path / "bad.json"
    bad.write_text('{"shapes": [{"points": [[0, 0], [5, 0], [5, 5]]}]}')
    with pytest.raises(ku.ContentError, match=r'"shapes"\[0\]\."label" in .*bad.json'):
        ku.read_zones(bad, SHAPE)
    clip = as_clip(random_planes(1, positions=3))
    with pytest.raises(ku.ArgumentError, match="seconds_per_frame"):
        ku.clip_behaviour(clip, seconds_per_frame=-1)
    with pytest.raises(ku.ArgumentError, match="frame size"):
        ku.write_behaviour(ku.clip_behaviour(clip, seconds_per_frame=1), tmp_path / "o", zones=zone_file)

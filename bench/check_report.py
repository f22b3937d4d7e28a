#!/usr/bin/env python3
"""Independent check of tracking_question_report.csv: rebuilds the report with pandas from a
clip dump and compares it byte for byte with a report written by the library.

  bench_clip_loading CLIP_DIR --dump clip.dump
  bench_review CLIP_DIR --report-dir OUT
  /usr/bin/python3 check_report.py clip.dump OUT/tracking_question_report.csv [--threshold 80]

The dump holds one line per frame record: "<position> <frame_index> <key>=<area> ... | <cell> ..."
(cells row-major, %.17g). Prints "identical" and the pandas time, or the first differing line.
"""
import argparse
import sys
import time

import numpy as np
import pandas as pd

COLUMNS = ["Frame ID", "Box Pair", "Intersection Value", "Mask Area1", "Mask Area2",
           "Report type", "Box ID", "Mask Areas"]


def read_dump(path):
    clip = {}
    with open(path) as f:
        for line in f:
            head, cells = line.rstrip("\n").split(" | ")
            parts = head.split(" ")
            position = int(parts[0])
            areas = {}
            for item in parts[2:]:
                key, area = item.rsplit("=", 1)
                areas[key] = int(area)
            keys = list(areas)
            values = np.array([float(c) for c in cells.split()] if cells.strip() else [],
                              dtype=float).reshape(len(keys), len(keys))
            clip[position] = {"mask_areas": areas,
                              "intersections_df": pd.DataFrame(values, index=keys, columns=keys)}
    return clip


def report_csv(clip, threshold):
    overlap_frames, zero_area_frames = [], []
    for frame_id, data in clip.items():
        for boxkey, area in data["mask_areas"].items():
            if area <= 0.1:
                zero_area_frames.append({"Frame ID": frame_id, "Report type": "Zero area detected",
                                         "Box ID": boxkey, "Mask Areas": area})
        if (data["intersections_df"] > threshold).any().any():
            overlap_frames.append(frame_id)
    rows = []
    for frame_id in overlap_frames:
        df = clip[frame_id]["intersections_df"]
        areas = clip[frame_id]["mask_areas"]
        for r, c in zip(*np.where(df.values > threshold)):
            key_row, key_col = df.index[r], df.columns[c]
            rows.append({"Frame ID": frame_id, "Box Pair": f"{key_row}-{key_col}",
                         "Intersection Value": round(float(df.values[r, c]), 2),
                         "Mask Area1": areas[key_row], "Mask Area2": areas[key_col],
                         "Report type": "High overlap mask detected"})
    report = pd.DataFrame(rows + zero_area_frames, columns=COLUMNS)
    for column in ["Frame ID", "Mask Area1", "Mask Area2", "Mask Areas"]:
        report[column] = report[column].astype("Int64")
    return report.to_csv(index=False, lineterminator="\n")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("dump")
    p.add_argument("csv")
    p.add_argument("--threshold", type=float, default=80)
    args = p.parse_args()
    clip = read_dump(args.dump)
    start = time.perf_counter()
    expected = report_csv(clip, args.threshold)
    elapsed = time.perf_counter() - start
    with open(args.csv, newline="") as f:
        actual = f.read()
    print(f"pandas report: {1000 * elapsed:.1f} ms, {expected.count(chr(10)) - 1} rows")
    if actual == expected:
        print("identical")
        return 0
    for i, (a, e) in enumerate(zip(actual.splitlines(), expected.splitlines())):
        if a != e:
            print(f"line {i + 1} differs:\n  library: {a}\n  pandas:  {e}")
            return 1
    print(f"lengths differ: library {len(actual)} bytes, pandas {len(expected)} bytes")
    return 1


if __name__ == "__main__":
    sys.exit(main())

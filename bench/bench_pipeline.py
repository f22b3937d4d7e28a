#!/usr/bin/env python3
"""kovra-run's throughput: the same generated run (4 cameras x 3 windows, stand-in models)
serially and on a two-worker LocalCluster, and the pipeline's own overhead.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_pipeline.py build [--cameras 4] [--windows 3]

Throughput ratio = serial wall time / two-worker wall time (target >= 1.6 on two cores).
Overhead = serial wall time - the time of the library steps the run calls (measured inside the
run, per window and step), as a share of that step time (target <= 5 %). Everything is written
into a temporary folder that is removed at the end.
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from kovra_utils import pipeline

FRAMES_PER_WINDOW = 30  # 6 s at the generated recordings' 5 frames per second


def generate(kovra, root, cameras, windows):
    """Cameras whose animals never meet, so that every window is seeded and tracked."""
    names = []
    for index in range(cameras):
        number = str(61 + index)
        subprocess.run([kovra, "--quiet", "synthetic-camera", root, "--camera", number,
                        "--frames", str(FRAMES_PER_WINDOW * windows),
                        "--approach-start", str(FRAMES_PER_WINDOW * windows)], check=True,
                       stdout=subprocess.DEVNULL)
        names.append("pen" + number)
    return names


def cpu_seconds():
    """CPU time of this process, all threads."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed_run(root, cameras, out, workers):
    started = time.perf_counter()
    cpu_started = cpu_seconds()
    summary = pipeline.run(os.path.join(root, "recordings"), cameras, os.path.join(root, "pens"),
                           out, stand_ins=True, window_minutes=FRAMES_PER_WINDOW / 5 / 60,
                           workers=workers, progress=False)
    wall = time.perf_counter() - started
    cpu = cpu_seconds() - cpu_started  # a cluster's work is in its worker processes, not here
    if set(summary["status"]) != {"done"}:
        raise SystemExit(f"not every window finished:\n{summary[['camera', 'window', 'status', 'error']]}")
    steps = float(summary["seconds_total"].sum()) + summary.attrs.get("seconds_behaviour", 0.0)
    return wall, cpu, steps, len(summary)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", help="build folder holding apps/kovra/kovra")
    parser.add_argument("--cameras", type=int, default=4)
    parser.add_argument("--windows", type=int, default=3)
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="kovra-bench-pipeline-")
    try:
        cameras = generate(os.path.join(args.build, "apps", "kovra", "kovra"), root,
                           args.cameras, args.windows)
        serial, serial_cpu, steps, windows = timed_run(root, cameras,
                                                       os.path.join(root, "serial"), None)
        parallel, _, _, _ = timed_run(root, cameras, os.path.join(root, "workers"), 2)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    overhead = serial - steps
    print(f"{windows} windows ({args.cameras} cameras x {args.windows})")
    print(f"serial:            {serial:8.1f} s wall, {steps:.1f} s in the library's steps, "
          f"{serial_cpu:.1f} s CPU ({serial_cpu / serial:.2f} cores busy)")
    print(f"2-worker cluster:  {parallel:8.1f} s wall")
    print(f"throughput ratio:  {serial / parallel:8.2f} x   (target >= 1.6)")
    print(f"pipeline overhead: {overhead:8.2f} s = {100 * overhead / steps:.1f} % of the step time "
          "(target <= 5 %)")


if __name__ == "__main__":
    sys.exit(main())

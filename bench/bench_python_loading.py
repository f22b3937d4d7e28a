#!/usr/bin/python3
"""Loading a tracked clip from Python, against the C++ loader and the baseline loader, in one run.

    bench/bench_python_loading.py BUILD_DIR CLIP_DIR [--rounds N] [--baseline REFERENCE_LOADER]

Each loader runs in a process of its own, one after the other, so each peak RSS is its own:
  python    kovra_utils.get_kovra_annotation_data from /usr/bin/python3 (the package in BUILD_DIR)
  c++       BUILD_DIR/bench/bench_clip_loading CLIP_DIR --once
  baseline  the reference loader (../shared/bench/reference_loader.py by default)
Prints every run, then the medians and the ratios python / c++ and python / baseline, c++ / baseline.
Run it from the folder the clip was generated in: image paths in the clip are relative.
"""

import argparse
import os
import re
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LINE = re.compile(r"frames=(\d+) elapsed_s=([\d.]+) per_frame_ms=([\d.]+) peak_rss_mb=(\d+)")


def load_once(clip_dir):
    """The child: loads the clip once and prints the loaders' common result line."""
    import kovra_utils

    start = time.perf_counter()
    _, clip = kovra_utils.get_kovra_annotation_data("", False, 0, clip_dir)
    elapsed = time.perf_counter() - start
    if not clip:
        sys.exit("no clip in " + clip_dir)
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print("frames=%d elapsed_s=%.3f per_frame_ms=%.2f peak_rss_mb=%.0f"
          % (len(clip), elapsed, 1000 * elapsed / len(clip), peak_mb))


def default_baseline():
    """The reference loader in the shared folder next to the checkout (or next to its worktree)."""
    for up in (("..", ".."), ("..", "..", "..")):
        path = os.path.normpath(os.path.join(HERE, *up, "shared", "bench", "reference_loader.py"))
        if os.path.exists(path):
            return path
    return "reference_loader.py"


def run(command, env=None):
    output = subprocess.run(command, check=True, capture_output=True, text=True, env=env).stdout
    match = LINE.search(output)
    if not match:
        sys.exit("no result line from " + " ".join(command) + ":\n" + output)
    return float(match.group(2)), float(match.group(4))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="+", metavar="BUILD_DIR CLIP_DIR")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--baseline", default=default_baseline())
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return load_once(args.paths[-1])
    if len(args.paths) != 2:
        parser.error("expected BUILD_DIR CLIP_DIR")
    build, args.clip_dir = os.path.abspath(args.paths[0]), args.paths[1]
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    loaders = {
        "python": ([sys.executable, os.path.abspath(__file__), "--child", args.clip_dir], env),
        "c++": ([os.path.join(build, "bench", "bench_clip_loading"), args.clip_dir, "--once"], None),
        "baseline": (["/usr/bin/python3", os.path.abspath(args.baseline), args.clip_dir], None),
    }
    results = {name: [] for name in loaders}
    for round_number in range(1, args.rounds + 1):
        for name, (command, command_env) in loaders.items():
            seconds, peak_mb = run(command, command_env)
            results[name].append((seconds, peak_mb))
            print("round %d %-8s %7.3f s  peak RSS %6.0f MB" % (round_number, name, seconds, peak_mb))
    median = {name: (statistics.median(s for s, _ in runs), statistics.median(m for _, m in runs))
              for name, runs in results.items()}
    for name, (seconds, peak_mb) in median.items():
        print("median   %-8s %7.3f s  peak RSS %6.0f MB" % (name, seconds, peak_mb))
    for a, b in (("python", "c++"), ("python", "baseline"), ("c++", "baseline")):
        print("%-8s / %-8s time %.3f x  peak RSS %.3f x"
              % (a, b, median[a][0] / median[b][0], median[a][1] / median[b][1]))


if __name__ == "__main__":
    main()

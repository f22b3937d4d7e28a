"""kovra-run (also ``python -m kovra_utils run``): pen cameras' recordings to checked tracks."""

import argparse
import sys

import kovra_utils as ku

from . import pipeline


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _positive_float(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return value


def parser(prog="kovra-run"):
    p = argparse.ArgumentParser(
        prog=prog, description="Runs the typical run over pen cameras' recordings, window by "
        "window: extraction, seeding, tracking, refinement, annotation files, review, exports. "
        "Rerunning the same command skips the windows already done.")
    p.add_argument("recordings", metavar="RECORDINGS", help="folder holding one sub-folder per camera")
    p.add_argument("--cameras", nargs="+", required=True, metavar="SUB",
                   help="camera sub-folders of RECORDINGS")
    p.add_argument("--pens", required=True, metavar="PEN_DIR", help="folder holding Cam<N>.json")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="output folder; nothing outside it is written")
    models = p.add_mutually_exclusive_group(required=True)
    models.add_argument("--stand-ins", action="store_true",
                        help="the library's stand-in models (not trained models)")
    models.add_argument("--models", metavar="MODULE:FACTORY",
                        help="factory building the SAM2 image and video predictors and "
                        "Grounding DINO (see kovra_utils.pipeline.Models)")
    p.add_argument("--window-minutes", type=_positive_float, default=1.0, metavar="M",
                   help="window length in minutes (default 1)")
    p.add_argument("--day-start", metavar="HHMMSS", help="first recording start kept (exclusive)")
    p.add_argument("--day-end", metavar="HHMMSS", help="last recording start kept (exclusive)")
    p.add_argument("--sample-step", type=_positive_int, default=1, metavar="N",
                   help="process every N-th recording of the day window (default 1)")
    p.add_argument("--animals", type=_positive_int, default=10, metavar="N",
                   help="animals per pen (default 10)")
    engine = p.add_mutually_exclusive_group()
    engine.add_argument("--workers", type=_positive_int, metavar="N",
                        help="run on a local Dask cluster of N worker processes")
    engine.add_argument("--scheduler", metavar="ADDRESS", help="run on this Dask scheduler's cluster")
    p.add_argument("--gpu-resources", action="store_true",
                   help="model steps ask for the Dask worker resource GPU")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress lines")
    return p


def main(argv=None, prog="kovra-run"):
    args = parser(prog).parse_args(argv)
    try:
        summary = pipeline.run(
            args.recordings, args.cameras, args.pens, args.output, stand_ins=args.stand_ins,
            models=args.models, window_minutes=args.window_minutes, day_start=args.day_start,
            day_end=args.day_end, sample_step=args.sample_step, workers=args.workers,
            scheduler=args.scheduler, gpu_resources=args.gpu_resources, animals=args.animals,
            progress=not args.quiet)
    except ku.Error as error:
        print(f"{prog}: {error}", file=sys.stderr)
        return 1
    failed = pipeline.failed_windows(summary)
    if not args.quiet:
        counts = summary["status"].value_counts()
        print(", ".join(f"{count} {status}" for status, count in counts.items())
              + f"; summary in {args.output}/summary.csv")
    if failed:
        print(f"{prog}: {len(failed)} window(s) failed:", file=sys.stderr)
        for line in failed:
            print(f"  {line}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

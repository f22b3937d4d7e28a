#!/usr/bin/env python3
"""The typical run with the real models: pen cameras' recordings to checked tracks.

    python3 examples/python/typical_run.py RECORDINGS --cameras pen61 pen62 --pens PEN_DIR -o OUT

Everything is written under OUT (frames, tracker output, reports, COCO and MOT exports,
summary.csv); nothing else is written or deleted, and running it again resumes. The models are
SAM2 (image and video predictors) and Grounding DINO, built by ``build_models`` once in every
process that runs them; set SAM2_CONFIG, SAM2_CHECKPOINT and GDINO_MODEL to choose them. With
``--workers N`` the windows run on a local Dask cluster; the workers then import the factory by
name, so run this file from its own folder (or put it on PYTHONPATH).

The same from the shell: kovra-run RECORDINGS --cameras ... --pens ... -o OUT
--models typical_run:build_models
"""

import argparse
import os
import sys

from kovra_utils import pipeline


def build_models():
    import torch
    from sam2.build_sam import build_sam2, build_sam2_video_predictor
    from sam2.sam2_image_predictor import SAM2ImagePredictor
    from transformers import AutoModelForZeroShotObjectDetection, AutoProcessor

    device = "cuda" if torch.cuda.is_available() else "cpu"
    config = os.environ.get("SAM2_CONFIG", "configs/sam2.1/sam2.1_hiera_l.yaml")
    checkpoint = os.environ.get("SAM2_CHECKPOINT", "checkpoints/sam2.1_hiera_large.pt")
    gdino = os.environ.get("GDINO_MODEL", "IDEA-Research/grounding-dino-tiny")
    return pipeline.Models(
        image_predictor=SAM2ImagePredictor(build_sam2(config, checkpoint, device=device)),
        video_predictor=build_sam2_video_predictor(config, checkpoint, device=device),
        processor=AutoProcessor.from_pretrained(gdino),
        grounding_model=AutoModelForZeroShotObjectDetection.from_pretrained(gdino).to(device),
        device=device)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("recordings")
    parser.add_argument("--cameras", nargs="+", required=True)
    parser.add_argument("--pens", required=True)
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("--workers", type=int)
    args = parser.parse_args()
    summary = pipeline.run(args.recordings, args.cameras, args.pens, args.output,
                           models="typical_run:build_models", workers=args.workers)
    print(summary[["camera", "window", "status", "animals", "overlap_rows",
                   "box_most_likely_wrong"]].to_string(index=False))
    return 1 if pipeline.failed_windows(summary) else 0


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())

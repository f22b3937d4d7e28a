#!/usr/bin/env python3
"""One camera's typical run with kovra_utils, from recordings to the box most likely wrong.

    catalogue -> frame windows -> first-frame initializer -> tracking + refinement
    -> next clip: stacked boxes, matcher -> tracking -> tracking question report
    -> overlap resolution

Models: the real SAM2 image and video predictors and Grounding DINO when the packages `sam2` and
`transformers` are importable (set --sam2-config / --sam2-checkpoint / --gdino-model), the
library's stand-ins otherwise (or with --stand-ins). The stand-ins are NOT trained models; they
find bright blobs, which is what the generated recording shows.

Recordings: your own with --recordings DIR --sub-dir NAME --pen-json FILE (pen polygon in the
frames' pixels after cropping), or, by default, a generated recording of ten bright animals,
two of which walk into each other in the second window.

With the stand-ins, the video tracker is kovra_utils.BoxPropagationTracker, which re-prompts the
image predictor with each animal's box on the frame before. kovra_utils.track_clip drives either
tracker; kovra_utils.write_annotation_files saves the result as the tracker's annotation files.

Needs numpy and OpenCV's Python package (cv2) besides kovra_utils.

    python3 examples/python/typical_run.py [WORKDIR]
"""

import argparse
import glob
import importlib.util
import json
import math
import os
import time

import cv2
import numpy as np

import kovra_utils

CAMERA = "61"
RECORDING = f"Camera{CAMERA}_2_20240315061500.mp4"


# ---- a generated recording ------------------------------------------------------------------

PEN = [(600, 60), (2180, 60), (2260, 140), (2260, 1300), (2180, 1380), (600, 1380), (560, 1300),
       (560, 140)]
FRAME_SIZE = (2560, 1440)
FPS, FRAME_COUNT, APPROACH_START = 5, 60, 32
ANGLES = [0, 0, -15, 10, 25, -20, 15, -10, 30, 5]


def animal_position(i, frame):
    base = (760 + 330 * (i % 5), 420 if i < 5 else 1020)
    radius = 8 if i < 2 else 30  # animals 0 and 1 keep still apart from their meeting
    turn = 2 * math.pi * frame / FRAME_COUNT + 0.7 * i
    x, y = base[0] + math.cos(turn) * radius, base[1] + math.sin(turn) * radius
    if i == 1 and frame >= APPROACH_START:
        x -= min(150.0, 14.0 * (frame - APPROACH_START))
    return x, y


def draw_animal(frame, i, centre):
    brightness = 200 + 4 * i
    cx, cy = centre
    cv2.ellipse(frame, (int(cx), int(cy)), (110, 58), ANGLES[i], 0, 360, (brightness,) * 3,
                cv2.FILLED, cv2.LINE_AA)
    along = (math.cos(math.radians(ANGLES[i])), math.sin(math.radians(ANGLES[i])))
    for s in range(1 + i % 3):  # dark markings, so each animal looks a little different
        offset = -40.0 + 40.0 * s
        spot = (int(cx + along[0] * offset), int(cy + along[1] * offset))
        cv2.circle(frame, spot, 12, (95, 95, 95), cv2.FILLED, cv2.LINE_AA)


def write_recording(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    floor = np.full((FRAME_SIZE[1], FRAME_SIZE[0], 3), 38, np.uint8)
    cv2.fillPoly(floor, [np.array(PEN, np.int32)], (72, 70, 68))
    cv2.rectangle(floor, (480, 60), (519, 259), (0, 140, 255), cv2.FILLED)  # the crop's marker
    writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), FPS, FRAME_SIZE)
    for f in range(FRAME_COUNT):
        frame = floor.copy()
        for i in range(10):
            draw_animal(frame, i, animal_position(i, f))
        writer.write(frame)
    writer.release()


def write_pen_json(path, points):
    with open(path, "w") as f:
        json.dump({"shapes": [{"label": "pen", "points": [list(p) for p in points]}]}, f)


# ---- models ---------------------------------------------------------------------------------

def real_models_available():
    return all(importlib.util.find_spec(name) for name in ("sam2", "transformers", "torch"))


def load_models(args):
    """(processor, grounding_model, image_predictor, video_predictor, device, description)."""
    if args.stand_ins or not real_models_available():
        detector = kovra_utils.BrightBlobDetector()
        predictor = kovra_utils.ThresholdPredictor()
        return (detector, detector, predictor, kovra_utils.BoxPropagationTracker(predictor), "cpu",
                "stand-in models")
    import torch
    from sam2.build_sam import build_sam2, build_sam2_video_predictor
    from sam2.sam2_image_predictor import SAM2ImagePredictor
    from transformers import AutoModelForZeroShotObjectDetection, AutoProcessor

    device = args.device or ("cuda" if torch.cuda.is_available() else "cpu")
    predictor = SAM2ImagePredictor(build_sam2(args.sam2_config, args.sam2_checkpoint, device=device))
    video_predictor = build_sam2_video_predictor(args.sam2_config, args.sam2_checkpoint, device=device)
    processor = AutoProcessor.from_pretrained(args.gdino_model)
    grounding_model = AutoModelForZeroShotObjectDetection.from_pretrained(args.gdino_model).to(device)
    return (processor, grounding_model, predictor, video_predictor, device,
            f"SAM2 and Grounding DINO on {device}")


# ---- the run --------------------------------------------------------------------------------

def clip_windows(frames_root):
    """Extracted windows in time order: (name, folder, frame paths)."""
    dirs = glob.glob(os.path.join(frames_root, "**", "*_cropped_frames"), recursive=True)
    windows = []
    for d in dirs:
        name = os.path.basename(os.path.dirname(d))
        windows.append((name, d, sorted(glob.glob(os.path.join(d, "*.jpg")))))
    return sorted(windows, key=lambda w: float(w[0].split("min")[0]))


def step(title):
    print(f"\n== {title}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("workdir", nargs="?", default="kovra_python_run",
                        help="new or empty folder for everything the run writes")
    parser.add_argument("--recordings", help="root of your camera recordings")
    parser.add_argument("--sub-dir", default="pen61", help="sub-folder of --recordings to scan")
    parser.add_argument("--pen-json", help="pen polygon file of your camera (cropped pixels)")
    parser.add_argument("--stand-ins", action="store_true", help="use the stand-in models")
    parser.add_argument("--device", help="device of the real models (default: cuda if available)")
    parser.add_argument("--sam2-config", default="configs/sam2.1/sam2.1_hiera_l.yaml")
    parser.add_argument("--sam2-checkpoint", default="checkpoints/sam2.1_hiera_large.pt")
    parser.add_argument("--gdino-model", default="IDEA-Research/grounding-dino-tiny")
    args = parser.parse_args()

    started = time.time()
    if os.path.isdir(args.workdir) and os.listdir(args.workdir):
        raise SystemExit(f"{args.workdir} is not empty; name a new or empty folder")
    os.makedirs(args.workdir, exist_ok=True)
    recordings = args.recordings
    if recordings is None:
        recordings = os.path.join(args.workdir, "recordings")
        step("Generating a recording of ten animals (2560 x 1440, 12 s)")
        write_recording(os.path.join(recordings, args.sub_dir, RECORDING))
    processor, grounding_model, predictor, video_predictor, device, models = load_models(args)
    print(f"models: {models}")

    step("Cataloguing the recordings and extracting cropped frame windows")
    table = kovra_utils.VideoMetadata(base_dir=recordings, sub_dirs=[args.sub_dir])\
        .get_filtered_video_dataframe()
    video_processor = kovra_utils.VideoProcessor(output_dir_base=os.path.join(args.workdir, "frames"))
    video_processor.process_videos_to_frames(table)
    pen_json = args.pen_json
    if pen_json is None:  # the generated pen, moved into the cropped frames' pixels
        x1, y1 = video_processor.camera_crop_coords[CAMERA][:2]  # (x1, y1, x2, y2)
        pen_json = os.path.join(args.workdir, "pen_polygon.json")
        write_pen_json(pen_json, [(x - x1, y - y1) for x, y in PEN])
    windows = clip_windows(os.path.join(args.workdir, "frames"))
    if len(windows) < 2:
        raise SystemExit(f"expected two frame windows, found {len(windows)}")
    (first_name, first_dir, first_frames), (second_name, second_dir, second_frames) = windows[:2]

    step(f"First clip {first_name}: initializer")
    masks, OBJECTS, ann_frame_idx, annotated_frame = kovra_utils.initializer(
        first_dir, first_frames, processor, grounding_model, device, predictor,
        custom_pen_json_path=pen_json)
    if masks is None:
        raise SystemExit("the initializer found no frame with ten separate animals")
    cv2.imwrite(os.path.join(args.workdir, "first_frame.png"),
                cv2.cvtColor(annotated_frame, cv2.COLOR_RGBA2BGRA))

    refinement = kovra_utils.Mask_Refinement(custom_pen_json_path=pen_json)
    output_root = os.path.join(args.workdir, "tracker_output")

    def track_and_save(name, clip_dir, frame_names, start, seeds):
        step(f"Clip {name}: tracking {len(seeds)} animals and refining their masks")
        segments = kovra_utils.track_clip(video_predictor, clip_dir, seeds, ann_frame_idx=start)
        refinement.process_video_segments(segments, clip_dir, frame_names)
        out_dir = os.path.join(output_root, name)
        kovra_utils.write_annotation_files(segments, frame_names, out_dir)
        return out_dir

    first_out = track_and_save(first_name, first_dir, first_frames, ann_frame_idx, masks)

    step(f"Next clip {second_name}: seeding it from the end of {first_name}")
    _, laste_frame = kovra_utils.get_kovra_annotation_data(first_dir, save_dir_base=first_out)
    frames = len(laste_frame)  # the thresholds scaled to these short clips
    remove_stack_box = kovra_utils.find_boxes_with_small_area_from_last_video(
        laste_frame, min_frame_id=frames - frames // 6, area_threshold=100,
        min_count=frames // 12)
    print(f"stacked boxes to drop: {remove_stack_box}")
    masks, OBJECTS, keep_box, best_laste_frame, no_best_laste_frame = kovra_utils.matcher(
        laste_frame, second_frames, ann_frame_idx=0, image_predictor=predictor,
        remove_stack_box=remove_stack_box)
    if no_best_laste_frame:
        raise SystemExit(f"the matcher could not seed clip {second_name}")
    second_out = track_and_save(second_name, second_dir, second_frames, 0, masks)

    step(f"Reviewing clip {second_name}: tracking question report and overlaps")
    _, data = kovra_utils.get_kovra_annotation_data(second_dir, save_dir_base=second_out)
    overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df = \
        kovra_utils.generate_tracking_report(data, second_out)
    print(f"{len(overlap_frames_data)} overlap rows, {len(zero_area_frames)} zero-area rows")
    if len(overlap_frames_data):
        test_frame, most_frequent_box, con_frames_dict, worst_boxes = \
            kovra_utils.process_overlap_frames(overlap_frames_data, data, predictor)
        print(f"box most likely carrying an identity error: {most_frequent_box}")

    print(f"\n== Done in {time.time() - started:.1f} s; everything is under {args.workdir}")


if __name__ == "__main__":
    main()

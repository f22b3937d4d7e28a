"""Fixture writers shared by the Python tests: frame images, annotation files, pen polygons."""

import json
import os
from pathlib import Path

import numpy as np
import pytest


def write_ppm(path, rgb):
    """Writes an H x W x 3 uint8 RGB array as a binary PPM, which OpenCV reads without codecs."""
    rgb = np.ascontiguousarray(rgb, dtype=np.uint8)
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (rgb.shape[1], rgb.shape[0]))
        f.write(rgb.tobytes())
    return str(path)


def square_polygon(x0, y0, x1, y1, width, height, ident=0):
    """A polygon string of the rectangle (x0, y0)-(x1, y1) in pixels, normalised."""
    points = [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]
    return " ".join([str(ident)] + [f"{x / width} {y / height}" for x, y in points])


def write_annotation(path, image_path, detections):
    """detections: (object_id, [polygon strings], [x1, y1, x2, y2]) triples."""
    document = {"image_path": str(image_path), "detections": [
        {"object_id": object_id, "formatted_polygon": polygons, "xyxy": [box]}
        for object_id, polygons, box in detections]}
    Path(path).write_text(json.dumps(document))
    return str(path)


@pytest.fixture
def frame_image(tmp_path):
    """A 40 x 60 RGB frame image on disk."""
    rgb = np.zeros((40, 60, 3), np.uint8)
    rgb[..., 0] = 200
    return write_ppm(tmp_path / "frame.ppm", rgb)


def write_clip(folder, image_path, frames, width=60, height=40):
    """A tracker-output folder: one output_pp_<n>.json per frame; frames[n] lists detections."""
    os.makedirs(folder, exist_ok=True)
    for number, detections in enumerate(frames):
        write_annotation(Path(folder) / f"output_pp_{number}.json", image_path, detections)
    return str(folder)


@pytest.fixture
def clip(tmp_path, frame_image):
    """Three frames of two boxes: Box0 and Box1 overlap completely in frame 1, Box1 is empty in 2."""
    w, h = 60, 40
    a = square_polygon(5, 5, 20, 20, w, h)
    b = square_polygon(30, 5, 45, 20, w, h)
    frames = [
        [(1, [a], [5, 5, 20, 20]), (2, [b], [30, 5, 45, 20])],
        [(1, [a], [5, 5, 20, 20]), (2, [a], [5, 5, 20, 20])],
        [(1, [a], [5, 5, 20, 20]), (2, [], [0, 0, 0, 0])],
    ]
    return write_clip(tmp_path / "tracker", frame_image, frames)


def write_pen(path, points):
    Path(path).write_text(json.dumps({"shapes": [{"points": points}]}))
    return str(path)

#!/usr/bin/python3
"""Checks a COCO video-instance file the way a Python user would read it.

Usage: coco_check.py COCO_JSON MASK_DIR

Loads the file with the json module, checks its structure (members, types, ids, references),
decodes every annotation's compressed counts independently of the library (the text form of
pycocotools' maskApi.c, decoded column-major as pycocotools' annToMask does) and compares the
result, the area and the bbox with MASK_DIR/<annotation id>.png (0 = clear, non-zero = set).
Prints one line per problem and exits 1 when there is any.
"""
import json
import os
import sys

import cv2
import numpy as np


def counts_from_text(text):
    counts = []
    pos = 0
    while pos < len(text):
        value, shift, more = 0, 0, True
        while more:
            c = ord(text[pos]) - 48
            value |= (c & 0x1F) << shift
            more = c & 0x20
            pos += 1
            shift += 5
            if not more and c & 0x10:
                value -= 1 << shift
        if len(counts) > 2:
            value += counts[-2]
        counts.append(value)
    return counts


def decode(segmentation):
    height, width = segmentation["size"]
    flat = np.zeros(height * width, dtype=np.uint8)
    pos, value = 0, 0
    for count in counts_from_text(segmentation["counts"]):
        flat[pos:pos + count] = value
        pos += count
        value = 1 - value
    if pos != height * width:
        raise ValueError("counts sum to %d, not %d" % (pos, height * width))
    return flat.reshape((height, width), order="F")


def dense_bbox(mask):
    rows = np.flatnonzero(mask.any(axis=1))
    cols = np.flatnonzero(mask.any(axis=0))
    if rows.size == 0:
        return [0.0, 0.0, 0.0, 0.0]
    return [float(cols[0]), float(rows[0]), float(cols[-1] - cols[0] + 1), float(rows[-1] - rows[0] + 1)]


def expect(problems, condition, text):
    if not condition:
        problems.append(text)


def check_structure(doc, problems):
    expect(problems, list(doc) == ["images", "annotations", "categories", "videos"], "members %s" % list(doc))
    expect(problems, doc["categories"] == [{"id": 1, "name": "pig"}], "categories %s" % doc["categories"])
    expect(problems, len(doc["videos"]) == 1 and doc["videos"][0]["id"] == 1, "videos %s" % doc["videos"])
    image_ids = [image["id"] for image in doc["images"]]
    expect(problems, image_ids == list(range(1, len(image_ids) + 1)), "image ids %s" % image_ids)
    for image in doc["images"]:
        expect(problems, sorted(image) == ["file_name", "frame_index", "height", "id", "video_id", "width"],
               "image members %s" % sorted(image))
        expect(problems, isinstance(image["file_name"], str) and image["video_id"] == 1, "image %s" % image)
    annotation_ids = [a["id"] for a in doc["annotations"]]
    expect(problems, annotation_ids == list(range(1, len(annotation_ids) + 1)), "annotation ids")
    for a in doc["annotations"]:
        expect(problems, a["image_id"] in image_ids, "annotation %d: unknown image" % a["id"])
        expect(problems, a["category_id"] == 1 and a["iscrowd"] == 0, "annotation %d: category/crowd" % a["id"])
        expect(problems, isinstance(a["area"], int), "annotation %d: area not an integer" % a["id"])
        expect(problems, all(isinstance(v, float) for v in a["bbox"]), "annotation %d: bbox not floats" % a["id"])
        expect(problems, isinstance(a["track_id"], int), "annotation %d: track_id" % a["id"])
        image = doc["images"][a["image_id"] - 1]
        expect(problems, a["segmentation"]["size"] == [image["height"], image["width"]],
               "annotation %d: size differs from its image" % a["id"])


def check_masks(doc, mask_dir, problems):
    for a in doc["annotations"]:
        mask = decode(a["segmentation"])
        expected = cv2.imread(os.path.join(mask_dir, "%d.png" % a["id"]), cv2.IMREAD_GRAYSCALE)
        if expected is None:
            problems.append("annotation %d: no expected mask" % a["id"])
            continue
        expect(problems, np.array_equal(mask, (expected != 0).astype(np.uint8)), "annotation %d: mask differs" % a["id"])
        expect(problems, a["area"] == int(mask.sum()), "annotation %d: area %s" % (a["id"], a["area"]))
        expect(problems, a["bbox"] == dense_bbox(mask), "annotation %d: bbox %s" % (a["id"], a["bbox"]))


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        doc = json.load(f)
    problems = []
    check_structure(doc, problems)
    check_masks(doc, sys.argv[2], problems)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

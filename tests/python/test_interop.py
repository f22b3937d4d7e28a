"""Run-length masks in pycocotools' dict form, MOT / MOTS / COCO files and the trajectory table."""

import json

import numpy as np
import pytest

import kovra_utils as ku


# Counts text derived by hand from rleToString: runs alternate clear/set down the columns; from
# the fourth run on each is written minus the run two before it, in 5-bit groups (+48), the last
# group's bit 4 being the sign (-2 -> 30 -> 'N').
@pytest.mark.parametrize("rows, counts, text", [
    ([[0, 0], [1, 1]], [1, 1, 1, 1], "1110"),
    ([[0], [0], [1], [1], [1], [0], [1]], [2, 3, 1, 1], "231N"),
    ([[0, 0, 0], [0, 0, 0]], [6], "6"),
    ([[1, 1], [1, 1]], [0, 4], "04"),
])
def test_counts_text_matches_pycocotools(rows, counts, text):
    mask = np.array(rows, np.uint8)
    rle = ku.encode_rle(mask)
    assert rle == {"size": list(mask.shape), "counts": text}
    assert ku.rle_from_string(text, *mask.shape) == {"size": list(mask.shape), "counts": counts}
    for form in (rle, {"size": list(mask.shape), "counts": counts}, {"size": mask.shape, "counts": text.encode()}):
        np.testing.assert_array_equal(ku.decode_rle(form), mask)
    assert ku.rle_to_string({"size": list(mask.shape), "counts": counts}) == text


def test_encode_decode_round_trip():
    rng = np.random.default_rng(7)
    mask = rng.random((37, 53)) > 0.6
    rle = ku.encode_rle(mask)
    decoded = ku.decode_rle(rle)
    assert decoded.dtype == np.uint8 and decoded.shape == mask.shape
    np.testing.assert_array_equal(decoded, mask)
    assert ku.rle_area(rle) == mask.sum()


def test_area_box_and_iou():
    a = np.zeros((10, 10), np.uint8)
    a[2:6, 3:5] = 1  # 8 pixels, x 3..4, y 2..5
    b = np.zeros((10, 10), np.uint8)
    b[2:6, 4:8] = 1  # 16 pixels, 4 shared
    ra, rb = ku.encode_rle(a), ku.encode_rle(b)
    assert ku.rle_to_bbox(ra) == [3.0, 2.0, 2.0, 4.0]
    assert ku.rle_iou(ra, rb) == pytest.approx(4 / 20)
    assert ku.rle_iou(dt=ra, gt=rb, iscrowd=True) == pytest.approx(4 / 8)
    matrix = ku.rle_iou_matrix([ra, rb], [rb], [False])
    assert matrix.shape == (2, 1)
    np.testing.assert_allclose(matrix[:, 0], [0.2, 1.0])


@pytest.mark.parametrize("rle, error", [
    ({"size": [2, 2]}, ku.ArgumentError),
    ({"counts": "1110"}, ku.ArgumentError),
    ({"size": [2], "counts": "1110"}, ku.ArgumentError),
    ({"size": [2, 2], "counts": "11"}, ku.ContentError),  # sums to 2, not 4
    ({"size": [2, 2], "counts": "1\x7f00"}, ku.ContentError),
    ({"size": [2, 2], "counts": [1, -1, 4]}, ku.ContentError),
    ("1100", ku.ArgumentError),
    ({"size": [2, 2], "counts": ["a"]}, ku.ArgumentError),
])
def test_malformed_encodings_are_refused(rle, error):
    with pytest.raises(error):
        ku.decode_rle(rle)


def test_exports_of_a_tracker_folder_read_back(clip, tmp_path):
    _, data = ku.get_kovra_annotation_data("unused", save_dir_base=clip)
    tracks = ku.clip_track_masks(data)
    assert list(tracks) == [1, 2, 3]

    coco_path = tmp_path / "clip.json"
    assert ku.export_tracker_output(clip, "coco", coco_path) == 6
    coco = json.loads(coco_path.read_text())
    assert coco["videos"][0]["name"] == "tracker"
    for annotation in coco["annotations"]:
        mask = tracks[annotation["image_id"]][annotation["track_id"]]
        np.testing.assert_array_equal(ku.decode_rle(annotation["segmentation"]), np.asarray(mask))
        assert annotation["area"] == mask.area

    mots_path = tmp_path / "clip.txt"
    assert ku.export_clip(data, "mots", mots_path) == 5  # the empty mask has no line
    read = ku.read_mots(mots_path)
    assert [list(frame) for frame in read.values()] == [[1, 2], [1, 2], [1]]
    for frame, masks in read.items():
        for identity, mask in masks.items():
            np.testing.assert_array_equal(np.asarray(mask), np.asarray(tracks[frame][identity]))

    boxes = ku.track_boxes(tracks)
    assert ku.write_mot(boxes, tmp_path / "boxes.txt") == 5
    assert ku.read_mot(tmp_path / "boxes.txt") == boxes
    assert ku.write_mot(data, tmp_path / "clip_boxes.txt") == 5

    table = ku.trajectory_table(data)
    assert len(table) == 6
    assert list(table["object_id"]) == [1, 2, 1, 2, 1, 2]


def test_export_errors_name_the_fault(clip, tmp_path):
    with pytest.raises(ku.ArgumentError, match="gif"):
        ku.export_tracker_output(clip, "gif", tmp_path / "x")
    (tmp_path / "bad.txt").write_text("1 1 1 2 2 1110\n1 x 1 2 2 1110\n")
    with pytest.raises(ku.ContentError, match="bad.txt"):
        ku.read_mots(tmp_path / "bad.txt")

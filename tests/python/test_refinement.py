import contextlib
import io

import numpy as np
import pytest

import kovra_utils as ku
from conftest import write_pen


def two_blobs(shape=(40, 60)):
    mask = np.zeros((1,) + shape, bool)
    mask[0, 5:25, 5:25] = True   # main blob, 400 pixels
    mask[0, 5:9, 40:44] = True   # small speck far away
    return mask


def test_constructor_fields():
    refinement = ku.Mask_Refinement()
    assert (refinement.MIN_AREA_RATIO, refinement.MAX_DISTANCE_RATIOS, refinement.MAX_PREV_DIST,
            refinement.custom_pen_json_path, refinement.prev_centroids) == (0.3, [0.5, 1.5], 200,
                                                                            "pen_polygon.json", {})
    custom = ku.Mask_Refinement(min_area_ratio=0.1, max_distance_ratios=[1, 2], max_prev_dist=50,
                                custom_pen_json_path=None)
    assert custom.MIN_AREA_RATIO == 0.1 and custom.MAX_DISTANCE_RATIOS == [1, 2]
    assert custom.custom_pen_json_path is None
    custom.prev_centroids = {3: (1.5, 2.5)}
    assert custom.prev_centroids == {3: (1.5, 2.5)}


def test_main_blob_and_cleaning():
    refinement = ku.Mask_Refinement()
    mask = two_blobs()
    num_labels, stats, centroids, min_area, max_distance, best_idx, labels = refinement.get_main_blob(
        mask=mask, prev_centroids={}, object_id=1)
    assert num_labels == 3 and stats.shape == (3, 5) and stats.dtype == np.int32
    assert centroids.shape == (3, 2) and stats[best_idx, 4] == 400
    assert min_area == pytest.approx(120) and np.asarray(labels).shape == (40, 60)
    segments = {0: {1: mask}}
    arguments = dict(num_labels=num_labels, labels=labels, stats=stats, centroids=centroids,
                     max_distance_threshold=max_distance, min_area_threshold=min_area, best_idx=best_idx,
                     prev_centroids={}, object_id=1, frame_idx=0, mask=mask, video_segments=segments)
    cleaned = refinement.get_dis_to_main_and_prev_blob(**arguments)
    assert isinstance(cleaned, ku.Mask) and cleaned.area == 400
    arguments["labels"] = np.asarray(labels)  # a dense label image works as well
    assert refinement.get_dis_to_main_and_prev_blob(**arguments).area == 400
    with pytest.raises(ku.ArgumentError, match="1"):
        refinement.get_main_blob(np.zeros((4, 4)), {}, 1)


def test_blob_shortest_distance():
    a = np.zeros((10, 10), np.uint8)
    b = np.zeros((10, 10), np.uint8)
    a[1, 1] = 1
    b[1, 4] = 1
    assert ku.Mask_Refinement.blob_shortest_distance(blob_mask1=a, blob_mask2=b) == 3.0
    assert ku.Mask_Refinement.blob_shortest_distance(a, np.zeros_like(b)) == float("inf")


def test_process_video_segments_in_place(tmp_path):
    pen = write_pen(tmp_path / "pen.json", [[0, 0], [30, 0], [30, 40], [0, 40]])
    refinement = ku.Mask_Refinement(custom_pen_json_path=pen)
    empty = np.zeros((1, 40, 60), bool)
    segments = {0: {1: two_blobs(), 2: empty}, 1: {1: ku.Mask(two_blobs()), 2: empty.copy()}}
    inner = segments[0]
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        result = refinement.process_video_segments(video_segments=segments, video_dir="clip",
                                                   frame_names=["a.jpg", "b.jpg"])
    assert result is segments and segments[0] is inner
    assert segments[0][1].shape == (1, 40, 60) and segments[0][1].dtype == bool
    assert segments[0][1].sum() == 400 and isinstance(segments[1][1], ku.Mask)
    assert segments[1][1].area == 400 and segments[0][2].sum() == 0
    assert refinement.prev_centroids[1] == pytest.approx((14.5, 14.5))
    assert printed.getvalue() == ""


def test_process_video_segments_errors_keep_earlier_work(tmp_path):
    refinement = ku.Mask_Refinement(custom_pen_json_path=str(tmp_path / "missing.json"))
    segments = {0: {1: two_blobs()}}
    with pytest.raises(ku.FileError, match="missing.json"):
        refinement.process_video_segments(segments, "clip", ["a.jpg"])
    assert segments[0][1].sum() == 416

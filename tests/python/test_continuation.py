"""Last-frame selection, stacked boxes, the clip-start matcher and the similarity measures."""

import numpy as np
import pytest

import kovra_utils
from model_doubles import (
    H,
    W,
    Sam2PredictorDouble,
    bright_box,
    scene,
    write_frames,
)

pytest.importorskip("cv2")


def animal_masks(image):
    masks = []
    for i in range(10):
        cx, cy = 10 + 38 * (i % 5), 15 + 55 * (i // 5)
        x1, y1, x2, y2 = bright_box(image, (cx, cy, cx + 36, cy + 50))
        mask = np.zeros((H, W), dtype=bool)
        mask[y1:y2, x1:x2] = True
        masks.append(mask)
    return masks


@pytest.fixture
def laste_frame():
    """A tracked previous clip of 12 still frames: keys 0 .. 11, Box0 .. Box9 each."""
    masks = [kovra_utils.Mask(m) for m in animal_masks(scene())]
    return {
        key: kovra_utils.FrameRecord(
            frame_index=key,
            masks_dict={f"Box{i}": m for i, m in enumerate(masks)},
            mask_areas={f"Box{i}": int(m.area) for i, m in enumerate(masks)},
            json_path=f"previous/output_pp_{key}.json",
            image_path=f"previous/{key:04d}.png",
            intersections_df=None)
        for key in range(12)
    }


@pytest.fixture
def next_clip(tmp_path):
    return write_frames(tmp_path / "next", [scene(), scene()])


def test_best_last_frame_is_the_callers_record_and_removal_reaches_it(laste_frame, capsys):
    laste_frame[11]["masks_dict"]["Box2"] = np.zeros((H, W), dtype=bool)
    best_laste_frame, not_last_frame = kovra_utils.find_best_laste_frame(
        laste_frame=laste_frame, min_area=10, max_attempts=10, remove_stack_obs=["Box7", None])
    assert not_last_frame is False
    assert best_laste_frame is laste_frame[10]
    assert capsys.readouterr().out == (
        "Switched to frame key 10 due to small mask area in later frames.\n")
    assert all("Box7" not in record["masks_dict"] for record in laste_frame.values())
    assert all("Box7" in record.mask_areas for record in laste_frame.values())

    assert kovra_utils.find_best_laste_frame(laste_frame, max_attempts=0) == (None, True)
    assert kovra_utils.find_best_laste_frame({}, max_attempts=1) == (None, True)


def test_stacked_boxes(laste_frame):
    for key in range(6, 12):
        laste_frame[key]["mask_areas"]["Box4"] = 50
    assert kovra_utils.find_boxes_with_small_area_from_last_video(
        laste_frame=laste_frame, min_frame_id=5, area_threshold=100, min_count=5) == ["Box4"]
    assert kovra_utils.find_boxes_with_small_area_from_last_video(laste_frame, 6, 100, 5) == []


def test_matcher_seeds_the_next_clip(laste_frame, next_clip, capsys):
    shown = []
    predictor = Sam2PredictorDouble()
    masks, OBJECTS, keep_box, best_laste_frame, no_best_laste_frame = kovra_utils.matcher(
        laste_frame=laste_frame, frame_names=next_clip, ann_frame_idx=1,
        image_predictor=predictor, remove_stack_box=["Box3"], min_area=10, max_attempts=10,
        display_func=shown.append)
    assert no_best_laste_frame is False and best_laste_frame is laste_frame[11]
    assert keep_box == [f"Box{i}" for i in range(10) if i != 3]
    assert OBJECTS == ["pig"] * 9 and len(masks) == 9
    expected = [m for i, m in enumerate(animal_masks(scene())) if i != 3]
    assert all(np.array_equal(np.asarray(m), e) for m, e in zip(masks, expected))
    assert len(shown) == 1 and shown[0].shape == (H, W, 4) and shown[0].dtype == np.uint8
    assert capsys.readouterr().out.endswith("ann_frame_idx [1] works for mask finding!!!\n")
    predict = dict(predictor.calls)["predict"]
    assert predict["box"].dtype.kind == "i" and predict["box"].shape == (9, 4)
    assert predict["multimask_output"] is False and predict["point_coords"] is None


def test_matcher_rejections_and_errors(laste_frame, next_clip, capsys):
    overlapping = Sam2PredictorDouble(margin=40)  # every box grows over its neighbours
    assert kovra_utils.matcher(laste_frame, next_clip, image_predictor=overlapping) == (
        None, None, None, None, True)
    assert capsys.readouterr().out.endswith("ann_frame_idx [0] cannot work..\n\n")

    with pytest.raises(ValueError, match="image_predictor"):
        kovra_utils.matcher(laste_frame, next_clip)
    with pytest.raises(IndexError):
        kovra_utils.matcher(laste_frame, next_clip, ann_frame_idx=5,
                            image_predictor=Sam2PredictorDouble())
    with pytest.raises(TypeError, match="display_func"):
        kovra_utils.matcher(laste_frame, next_clip, image_predictor=Sam2PredictorDouble(),
                            display_func="show")

    class ViewerClosed(Exception):
        pass

    def display(image):
        raise ViewerClosed("the figure window was closed")

    with pytest.raises(ViewerClosed, match="the figure window was closed"):
        kovra_utils.matcher(laste_frame, next_clip, image_predictor=Sam2PredictorDouble(),
                            display_func=display)


def test_mask_measures_take_arrays_and_masks():
    masks = animal_masks(scene())
    masks_new = np.stack(masks[:3])  # an N x H x W array
    masks_old = [kovra_utils.Mask(m) for m in masks[:2]]
    iou = kovra_utils.cal_masks_iou_scores(masks_new=masks_new, masks_old=masks_old)
    assert iou.shape == (3, 2) and iou.dtype == np.float64
    np.testing.assert_allclose(iou, [[140 / (140 + 1e-6), 0], [0, 140 / (140 + 1e-6)], [0, 0]])
    similarity = kovra_utils.cal_centroid_distance(masks_new=list(masks_new), masks_old=masks_old)
    assert similarity.shape == (3, 2) and similarity[0, 0] == 1.0
    with pytest.raises(ValueError, match="must be 120 x 200"):
        kovra_utils.cal_masks_iou_scores([masks[0]], [np.zeros((5, 5), bool)])


def test_features_and_cosine_scores():
    image = scene()
    masks = animal_masks(image)[:2] + [np.zeros((H, W), bool)]
    masks[2][0:3, 0:3] = True  # 9 pixels: too small to describe
    features = kovra_utils.generate_sam2_image_features(
        image=image, masks=masks, image_predictor=Sam2PredictorDouble())
    assert features[2] is None
    assert all(f.dtype == np.float32 and f.shape == (3,) for f in features[:2])
    scores = kovra_utils.cosine_scores_cal(image_features_new=features,
                                           image_features_old=features[:2])
    assert scores.shape == (3, 2)
    np.testing.assert_allclose(np.diag(scores[:2]), [1.0, 1.0], rtol=1e-6)
    assert np.all(np.isneginf(scores[2]))

    torch = pytest.importorskip("torch")
    scores = kovra_utils.cosine_scores_cal([torch.tensor([1.0, 0.0]), None],
                                           [np.array([-1.0, 0.0]), torch.tensor([0.0, 2.0])])
    np.testing.assert_array_equal(scores, [[-1.0, 0.0], [-np.inf, -np.inf]])

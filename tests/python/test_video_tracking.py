import numpy as np
import pytest

import kovra_utils as ku
from model_doubles import (CELLS, Sam2PredictorDouble, Sam2VideoPredictorDouble, mask_box, scene,
                           write_jpeg_frames)

FRAMES = 5


def _offsets(frame):
    """Animal 0 walks right, animal 3 walks down; the others keep still."""
    return {0: (2 * frame, 0), 3: (0, 2 * frame)}


def _animal_box(i, frame):
    """Inclusive [x1, y1, x2, y2] of animal i on ``frame`` in the scene."""
    dx, dy = _offsets(frame).get(i, (0, 0))
    x, y = CELLS[i][0] + 12 + dx, CELLS[i][1] + 18 + dy
    return [x, y, x + 13, y + 9]


def _animal_mask(i, frame):
    x1, y1, x2, y2 = _animal_box(i, frame)
    mask = np.zeros(scene().shape[:2], dtype=bool)
    mask[y1:y2 + 1, x1:x2 + 1] = True
    return mask


@pytest.fixture
def clip(tmp_path):
    """A folder of JPEG frames named by number, written out of order, with a non-frame file."""
    folder = tmp_path / "frames"
    names = [f"{i}.jpg" for i in range(FRAMES)]
    write_jpeg_frames(str(folder), [scene(_offsets(f)) for f in range(FRAMES)], names)
    (folder / "notes.txt").write_text("not a frame")
    return folder


def _assert_follows(segments, first, animals):
    assert list(segments) == list(range(first, FRAMES))
    for frame, objects in segments.items():
        assert list(objects) == [k + 1 for k in range(len(animals))]
        for obj_id, mask in objects.items():
            assert isinstance(mask, ku.Mask)
            assert mask_box(np.asarray(mask)) == _animal_box(animals[obj_id - 1], frame), \
                (frame, obj_id)


@pytest.mark.parametrize("as_torch", [False, True])
def test_track_clip_drives_a_sam2_video_predictor(clip, as_torch):
    if as_torch:
        torch = pytest.importorskip("torch")
    predictor = Sam2VideoPredictorDouble(as_torch=as_torch)
    animals = [0, 3, 7]
    masks = [_animal_mask(i, 1) for i in animals]
    if as_torch:
        with torch.inference_mode():
            segments = ku.track_clip(predictor, clip, masks, ann_frame_idx=1)
    else:
        segments = ku.track_clip(predictor, str(clip), [m[None] for m in masks], 1)

    _assert_follows(segments, 1, animals)
    assert predictor.methods() == ["init_state"] + ["add_new_mask"] * 3 + [
        "propagate_in_video", "reset_state"]
    assert predictor.calls[0] == ("init_state", str(clip))
    for k, (_, call) in enumerate(predictor.calls[1:4]):
        assert call["frame_idx"] == 1 and call["obj_id"] == k + 1
        assert call["mask"].dtype == bool and call["mask"].shape == masks[k].shape
        np.testing.assert_array_equal(call["mask"], masks[k])


@pytest.mark.parametrize("image_predictor", [ku.ThresholdPredictor(threshold=128, min_area=10,
                                                                   box_margin=4),
                                             Sam2PredictorDouble(margin=4)],
                         ids=["built-in", "python"])
def test_box_propagation_tracker_follows_the_animals(clip, image_predictor):
    tracker = ku.BoxPropagationTracker(image_predictor)
    animals = [0, 3]
    segments = ku.track_clip(tracker, clip, [_animal_mask(i, 0) for i in animals])
    _assert_follows(segments, 0, animals)


class ModelFailure(Exception):
    pass


def test_model_errors_reach_the_caller_unchanged(clip, tmp_path):
    failure = ModelFailure("out of memory on frame 2")
    predictor = Sam2VideoPredictorDouble(fail_at=2, failure=failure)
    with pytest.raises(ModelFailure) as raised:
        ku.track_clip(predictor, clip, [_animal_mask(0, 0)])
    assert raised.value is failure
    assert "reset_state" not in predictor.methods()
    with pytest.raises(FileNotFoundError):  # raised by the predictor's own init_state
        ku.track_clip(Sam2VideoPredictorDouble(), tmp_path / "missing", [_animal_mask(0, 0)])
    image_failure = Sam2PredictorDouble()
    image_failure.predict = lambda **kwargs: (_ for _ in ()).throw(failure)
    with pytest.raises(ModelFailure):
        ku.track_clip(ku.BoxPropagationTracker(image_failure), clip, [_animal_mask(0, 0)])


@pytest.mark.parametrize("masks, ann_frame_idx, error, message", [
    ([], 0, ku.ArgumentError, "no masks to track"),
    ([np.zeros((4, 4), bool), np.zeros((4, 5), bool)], 0, ku.ArgumentError, "masks"),
    ([np.zeros((4, 4), bool)], -2, ku.ArgumentError, "ann_frame_idx"),
])
def test_bad_prompts(clip, masks, ann_frame_idx, error, message):
    predictor = Sam2VideoPredictorDouble()
    with pytest.raises(error, match=message):
        ku.track_clip(predictor, clip, masks, ann_frame_idx)
    assert predictor.calls == []


def test_logits_of_another_size_are_content_errors(clip):
    small = np.zeros((10, 10), bool)
    small[2:4, 2:4] = True
    with pytest.raises(ku.ContentError, match="like the prompted masks"):
        ku.track_clip(Sam2VideoPredictorDouble(), clip, [small])

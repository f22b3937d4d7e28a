"""The argument layer: one short line naming the parameter for every wrong argument, paths,
mask forms (tensors, NaN, float16, strided views), image checks and signatures."""

import inspect
import os
from pathlib import Path

import numpy as np
import pytest

import kovra_utils
from conftest import square_polygon, write_clip

LIMIT = 300


def check_message(error, *parts):
    text = str(error.value)
    assert "\n" not in text and len(text) <= LIMIT, text
    assert "incompatible function arguments" not in text
    for part in parts:
        assert part in text, text


@pytest.fixture
def loaded(clip):
    return kovra_utils.load_clip(clip)


# (call, type raised, parts of the message)
WRONG_ARGUMENTS = [
    (lambda c: kovra_utils.export_clip(c, 1, "out.json"), TypeError,  # type: ignore[arg-type]
     ["export_clip", "format must be str", "got int"]),
    (lambda c: kovra_utils.generate_tracking_report(c, "out", "80"),  # type: ignore[arg-type]
     TypeError,
     ["intersection_thrr must be float", "got str"]),
    (lambda c: kovra_utils.evaluate_tracking(c, c), TypeError,
     ["evaluate_tracking", "predicted must be", "got dict of 3 items"]),
    (lambda c: kovra_utils.count_mask_areas(masks_dict=c), TypeError, ["masks_dict must be"]),
    (lambda c: kovra_utils.calculate_masks_intersection(np.zeros((4, 4, 2)), np.zeros((4, 4))),
     kovra_utils.ArgumentError, ["mask1", "ndarray (4, 4, 2) float64"]),
    (lambda c: kovra_utils.calculate_masks_intersection(np.array([[None]]), np.zeros((1, 1))),
     kovra_utils.ArgumentError, ["mask1", "object"]),
    (lambda c: kovra_utils.write_mot(c), TypeError, ["write_mot", "missing argument 'path'"]),
    (lambda c: kovra_utils.render_tracking_video("a", "b.mp4", fps="fast"),  # type: ignore[arg-type]
     TypeError,
     ["fps must be float", "got str"]),
    (lambda c: kovra_utils.Mask_Refinement().process_video_segments({0: {1: "mask"}}, "d", []),
     TypeError, ["process_video_segments", "video_segments"]),
    (lambda c: setattr(kovra_utils.VideoProcessor(), "frame_skip", "x"), TypeError,
     ["VideoProcessor.frame_skip must be int", "got str"]),
]


@pytest.mark.parametrize("call,raised,parts", WRONG_ARGUMENTS)
def test_wrong_arguments_give_one_short_line(loaded, call, raised, parts):
    with pytest.raises(raised) as error:
        call(loaded)
    assert isinstance(error.value, kovra_utils.ArgumentError)
    check_message(error, *parts)


IMAGE_CASES = [
    (lambda: kovra_utils.draw_masks_on_image(np.zeros((720, 1065, 3)), []),
     "image must be H x W x 3 uint8 (RGB)", "got ndarray (720, 1065, 3) float64"),
    (lambda: kovra_utils.enhance_dark_text(np.zeros((5, 5), np.uint8)),
     "image_pil must be H x W x 3 uint8 (RGB)", "got ndarray (5, 5) uint8"),
    (lambda: kovra_utils.VideoProcessor.find_orange_region(np.zeros((5, 5, 4), np.uint8)),
     "frame must be H x W x 3 uint8 (BGR)", "(5, 5, 4)"),
]


@pytest.mark.parametrize("call,expected,got", IMAGE_CASES)
def test_image_messages_name_expected_and_given_forms(call, expected, got):
    with pytest.raises(kovra_utils.ArgumentError) as error:
        call()
    check_message(error, expected, got)


def test_image_and_mask_sizes_must_agree_where_both_are_read():
    from model_doubles import Sam2PredictorDouble

    with pytest.raises(kovra_utils.ArgumentError) as error:
        kovra_utils.generate_sam2_image_features(np.zeros((100, 100, 3), np.uint8),
                                                 [np.zeros((1440, 1870), bool)], Sam2PredictorDouble())
    check_message(error, "100 x 100", "1440 x 1870")
    # Drawing ignores mask pixels outside the image (an old clip's masks over a new frame).
    drawn = kovra_utils.draw_masks_on_image(np.zeros((10, 10, 3), np.uint8), [np.ones((20, 20), bool)])
    assert drawn.shape == (10, 10, 4)


def test_masks_accept_every_array_form():
    expected = np.zeros((3, 21), bool)
    expected[1, 2:5] = True
    nan = np.full((3, 21), np.nan)
    assert kovra_utils.Mask(nan).area == 63  # NaN is non-zero: set wherever it lies
    assert kovra_utils.Mask(expected.astype(np.float16)).area == 3
    assert kovra_utils.Mask(expected.tolist()).area == 3
    assert kovra_utils.Mask(expected.astype(np.uint64)[None]).area == 3
    # A view whose rows overlap (stride smaller than a row), and a broadcast one.
    base = np.zeros(31, np.uint8)  # rows 0..20, 5..25, 10..30
    base[10] = 1
    overlapping = np.lib.stride_tricks.as_strided(base, shape=(3, 21), strides=(5, 1))
    assert kovra_utils.Mask(overlapping).area == int(np.count_nonzero(overlapping))
    assert kovra_utils.Mask(np.broadcast_to(expected[1], (3, 21))).area == 9
    assert kovra_utils.calculate_masks_intersection(expected.astype(np.float16), expected) == 100.0


def test_mask_sides_beyond_int_are_refused():
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), shape=(2**32 + 1, 1), strides=(0, 0))
    with pytest.raises(kovra_utils.ArgumentError) as error:
        kovra_utils.Mask(huge)
    check_message(error, "4294967297")


class InterruptingArray:
    def __array__(self, *args, **kwargs):
        raise KeyboardInterrupt


class FailingArray:
    def __array__(self, *args, **kwargs):
        raise RuntimeError("device lost")


@pytest.mark.parametrize("value,raised", [(InterruptingArray(), KeyboardInterrupt),
                                          (FailingArray(), RuntimeError)])
def test_exceptions_of_the_callers_object_pass_unchanged(value, raised):
    with pytest.raises(raised):
        kovra_utils.Mask(value)
    with pytest.raises(raised):
        kovra_utils.calculate_masks_intersection(value, np.zeros((2, 2)))


def test_cpu_tensors_are_masks(tmp_path, frame_image):
    torch = pytest.importorskip("torch")
    mask = torch.zeros((1, 4, 6), dtype=torch.float32)
    mask[0, 1, 1:4] = 1
    assert kovra_utils.Mask(mask).area == 3
    assert kovra_utils.count_mask_areas({"Box0": mask, "Box1": mask.bool()[0]}) == {"Box0": 3, "Box1": 3}
    segments = {0: {1: torch.zeros((1, 40, 60))}}
    segments[0][1][0, 5:20, 5:20] = 1
    pen = tmp_path / "pen.json"
    pen.write_text('{"shapes": [{"points": [[0, 0], [60, 0], [60, 40], [0, 40]]}]}')
    refined = kovra_utils.Mask_Refinement(custom_pen_json_path=pen).process_video_segments(
        segments, tmp_path, [frame_image])
    assert refined is segments and int(np.asarray(refined[0][1]).sum()) == 225


@pytest.mark.skipif("not __import__('torch').cuda.is_available()")
def test_cuda_tensors_are_moved_to_the_host():
    import torch

    mask = torch.ones((4, 6), device="cuda")
    assert kovra_utils.Mask(mask).area == 24


def test_paths_take_pathlike(tmp_path, clip):
    folder = Path(clip)
    last, data = kovra_utils.get_kovra_annotation_data(None, save_dir_base=folder)
    assert len(data) == 3
    assert len(kovra_utils.load_clip(folder)) == 3
    written = kovra_utils.export_clip(data, "mot", tmp_path / "tracks.mot")
    assert written > 0 and (tmp_path / "tracks.mot").exists()
    image_path, masks, keys = kovra_utils.process_json_and_generate_masks(
        folder / "output_pp_0.json", 40, 60)
    assert len(masks) == 2
    frame_names = [folder / "a.png"]
    with pytest.raises(IndexError):  # the list of paths converts; the position does not exist
        kovra_utils.get_in_pen_mask(3, masks[0], str(tmp_path / "pen.json"), frame_names)


def test_video_dir_takes_any_value(clip):
    for video_dir in (None, 3, Path("x"), object()):
        _, data = kovra_utils.get_kovra_annotation_data(video_dir, save_dir_base=clip)
        assert len(data) == 3


def test_signatures_and_docstrings():
    signature = inspect.signature(kovra_utils.get_kovra_annotation_data)
    assert list(signature.parameters) == ["video_dir", "last_or_not", "ixx", "save_dir_base", "threads"]
    assert signature.parameters["ixx"].default == 0
    assert "str | os.PathLike" in str(inspect.signature(kovra_utils.write_mot))
    assert list(inspect.signature(kovra_utils.Mask_Refinement).parameters)[0] == "min_area_ratio"
    for name in ("render_tracking_video", "load_clip", "Mask"):
        doc = inspect.getdoc(getattr(kovra_utils, name)) or ""
        assert doc, name
    doc = inspect.getdoc(kovra_utils.render_tracking_video)
    assert "Parameters:" in doc and "fps (float), default 25.0" in doc and "Raises:" in doc

"""Pen polygon, detection filtering and the first-frame initializer from Python."""

import numpy as np
import pytest

import kovra_utils
from model_doubles import (
    H,
    W,
    GroundingDinoModelDouble,
    GroundingDinoProcessorDouble,
    Sam2PredictorDouble,
    scene,
    scene_detector,
    write_frames,
    write_pen,
)

HALF_PEN = ((0, 0), (100, 0), (100, H), (0, H))  # the left half of the frame


def test_pen_json_path_and_outline(tmp_path):
    assert kovra_utils.get_pen_json_path(video_dir="frames\\Camera63_x\\clip") is None
    assert kovra_utils.get_pen_json_path(
        video_dir="x", custom_pen_json_path="/pens/p.json") == "/pens/p.json"
    assert kovra_utils.get_pen_json_path("frames\\Camera62_0930\\clip").endswith("Cam62.json")

    pen = write_pen(tmp_path / "pen.json", HALF_PEN)
    points = kovra_utils.draw_pen(image_path="unused.png", json_path=pen)
    assert [tuple(p) for p in points] == [(0, 0), (100, 0), (100, H), (0, H)]
    image_path = write_frames(tmp_path / "frames", [scene()])[0]
    image, drawn_points = kovra_utils.draw_pen(image_path=image_path, json_path=pen, drawout=True)
    assert image.shape == (H, W, 3) and image.dtype == np.uint8
    assert tuple(image[60, 100]) == (255, 0, 0)  # the outline, red in RGB
    assert [tuple(p) for p in drawn_points] == [tuple(p) for p in points]


def test_pen_errors_name_the_file(tmp_path):
    empty = tmp_path / "empty.json"
    empty.write_text('{"shapes": []}')
    with pytest.raises(ValueError, match="No shapes found in the JSON file."):
        kovra_utils.draw_pen("x.png", str(empty))
    with pytest.raises(OSError, match="missing.json"):
        kovra_utils.draw_pen("x.png", str(tmp_path / "missing.json"))


def test_pen_intersection_ratio_and_in_pen_mask(tmp_path):
    ratios, in_pen = kovra_utils.calculate_pen_intersection_ratio(
        polygon_points=HALF_PEN,
        boxes=np.array([[10, 10, 20, 20], [90, 10, 110, 20], [150, 10, 160, 20]]),
        ratio_threshold=50)
    assert ratios == pytest.approx([100.0, 50.0, 0.0])
    assert in_pen.dtype == np.bool_ and in_pen.tolist() == [True, True, False]
    with pytest.raises(ValueError):
        kovra_utils.calculate_pen_intersection_ratio(HALF_PEN, np.zeros((0, 4)), 40)

    pen = write_pen(tmp_path / "pen.json", HALF_PEN)
    test_mask = np.zeros((1, H, W), dtype=bool)
    test_mask[0, 50:60, 90:120] = True
    mask = kovra_utils.get_in_pen_mask(frame_idx=0, test_mask=test_mask, pen_json_path=pen,
                                       frame_names=["f0.png"])
    assert mask.shape == (H, W) and int(mask.sum()) == 10 * 11  # columns 90 .. 100
    with pytest.raises(IndexError):
        kovra_utils.get_in_pen_mask(3, test_mask, pen, ["f0.png"])


def test_gdino_results_are_sorted_and_filtered():
    torch = pytest.importorskip("torch")
    results = [{"scores": torch.tensor([0.3, 0.8, 0.5]),
                "labels": ["pig", "", "pig"],
                "boxes": torch.tensor([[5.0, 50, 9, 60], [30, 10, 40, 20], [20, 10, 28, 20]])}]
    boxes, scores, labels = kovra_utils.process_gdino_results(gdino_results=results)
    assert boxes.tolist() == [[20, 10, 28, 20], [5, 50, 9, 60]]
    assert scores.tolist() == pytest.approx([0.5, 0.3])
    assert list(labels) == ["pig", "pig"]
    boxes, scores, labels = kovra_utils.process_gdino_results(results, target_label="sow")
    assert boxes.shape == (3, 4) and list(labels) == ["pig", "", "pig"]
    empty = [{"scores": [], "labels": [], "boxes": []}]
    boxes, scores, labels = kovra_utils.process_gdino_results(empty)
    assert boxes.shape == (0, 4) and scores.shape == (0,) and len(labels) == 0
    with pytest.raises(IndexError):
        kovra_utils.process_gdino_results([])


def test_box_iou():
    assert kovra_utils.calculate_iou(box1=[0, 0, 10, 10], box2=(5, 0, 15, 10)) == pytest.approx(1 / 3)
    assert kovra_utils.calculate_iou(np.array([0, 0, 1, 1]), [2, 2, 3, 3]) == 0.0


def test_initializer_tries_frames_by_step_and_reports_them(tmp_path, capsys):
    frames = [scene() for _ in range(7)]
    for i in (0, 3):  # hide one animal on frames 0 and 3: too few there
        frames[i][70:100, 160:190] = 30
    names = write_frames(tmp_path / "clip", frames)
    processor = GroundingDinoProcessorDouble(scene_detector(), as_torch=False)
    predictor = Sam2PredictorDouble(form="3d", dtype=np.bool_)
    masks, OBJECTS, ann_frame_idx, annotated_frame = kovra_utils.initializer(
        "clip", names, processor, GroundingDinoModelDouble(processor), "cpu", predictor,
        start_index=0, step=3, gdino_thr=0.25, close_set_num=10,
        custom_pen_json_path=write_pen(tmp_path / "pen.json"))
    assert ann_frame_idx == 6
    out = capsys.readouterr().out.splitlines()
    assert out[0] == f"Using pen JSON path: {tmp_path / 'pen.json'}"
    assert "ann_frame_idx [0] cannot work, too few bbx found.." in out
    assert "ann_frame_idx [3] cannot work, too few bbx found.." in out
    assert "ann_frame_idx [6] works!!!" in out
    # Masks in box order (top edge, then left edge), each the animal's 14 x 10 rectangle.
    assert [list(m.box) for m in masks[:2]] == [[22, 33, 35, 42], [60, 33, 73, 42]]
    assert [m.crop.shape for m in masks] == [(10, 14)] * 10
    assert annotated_frame.shape == (H, W, 4)


def test_initializer_without_a_qualifying_frame_returns_none(tmp_path):
    names = write_frames(tmp_path / "clip", [scene()])
    processor = GroundingDinoProcessorDouble(scene_detector())
    result = kovra_utils.initializer(
        "clip", names, processor, GroundingDinoModelDouble(processor), "cpu",
        Sam2PredictorDouble(), close_set_num=11,
        custom_pen_json_path=write_pen(tmp_path / "pen.json"))
    assert result == (None, None, None, None)
    with pytest.raises(ValueError, match="step"):
        kovra_utils.initializer("clip", names, processor, GroundingDinoModelDouble(processor),
                                "cpu", Sam2PredictorDouble(), step=0)


class RgbCheckingProcessor(GroundingDinoProcessorDouble):
    """A processor that, as a Hugging Face one does, takes the frame in RGB (RGBA kept): it
    fails unless it receives exactly the expected pixels."""

    def __init__(self, expected, **kwargs):
        super().__init__(scene_detector(score=lambda i: 0.9 - 0.01 * i), **kwargs)
        self.expected = expected

    def __call__(self, images=None, text=None, return_tensors=None, **kwargs):
        assert np.array_equal(np.asarray(images), self.expected), "detector input not in RGB order"
        return super().__call__(images=images, text=text, return_tensors=return_tensors)


@pytest.mark.parametrize("alpha", [False, True], ids=["rgb", "rgba"])
def test_detector_receives_the_frame_as_stored(tmp_path, capsys, alpha):
    import cv2

    rgb = scene()
    stored = np.dstack([rgb, np.full((H, W), 255, np.uint8)]) if alpha else rgb
    path = str(tmp_path / "0000.png")
    cv2.imwrite(path, cv2.cvtColor(stored, cv2.COLOR_RGBA2BGRA if alpha else cv2.COLOR_RGB2BGR))
    processor = RgbCheckingProcessor(stored)  # scores come back as float32 tensors
    masks, _, ann_frame_idx, _ = kovra_utils.initializer(
        "clip", [path], processor, GroundingDinoModelDouble(processor), "cpu",
        Sam2PredictorDouble(form="3d"), close_set_num=10,
        custom_pen_json_path=write_pen(tmp_path / "pen.json"))
    assert ann_frame_idx == 0 and len(masks) == 10
    # float32 scores print in float32's own shortest form, as numpy prints them.
    assert "[0.9 0.89 0.88 0.87 0.86 0.85 0.84 0.83 0.82 0.81]" in capsys.readouterr().out.splitlines()
    _, scores, _ = kovra_utils.process_gdino_results(processor.post_process_grounded_object_detection(
        {"detections": scene_detector()(rgb)}))
    assert scores.dtype == np.float32

"""The model boundary: real call shapes, result shapes and types, devices, exceptions."""

import traceback

import numpy as np
import pytest

import kovra_utils
from kovra_utils import models
from model_doubles import (
    H,
    W,
    GroundingDinoModelDouble,
    GroundingDinoProcessorDouble,
    RaisingEncoder,
    Sam2PredictorDouble,
    scene,
    scene_detector,
    write_frames,
    write_pen,
)

torch = pytest.importorskip("torch")


@pytest.fixture
def clip(tmp_path):
    """Frame 0 shows nine animals, frame 1 all ten."""
    frames = [scene(), scene()]
    frames[0][70:100, 160:190] = 30  # animal 9 hidden
    names = write_frames(tmp_path / "clip", frames)
    return names, write_pen(tmp_path / "pen.json")


def run_initializer(names, pen, predictor, processor=None, **kwargs):
    processor = processor or GroundingDinoProcessorDouble(scene_detector())
    return kovra_utils.initializer(
        video_dir="frames\\Camera99_1\\clip",
        frame_names=names,
        processor=processor,
        grounding_model=GroundingDinoModelDouble(processor),
        device=kwargs.pop("device", "cpu"),
        image_predictor=predictor,
        start_index=0,
        step=1,
        custom_pen_json_path=pen,
        **kwargs,
    )


def test_detector_receives_the_hugging_face_call_shapes(clip):
    names, pen = clip
    processor = GroundingDinoProcessorDouble(scene_detector())
    device = torch.device("cpu")
    masks, OBJECTS, ann_frame_idx, annotated_frame = run_initializer(
        names, pen, Sam2PredictorDouble(), processor, device=device, gdino_thr=0.3)
    assert ann_frame_idx == 1 and OBJECTS == ["pig"] * 10 and len(masks) == 10
    assert annotated_frame.shape == (H, W, 4) and annotated_frame.dtype == np.uint8

    assert processor.methods() == ["processor", "to", "model", "post_process"] * 2
    call = dict(processor.calls)
    assert call["processor"]["text"] == "pig." and call["processor"]["return_tensors"] == "pt"
    assert call["processor"]["shape"] == (H, W, 3)
    assert call["to"] is device  # the caller's device object, unchanged
    assert call["model"]["grad"] is False
    assert call["post_process"]["text_threshold"] == 0.3
    assert call["post_process"]["threshold"] == 0.25  # the processor's own default
    assert [tuple(s) for s in call["post_process"]["target_sizes"]] == [(H, W)]
    np.testing.assert_array_equal(call["post_process"]["input_ids"], [[101, 6301, 1012, 102]])


def test_predictor_receives_the_sam2_call_shapes(clip):
    names, pen = clip
    predictor = Sam2PredictorDouble()
    run_initializer(names, pen, predictor)
    assert predictor.methods() == ["set_image", "predict"] * 2
    set_image = predictor.calls[0][1]
    assert set_image == (H, W, 3)
    predict = predictor.calls[1][1]
    assert predict["point_coords"] is None and predict["point_labels"] is None
    assert predict["multimask_output"] is False
    assert predict["box"].shape == (9, 4) and predict["box"].dtype == np.float64


@pytest.mark.parametrize(
    "form, dtype, as_torch",
    [
        ("auto", np.float32, False),  # SAM2's own N x 1 x H x W float masks
        ("3d", np.bool_, False),
        ("4d", np.uint8, False),
        ("3d", np.int64, False),
        ("3d", np.float16, False),
        ("4d", np.float32, True),
        ("3d", np.bool_, True),
    ],
)
def test_every_allowed_mask_shape_and_type(clip, form, dtype, as_torch):
    names, pen = clip
    predictor = Sam2PredictorDouble(form=form, dtype=dtype, as_torch=as_torch)
    masks, _, ann_frame_idx, _ = run_initializer(names, pen, predictor)
    assert ann_frame_idx == 1
    assert [m.shape for m in masks] == [(H, W)] * 10
    assert [int(m.sum()) for m in masks] == [140] * 10


def test_single_box_masks_may_come_back_two_dimensional():
    predictor = Sam2PredictorDouble(form="auto")
    image = scene()
    adapter = models.SegmentationAdapter(predictor)
    adapter.set_image(image)
    masks, scores, logits = adapter.predict(np.array([[22.0, 33.0, 35.0, 42.0]]))
    assert masks.shape == (H, W) and masks.dtype == np.float32
    assert scores.dtype == np.float32 and logits.dtype == np.float32


class TinyEncoder(torch.nn.Module):  # type: ignore[name-defined]
    """SAM2's image encoder shape: a mapping with "vision_features" of 1 x F x h x w."""

    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.conv = torch.nn.Conv2d(3, 6, kernel_size=32, stride=32)
        self.inputs = []

    def forward(self, x):
        self.inputs.append((x.detach().clone(), torch.is_grad_enabled()))
        features = self.conv(x)
        return {"vision_features": features, "vision_pos_enc": [features], "backbone_fpn": []}


def test_image_encoder_gets_a_torch_tensor_on_the_model_device_without_gradients():
    encoder = TinyEncoder()
    predictor = Sam2PredictorDouble(encoder=encoder)
    image = scene()
    masks = [image[..., 0] > 128]
    features = kovra_utils.generate_sam2_image_features(
        image=image, masks=masks, image_predictor=predictor)
    assert len(encoder.inputs) == 1
    tensor, grad = encoder.inputs[0]
    assert grad is False
    assert tensor.shape == (1, 3, 256, 256) and tensor.dtype == torch.float32
    assert tensor.device == next(encoder.parameters()).device
    assert 0.0 <= float(tensor.min()) and float(tensor.max()) <= 1.0
    expected = encoder.conv(tensor).mean(dim=(2, 3))[0].detach().numpy()
    assert len(features) == 1
    np.testing.assert_allclose(np.asarray(features[0]), expected, rtol=1e-5)


def test_encoder_device_can_be_chosen():
    encoder = TinyEncoder()
    adapter = models.SegmentationAdapter(Sam2PredictorDouble(encoder=encoder), device="cpu")
    out = adapter.image_encoder(np.zeros((1, 3, 256, 256), np.float32))
    assert out.shape == (1, 6, 8, 8) and out.dtype == np.float32
    assert adapter.device == "cpu"


def test_detections_as_tensors_or_lists_reach_the_host():
    tensors = [{"scores": torch.tensor([0.5, 0.9]), "labels": ["pig", "sow"],
                "boxes": torch.tensor([[1.0, 2.0, 3.0, 4.0], [5.0, 6.0, 7.0, 8.0]])}]
    lists = [{"scores": [0.5, 0.9], "text_labels": ["pig", "sow"], "labels": [0, 1],
              "boxes": [[1, 2, 3, 4], [5, 6, 7, 8]]}]
    empty = [{"scores": torch.zeros(0), "labels": [], "boxes": torch.zeros((0, 4))}]
    for results in (tensors, lists):
        host = models.host_detections(results)[0]
        assert host["labels"] == ["pig", "sow"]
        np.testing.assert_allclose(host["scores"], [0.5, 0.9], rtol=1e-6)
        assert host["boxes"].shape == (2, 4) and host["boxes"].dtype == np.float64
    assert models.host_detections(empty)[0]["boxes"].shape == (0, 4)


class PredictorFailure(Exception):
    pass


def failing_detect(image):
    raise PredictorFailure("detector weights not loaded")


def test_model_exceptions_reach_the_caller_unchanged(clip):
    names, pen = clip
    with pytest.raises(PredictorFailure, match="^detector weights not loaded$") as caught:
        run_initializer(names, pen, Sam2PredictorDouble(),
                        GroundingDinoProcessorDouble(failing_detect))
    frames = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert frames[-1] == "failing_detect"

    image = scene()
    with pytest.raises(RuntimeError, match="CUDA out of memory") as caught:
        kovra_utils.generate_sam2_image_features(
            image, [image[..., 0] > 128], Sam2PredictorDouble(encoder=RaisingEncoder()))
    assert type(caught.value) is RuntimeError
    assert traceback.extract_tb(caught.value.__traceback__)[-1].name == "__call__"


def test_a_predictor_without_the_sam2_calls_is_a_python_error(clip):
    names, pen = clip
    with pytest.raises(AttributeError, match="set_image"):
        run_initializer(names, pen, object())


def test_builtin_stand_ins_take_the_place_of_the_models(tmp_path):
    frames = [scene(brightness=250)]
    names = write_frames(tmp_path / "clip", frames)
    detector = kovra_utils.BrightBlobDetector(threshold=170, min_area=50)
    predictor = kovra_utils.ThresholdPredictor(threshold=170, min_area=50, box_margin=4)
    masks, OBJECTS, ann_frame_idx, _ = kovra_utils.initializer(
        "clip", names, detector, detector, "cpu", predictor, step=1,
        custom_pen_json_path=write_pen(tmp_path / "pen.json"))
    assert ann_frame_idx == 0 and OBJECTS == ["pig"] * 10
    assert sorted(int(m.sum()) for m in masks) == [140] * 10

    predictor.set_image(frames[0])
    masks, scores, logits = predictor.predict(box=np.array([[22, 33, 35, 42], [60, 33, 73, 42]]))
    assert masks.shape == (2, H, W) and masks.sum() == 280 and scores.shape[0] == 2
    with pytest.raises(ValueError, match="box prompts only"):
        predictor.predict(point_coords=np.zeros((1, 2)), box=np.zeros((1, 4)))


class ChattyPredictor(Sam2PredictorDouble):
    def set_image(self, image):
        print("model: set_image")
        super().set_image(image)


def test_model_prints_keep_their_place_among_the_library_lines(clip, capsys):
    names, pen = clip
    run_initializer(names, pen, ChattyPredictor())
    out = capsys.readouterr().out.splitlines()
    first, second = [i for i, line in enumerate(out) if line == "model: set_image"]
    assert out[first - 1].startswith("Using pen JSON path:")
    assert out[first + 1].startswith("Boxes will be kept: [0 1 2 3 4 5 6 7 8]")
    assert out[second - 2:second] == ["ann_frame_idx [0] cannot work, too few bbx found..", ""]


class MalformedPredictor(Sam2PredictorDouble):
    def __init__(self, result):
        super().__init__()
        self.result = result

    def predict(self, **kwargs):
        return self.result


def malformed_detections(outputs, *args, **kwargs):
    return "no detections"


@pytest.mark.parametrize("predictor,processor,parts", [
    (MalformedPredictor((np.zeros((1, H, W)), np.ones(1))), None,
     ["image_predictor.predict returned tuple of 2 items", "(masks, scores, logits)"]),
    (MalformedPredictor(("masks", "scores", "logits")), None,
     ["image_predictor.predict returned masks as str"]),
    (Sam2PredictorDouble(), "post_process",
     ["processor.post_process_grounded_object_detection returned str", "list of dicts"]),
])
def test_malformed_model_results_name_the_call(clip, predictor, processor, parts):
    names, pen = clip
    detector = GroundingDinoProcessorDouble(scene_detector())
    if processor:
        detector.post_process_grounded_object_detection = malformed_detections
    with pytest.raises(kovra_utils.ContentError) as error:
        run_initializer(names, pen, predictor, detector)
    assert all(part in str(error.value) for part in parts), str(error.value)

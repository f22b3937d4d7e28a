"""Adapters from the caller's model objects to the calls the library makes.

The library talks to three outside models:

- a segmentation predictor with SAM2's image-predictor calls: ``set_image(rgb)`` (H x W x 3
  uint8, RGB),
  ``predict(point_coords=None, point_labels=None, box=boxes, multimask_output=False)`` returning
  ``(masks, scores, logits)``, and ``predictor.model.image_encoder(tensor)`` returning a mapping
  with "vision_features" (the tensor: 1 x 3 x 256 x 256 float32, RGB, values in [0, 1]);
- a detector with Hugging Face's Grounding DINO calls: ``processor(images=..., text=...,
  return_tensors="pt")`` (images: the frame as stored in its file, H x W x 3 uint8 RGB, or
  H x W x 4 RGBA for a frame with alpha; never BGR), ``model(**batch)`` and
  ``processor.post_process_grounded_object_detection(outputs, input_ids, text_threshold=...,
  target_sizes=[(H, W)])``;
- a video predictor with SAM2's video-predictor calls: ``init_state(video_path=...)``,
  ``add_new_mask(inference_state, frame_idx, obj_id, mask)``,
  ``propagate_in_video(inference_state)`` yielding ``(frame_idx, obj_ids, mask_logits)`` and
  ``reset_state(inference_state)``.

The functions that take a model wrap it in one of the adapters below on their own; wrap it
yourself only to choose the device the image encoder runs on. Model results (numpy arrays or
torch tensors on any device) are copied to host numpy arrays here; a result of another shape
(a ``predict`` returning two items, texts instead of arrays) raises ContentError naming the
model call and what it returned. Nothing is caught: an exception raised by a model reaches the
caller unchanged.

torch is imported only when a model is run, so the rest of the package works without it.
"""

import contextlib
import sys

import numpy as np

from ._arguments import describe
from ._errors import ContentError

__all__ = ["SegmentationAdapter", "DetectionAdapter", "VideoPredictorAdapter"]

# Mask element types the library reads as they are; others are turned into 0/1 bytes.
_MASK_DTYPES = tuple(
    np.dtype(t) for t in (np.uint8, np.int8, np.uint16, np.int16, np.int32, np.float32, np.float64)
)


def _torch():
    """The torch module, or None when it is not installed."""
    if "torch" in sys.modules:
        return sys.modules["torch"]
    try:
        import torch
    except ImportError:
        return None
    return torch


def _is_tensor(value):
    # A torch tensor can only exist once torch is imported, so this never imports it.
    torch = sys.modules.get("torch")
    return torch is not None and torch.is_tensor(value)


def _no_grad():
    torch = _torch()
    return torch.no_grad() if torch is not None else contextlib.nullcontext()


def to_host(value, dtype=None):
    """``value`` (numpy array, torch tensor on any device, list or number) as a numpy array."""
    if _is_tensor(value):
        value = value.detach()
        if value.dtype in (sys.modules["torch"].bfloat16, sys.modules["torch"].float16):
            value = value.float()
        value = value.cpu().numpy()
    return np.asarray(value, dtype=dtype)


def _numeric(value, call, what, dtype=None):
    """``value`` as a host array of numbers; ContentError naming ``call`` otherwise."""
    try:
        array = to_host(value)
    except (TypeError, ValueError):
        array = None
    if array is None or array.dtype.kind not in "biuf":
        raise ContentError(f"{call} returned {what} as {describe(value)}; expected an array of numbers")
    return array if dtype is None else array.astype(dtype, copy=False)


def _parts(result, count, call, expected):
    """The ``count`` items of a model result; ContentError naming ``call`` otherwise."""
    if isinstance(result, (str, bytes)) or not hasattr(result, "__len__") or len(result) != count:
        raise ContentError(f"{call} returned {describe(result)}; expected {expected}")
    return tuple(result)


def _mask_array(masks, call="image_predictor.predict"):
    """Predicted masks as a contiguous host array of a type the library reads (non-zero = set)."""
    masks = _numeric(masks, call, "masks")
    if masks.dtype == np.bool_:
        masks = masks.view(np.uint8)
    elif masks.dtype not in _MASK_DTYPES:
        masks = (masks != 0).view(np.uint8)
    return np.ascontiguousarray(masks)


def _labels(result):
    # Newer releases of the Hugging Face library put the texts under "text_labels" and keep
    # "labels" only as a deprecated alias.
    labels = result["text_labels"] if "text_labels" in result else result["labels"]
    if _is_tensor(labels) or isinstance(labels, np.ndarray):
        labels = to_host(labels).tolist()
    return [str(label) for label in labels]


def host_detections(gdino_results):
    """Post-processed detector results copied to host: one dict per image with "scores" (N
    float32 when the model gave float32, so that they print in float32's shortest form, else
    float64), "labels" (N texts), "boxes" (N x 4 float64) and "float32_scores" (whether the
    scores are float32). Results already on the host pass unchanged."""
    call = "processor.post_process_grounded_object_detection"
    if isinstance(gdino_results, (str, bytes)) or not hasattr(gdino_results, "__iter__"):
        raise ContentError(f"{call} returned {describe(gdino_results)}; expected a list of dicts")
    host = []
    for result in gdino_results:
        if not hasattr(result, "__getitem__") or isinstance(result, (str, bytes)) \
                or not all(k in result for k in ("scores", "boxes")) \
                or not ("labels" in result or "text_labels" in result):
            raise ContentError(f"{call} returned an item of {describe(result)}; expected a dict with "
                               "\"scores\", \"labels\" and \"boxes\"")
        scores = _numeric(result["scores"], call, "\"scores\"")
        boxes = _numeric(result["boxes"], call, "\"boxes\"", np.float64)
        if boxes.size % 4 != 0:
            raise ContentError(f"{call} returned \"boxes\" of shape {boxes.shape}; expected N x 4")
        host.append(
            {
                "scores": scores.astype(scores.dtype if scores.dtype == np.float32 else np.float64)
                          .reshape(-1),
                "labels": _labels(result),
                "boxes": boxes.reshape(-1, 4),
                "float32_scores": scores.dtype == np.float32,
            }
        )
    return host


def _model_device(predictor):
    """Where the predictor's model lives: a ``device`` attribute of the predictor or its model,
    else the device of the first parameter of its model or image encoder; None when unknown."""
    model = getattr(predictor, "model", None)
    for owner in (predictor, model):
        device = getattr(owner, "device", None)
        if device is not None:
            return device
    for owner in (model, getattr(model, "image_encoder", None)):
        parameters = getattr(owner, "parameters", None)
        if callable(parameters):
            for parameter in parameters():
                return parameter.device
    return None


class SegmentationAdapter:
    """A SAM2-style image predictor as the library calls it.

    ``device``: where the image encoder's input tensor is placed; by default the predictor's
    own device (``predictor.device``, ``predictor.model.device`` or its first parameter's),
    else "cuda" when available, else "cpu".
    """

    def __init__(self, predictor, device=None):
        self.predictor = predictor
        self.device = device

    def set_image(self, image):
        """Hands ``image`` (H x W x 3 uint8, RGB) to the predictor's ``set_image``."""
        self.predictor.set_image(image)

    def predict(self, box, point_coords=None, point_labels=None, multimask_output=False):
        """``(masks, scores, logits)`` of one prompt per row of ``box``, as host arrays."""
        result = self.predictor.predict(
            point_coords=point_coords,
            point_labels=point_labels,
            box=box,
            multimask_output=multimask_output,
        )
        call = "image_predictor.predict"
        masks, scores, logits = _parts(result, 3, call, "(masks, scores, logits)")
        return (_mask_array(masks), _numeric(scores, call, "scores", np.float32),
                _numeric(logits, call, "logits", np.float32))

    def image_encoder(self, tensor):
        """The encoder's "vision_features" for ``tensor`` (1 x 3 x 256 x 256 float32, host) as a
        host float32 array."""
        encoder = self.predictor.model.image_encoder
        torch = _torch()
        if torch is not None:
            tensor = torch.from_numpy(tensor).to(self._encoder_device(torch))
        with _no_grad():
            outputs = encoder(tensor)
        call = "image_predictor.model.image_encoder"
        if not hasattr(outputs, "__getitem__") or isinstance(outputs, (str, bytes)) \
                or "vision_features" not in outputs:
            raise ContentError(f"{call} returned {describe(outputs)}; expected a mapping with "
                               "\"vision_features\"")
        features = _numeric(outputs["vision_features"], call, "\"vision_features\"", np.float32)
        return np.ascontiguousarray(features)

    def _encoder_device(self, torch):
        if self.device is None:
            found = _model_device(self.predictor)
            if found is None:
                found = "cuda" if torch.cuda.is_available() else "cpu"
            self.device = found
        return self.device


class DetectionAdapter:
    """A Hugging Face style Grounding DINO processor and network as the library calls them.

    ``device``: where the processor's batch is placed, handed to ``batch.to`` unchanged.
    """

    def __init__(self, processor, model, device):
        self.processor = processor
        self.model = model
        self.device = device

    def process(self, image, text, return_tensors):
        """The processor's batch of ``image`` (RGB, or RGBA for a frame with alpha)."""
        return self.processor(images=image, text=text, return_tensors=return_tensors)

    def to_device(self, batch):
        """``batch.to(device)`` with the caller's own device object."""
        return batch.to(self.device)

    @staticmethod
    def input_ids(batch):
        """The batch's "input_ids" entry."""
        return batch["input_ids"]

    def run(self, batch):
        """The network applied to the batch's entries as named inputs, without gradients."""
        with _no_grad():
            return self.model(**batch)

    def post_process(self, outputs, input_ids, text_threshold, target_sizes):
        """The processor's post-processing of ``outputs``, copied to the host (host_detections).
        Raises ContentError naming the call when its result is not a list of detection dicts."""
        # text_threshold and target_sizes by keyword: releases of the Hugging Face library
        # disagree on the positional parameter after input_ids.
        results = self.processor.post_process_grounded_object_detection(
            outputs, input_ids, text_threshold=text_threshold, target_sizes=list(target_sizes)
        )
        return host_detections(results)


def segmentation_adapter(image_predictor):
    """``image_predictor`` wrapped in a SegmentationAdapter unless it is one already."""
    if isinstance(image_predictor, SegmentationAdapter):
        return image_predictor
    return SegmentationAdapter(image_predictor)


def _positive(mask_logits):
    """``mask_logits > 0`` as a host uint8 0/1 array, compared where the logits live, so only
    one byte per pixel crosses to the host."""
    if _is_tensor(mask_logits):
        return (mask_logits.detach() > 0).cpu().numpy().view(np.uint8)
    return np.ascontiguousarray(np.asarray(mask_logits) > 0).view(np.uint8)


class VideoPredictorAdapter:
    """A SAM2-style video predictor as the library calls it: the predictor's own calls, with
    the mask logits of every propagated frame turned into host 0/1 masks (logits > 0)."""

    def __init__(self, predictor):
        self.predictor = predictor

    def init_state(self, video_path):
        return self.predictor.init_state(video_path=video_path)

    def add_new_mask(self, inference_state, frame_idx, obj_id, mask):
        self.predictor.add_new_mask(inference_state=inference_state, frame_idx=frame_idx,
                                    obj_id=obj_id, mask=mask)

    def propagate_in_video(self, inference_state):
        """``(frame_idx, obj_ids, masks)`` per frame: masks N x 1 x H x W uint8 (or as shaped by
        the model), obj_ids copied (SAM2 yields its state's own list, which reset_state clears)."""
        for frame_idx, obj_ids, mask_logits in self.predictor.propagate_in_video(inference_state):
            yield int(frame_idx), [int(i) for i in obj_ids], _positive(mask_logits)

    def reset_state(self, inference_state):
        self.predictor.reset_state(inference_state)


def video_predictor_adapter(video_predictor):
    """``video_predictor`` wrapped in a VideoPredictorAdapter unless it is one already."""
    if isinstance(video_predictor, VideoPredictorAdapter):
        return video_predictor
    return VideoPredictorAdapter(video_predictor)

"""Doubles of the outside models with the real objects' call shapes, plus a small pen scene.

- Sam2PredictorDouble: SAM2ImagePredictor's set_image / predict signature and
  ``predictor.model.image_encoder``; segments each prompted box by thresholding the image set.
- GroundingDinoProcessorDouble / GroundingDinoModelDouble: the Hugging Face processor (called
  with images/text/return_tensors, giving a batch with ``to`` and ``["input_ids"]``, unpacked
  into the model) and ``post_process_grounded_object_detection`` with the newer signature,
  whose third positional parameter is ``threshold``.

Every double records its calls in ``calls`` as (name, details) pairs.
"""

import json
import os

import numpy as np

BRIGHT = 128  # gray level separating animals from the floor in the scenes below


def gray(image):
    return np.asarray(image, dtype=np.float64).mean(axis=2)


def bright_box(image, region):
    """[x1, y1, x2, y2] (x2, y2 exclusive) of the bright pixels of ``image`` inside
    ``region`` = (x1, y1, x2, y2), or None when there are none."""
    x1, y1, x2, y2 = (int(round(v)) for v in region)
    h, w = image.shape[:2]
    x1, y1, x2, y2 = max(x1, 0), max(y1, 0), min(x2, w), min(y2, h)
    rows, cols = np.nonzero(gray(image[y1:y2, x1:x2]) > BRIGHT)
    if rows.size == 0:
        return None
    return [x1 + cols.min(), y1 + rows.min(), x1 + cols.max() + 1, y1 + rows.max() + 1]


class _Namespace:
    pass


def mean_color_encoder(calls):
    """An image encoder without torch: per channel, the mean of each quadrant."""

    def image_encoder(tensor):
        values = np.asarray(tensor, dtype=np.float32)
        calls.append(("image_encoder", values.shape))
        half = values.shape[2] // 2
        quads = [values[:, :, :half, :half], values[:, :, :half, half:],
                 values[:, :, half:, :half], values[:, :, half:, half:]]
        pooled = np.stack([q.mean(axis=(2, 3)) for q in quads], axis=-1)  # 1 x 3 x 4
        return {"vision_features": pooled.reshape(1, 3, 2, 2), "vision_pos_enc": []}

    return image_encoder


class Sam2PredictorDouble:
    """SAM2ImagePredictor's calls. A prompted box's mask holds the bright pixels of the image
    set inside the box grown by ``margin`` pixels.

    ``form``: "auto" returns H x W for one box and N x 1 x H x W otherwise (as SAM2 does),
    "3d" N x H x W, "4d" N x 1 x H x W. ``dtype``: element type of the masks; ``as_torch``
    returns torch tensors. ``encoder``: the image encoder, by default mean_color_encoder.
    """

    def __init__(self, margin=0, form="auto", dtype=np.float32, as_torch=False, encoder=None):
        self.margin = margin
        self.form = form
        self.dtype = dtype
        self.as_torch = as_torch
        self.calls = []
        self.image = None
        self.model = _Namespace()
        self.model.image_encoder = encoder or mean_color_encoder(self.calls)  # type: ignore[attr-defined]

    def set_image(self, image):
        assert isinstance(image, np.ndarray) and image.dtype == np.uint8 and image.shape[2] == 3
        self.calls.append(("set_image", image.shape))
        self.image = image.copy()

    def predict(self, point_coords=None, point_labels=None, box=None, mask_input=None,
                multimask_output=True, return_logits=False, normalize_coords=True):
        self.calls.append(("predict", {"point_coords": point_coords, "point_labels": point_labels,
                                       "box": np.array(box), "multimask_output": multimask_output}))
        boxes = np.asarray(box, dtype=np.float64).reshape(-1, 4)
        h, w = self.image.shape[:2]
        masks = np.zeros((len(boxes), h, w), dtype=bool)
        bright = gray(self.image) > BRIGHT
        for i, (x1, y1, x2, y2) in enumerate(boxes):
            m = self.margin
            xa, ya = max(int(x1) - m, 0), max(int(y1) - m, 0)
            xb, yb = min(int(x2) + 1 + m, w), min(int(y2) + 1 + m, h)
            masks[i, ya:yb, xa:xb] = bright[ya:yb, xa:xb]
        if self.form == "4d" or (self.form == "auto" and len(boxes) != 1):
            masks = masks[:, None]
        elif self.form == "auto":
            masks = masks[0]
        masks = masks.astype(self.dtype)
        scores = np.ones(masks.shape[:-2], dtype=np.float32)
        logits = np.zeros(masks.shape[:-2] + (4, 4), dtype=np.float32)
        if self.as_torch:
            import torch

            return torch.from_numpy(masks), torch.from_numpy(scores), torch.from_numpy(logits)
        return masks, scores, logits

    def methods(self):
        return [name for name, _ in self.calls]


class BatchDouble(dict):
    """A processor batch: a mapping of named inputs that moves with ``to(device)``."""

    def __init__(self, calls, device=None, **entries):
        super().__init__(**entries)
        self.calls = calls
        self.device = device

    def to(self, device):
        self.calls.append(("to", device))
        return BatchDouble(self.calls, device, **self)


class GroundingDinoProcessorDouble:
    """The Hugging Face Grounding DINO processor's calls. ``detect(image)`` gives the frame's
    detections as (box, score, label) triples; results come back as torch tensors when torch
    is installed (``as_torch``), else as lists."""

    def __init__(self, detect, as_torch=True):
        self.detect = detect
        self.as_torch = as_torch
        self.calls = []

    def __call__(self, images=None, text=None, return_tensors=None, **kwargs):
        self.calls.append(("processor", {"text": text, "return_tensors": return_tensors,
                                         "shape": np.shape(images)}))
        return BatchDouble(self.calls, pixel_values=np.array(images),
                           input_ids=np.array([[101, 6301, 1012, 102]]))

    def post_process_grounded_object_detection(self, outputs, input_ids=None, threshold=0.25,
                                               text_threshold=0.25, target_sizes=None,
                                               text_labels=None):
        self.calls.append(("post_process", {"threshold": threshold,
                                            "text_threshold": text_threshold,
                                            "target_sizes": target_sizes,
                                            "input_ids": np.array(input_ids)}))
        found = outputs["detections"]
        boxes = [list(map(float, b)) for b, _, _ in found]
        scores = [float(s) for _, s, _ in found]
        labels = [label for _, _, label in found]
        if self.as_torch:
            import torch

            boxes = torch.tensor(boxes, dtype=torch.float32).reshape(-1, 4)
            scores = torch.tensor(scores, dtype=torch.float32)
        return [{"scores": scores, "labels": labels, "boxes": boxes}]

    def methods(self):
        return [name for name, _ in self.calls]


class GroundingDinoModelDouble:
    """The network: called with the batch's entries as named inputs."""

    def __init__(self, processor):
        self.processor = processor

    def __call__(self, pixel_values=None, input_ids=None, **kwargs):
        grad = None
        try:
            import torch

            grad = torch.is_grad_enabled()
        except ImportError:
            pass
        self.processor.calls.append(("model", {"grad": grad, "input_ids": input_ids}))
        return {"detections": self.processor.detect(pixel_values)}


class RaisingEncoder:
    """An image encoder that fails the way a model on a full GPU does."""

    def __call__(self, tensor):
        raise RuntimeError("CUDA out of memory. Tried to allocate 2.00 GiB")


# ---- a small pen scene ------------------------------------------------------------------------

H, W = 120, 200
ANIMAL = (14, 10)  # width, height
CELLS = [(10 + 38 * (i % 5), 15 + 55 * (i // 5)) for i in range(10)]  # top-left of each cell
CELL_SIZE = (36, 50)


def scene(offsets=None, brightness=220, floor=30):
    """An RGB frame with ten bright animals, animal i at its cell's origin + (12, 18) +
    offsets[i]."""
    image = np.full((H, W, 3), floor, dtype=np.uint8)
    for i, (cx, cy) in enumerate(CELLS):
        dx, dy = (offsets or {}).get(i, (0, 0))
        x, y = cx + 12 + dx, cy + 18 + dy
        image[y:y + ANIMAL[1], x:x + ANIMAL[0]] = (brightness, brightness - 10 * (i % 3),
                                                   brightness - 5 * i)
    return image


def scene_detector(score=lambda i: 0.5 + 0.04 * i, label="pig"):
    """Detections of the scene: the bright box inside each cell."""

    def detect(image):
        image = np.asarray(image)
        found = []
        for i, (cx, cy) in enumerate(CELLS):
            box = bright_box(image, (cx, cy, cx + CELL_SIZE[0], cy + CELL_SIZE[1]))
            if box is not None:
                found.append((box, score(i), label))
        return found

    return detect


def write_pen(path, points=((0, 0), (W, 0), (W, H), (0, H))):
    with open(path, "w") as f:
        json.dump({"shapes": [{"label": "pen", "points": [list(p) for p in points]}]}, f)
    return str(path)


def write_frames(folder, frames):
    """Writes RGB frames as 0000.png, 0001.png ... (lossless, so thresholds stay exact)."""
    import cv2

    os.makedirs(folder, exist_ok=True)
    names = []
    for i, frame in enumerate(frames):
        name = os.path.join(folder, f"{i:04d}.png")
        cv2.imwrite(name, np.ascontiguousarray(frame[:, :, ::-1]))
        names.append(name)
    return names


# ---- the outside tracker's stand-in -----------------------------------------------------------

def read_rgb(path):
    import cv2

    return cv2.imread(str(path), cv2.IMREAD_COLOR)[:, :, ::-1]


def mask_box(mask):
    """Inclusive [x1, y1, x2, y2] of the set pixels of a mask, or None when it is clear."""
    rows, cols = np.nonzero(np.asarray(mask).reshape(np.shape(mask)[-2:]))
    if rows.size == 0:
        return None
    return [int(cols.min()), int(rows.min()), int(cols.max()), int(rows.max())]


def write_annotation(path, image_path, masks_by_id):
    """An annotation file whose polygon per object is its mask's bounding rectangle."""
    detections = []
    for object_id, mask in masks_by_id.items():
        h, w = np.shape(mask)[-2:]
        box = mask_box(mask)
        polygons = []
        if box is not None:
            x1, y1, x2, y2 = ((box[0] + 0.5) / w, (box[1] + 0.5) / h,
                              (box[2] + 0.5) / w, (box[3] + 0.5) / h)
            polygons = ["0 " + " ".join(f"{v:.6f}" for v in (x1, y1, x2, y1, x2, y2, x1, y2))]
        detections.append({"object_id": int(object_id), "xyxy": [box or [0, 0, 0, 0]],
                           "formatted_polygon": polygons})
    with open(path, "w") as f:
        json.dump({"image_path": str(image_path), "detections": detections}, f)


def track_by_boxes(frame_names, start_frame, seed_masks, predictor, out_dir):
    """Objects 1 .. N hold ``seed_masks`` on ``start_frame``; on every later frame an object's
    mask is the predictor's answer to its box on the frame before. Writes output_pp_<n>.json
    per frame into ``out_dir`` and returns video_segments (frame -> object id -> 1 x H x W)."""
    os.makedirs(out_dir, exist_ok=True)
    current = {i + 1: np.asarray(m, dtype=bool) for i, m in enumerate(seed_masks)}
    video_segments = {}
    for frame in range(start_frame, len(frame_names)):
        if frame > start_frame:
            ids = [i for i in current if mask_box(current[i]) is not None]
            predictor.set_image(read_rgb(frame_names[frame]))
            masks, _, _ = predictor.predict(box=np.array([mask_box(current[i]) for i in ids]),
                                            multimask_output=False)
            masks = np.asarray(masks).reshape(len(ids), *current[ids[0]].shape) != 0
            current = {**{i: np.zeros_like(current[i]) for i in current},
                       **dict(zip(ids, masks))}
        video_segments[frame] = {i: m[None] for i, m in current.items()}
        write_annotation(os.path.join(out_dir, f"output_pp_{frame}.json"), frame_names[frame],
                         current)
    return video_segments


# ---- the video predictor ----------------------------------------------------------------------

class Sam2VideoPredictorDouble:
    """SAM2VideoPredictor's calls with their real signatures and state handling: frames are the
    folder's JPEG files ordered by the number in their names; add_new_mask takes an H x W mask
    before tracking starts; propagate_in_video is a generator from the earliest prompted frame
    to the end, yielding (frame_idx, the state's own obj_ids list, N x 1 x H x W logits);
    reset_state clears that list in place. On a frame after the prompted one, an object's mask
    is the bright pixels inside its previous box grown by ``margin``; logits are +8 inside and
    -8 outside (float32, or bfloat16 torch tensors with ``as_torch``). ``fail_at`` = frame index
    at which propagation raises ``failure``."""

    def __init__(self, margin=4, as_torch=False, fail_at=None, failure=None):
        self.margin = margin
        self.as_torch = as_torch
        self.fail_at = fail_at
        self.failure = failure
        self.calls = []

    def init_state(self, video_path, offload_video_to_cpu=False, offload_state_to_cpu=False,
                   async_loading_frames=False):
        self.calls.append(("init_state", video_path))
        names = [p for p in os.listdir(video_path)
                 if os.path.splitext(p)[-1] in [".jpg", ".jpeg", ".JPG", ".JPEG"]]
        names.sort(key=lambda p: int(os.path.splitext(p)[0]))
        images = [read_rgb(os.path.join(video_path, n)) for n in names]
        return {"images": images, "num_frames": len(images), "obj_ids": [], "inputs": {},
                "tracking_has_started": False}

    def add_new_mask(self, inference_state, frame_idx, obj_id, mask):
        self.calls.append(("add_new_mask", {"frame_idx": frame_idx, "obj_id": obj_id,
                                            "mask": np.array(mask)}))
        assert np.ndim(mask) == 2
        if obj_id not in inference_state["obj_ids"]:
            if inference_state["tracking_has_started"]:
                raise RuntimeError(f"Cannot add new object id {obj_id} after tracking starts.")
            inference_state["obj_ids"].append(obj_id)
        inference_state["inputs"][obj_id] = (frame_idx, np.asarray(mask, dtype=bool))
        masks = [inference_state["inputs"][i][1] for i in inference_state["obj_ids"]]
        return frame_idx, inference_state["obj_ids"], self._logits(masks)

    def propagate_in_video(self, inference_state, start_frame_idx=None,
                           max_frame_num_to_track=None, reverse=False):
        self.calls.append(("propagate_in_video", {"start_frame_idx": start_frame_idx}))
        inference_state["tracking_has_started"] = True
        inputs = inference_state["inputs"]
        if not inputs:
            raise RuntimeError("No points are provided; please add points first")
        start = min(frame for frame, _ in inputs.values())
        current = {}
        for frame in range(start, inference_state["num_frames"]):
            if frame == self.fail_at:
                raise self.failure
            image = inference_state["images"][frame]
            for obj_id in inference_state["obj_ids"]:
                prompt_frame, prompt = inputs[obj_id]
                if prompt_frame == frame:
                    current[obj_id] = prompt
                elif obj_id in current:
                    current[obj_id] = self._follow(image, current[obj_id])
                else:
                    current[obj_id] = np.zeros(image.shape[:2], dtype=bool)
            masks = [current[i] for i in inference_state["obj_ids"]]
            yield frame, inference_state["obj_ids"], self._logits(masks)

    def reset_state(self, inference_state):
        self.calls.append(("reset_state", None))
        inference_state["obj_ids"].clear()
        inference_state["inputs"].clear()
        inference_state["tracking_has_started"] = False

    def methods(self):
        return [name for name, _ in self.calls]

    def _follow(self, image, previous):
        box = mask_box(previous)
        follow = np.zeros(image.shape[:2], dtype=bool)
        if box is None:
            return follow
        m = self.margin
        x1, y1 = max(box[0] - m, 0), max(box[1] - m, 0)
        x2, y2 = box[2] + 1 + m, box[3] + 1 + m
        follow[y1:y2, x1:x2] = gray(image[y1:y2, x1:x2]) > BRIGHT
        return follow

    def _logits(self, masks):
        logits = np.where(np.stack(masks)[:, None], 8.0, -8.0).astype(np.float32)
        if self.as_torch:
            import torch

            return torch.from_numpy(logits).to(torch.bfloat16)
        return logits


def write_jpeg_frames(folder, frames, names=None):
    """Writes RGB frames as JPEG files named by ``names`` (default 0000.jpg, 0001.jpg, ...)."""
    import cv2

    os.makedirs(folder, exist_ok=True)
    names = names or [f"{i:04d}.jpg" for i in range(len(frames))]
    paths = []
    for name, frame in zip(names, frames):
        path = os.path.join(folder, name)
        cv2.imwrite(path, np.ascontiguousarray(frame[:, :, ::-1]), [cv2.IMWRITE_JPEG_QUALITY, 100])
        paths.append(path)
    return paths

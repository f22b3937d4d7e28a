import json

import numpy as np
import pytest

import kovra_utils as ku


def _blob(shape, seed):
    """A random hole-free mask: bright rectangles, some touching the frame's edges."""
    rng = np.random.default_rng(seed)
    plane = np.zeros(shape, dtype=bool)
    for _ in range(rng.integers(1, 5)):
        y, x = rng.integers(0, shape[0]), rng.integers(0, shape[1])
        plane[y:y + rng.integers(1, 20), x:x + rng.integers(1, 30)] = True
    return plane


def test_masks_in_every_form_read_back_as_written(tmp_path):
    shape = (40, 60)
    forms = [
        lambda m: m,                               # H x W bool
        lambda m: m[None],                         # 1 x H x W, as the video tracker gives
        lambda m: m.astype(np.float32),            # non-zero = set
        lambda m: ku.Mask(m),
    ]
    planes = {frame: {obj: _blob(shape, 10 * frame + obj) for obj in (1, 2, 3, 4)}
              for frame in (0, 2)}
    segments = {frame: {obj: forms[obj - 1](plane) for obj, plane in objects.items()}
                for frame, objects in planes.items()}
    names = ["f0.jpg", "f1.jpg", "f2.jpg"]

    paths = ku.write_annotation_files(segments, names, tmp_path / "out")

    assert paths == [str(tmp_path / "out" / "output_pp_0.json"),
                     str(tmp_path / "out" / "output_pp_2.json")]
    for frame, path in zip((0, 2), paths):
        image_path, masks, boxkeys = ku.process_json_and_generate_masks(path, *shape)
        assert image_path == names[frame] and boxkeys == [0, 1, 2, 3]
        for mask, plane in zip(masks, planes[frame].values()):
            np.testing.assert_array_equal(np.asarray(mask), plane.astype(np.uint8))
        detections = json.loads(open(path).read())["detections"]
        ys, xs = np.nonzero(planes[frame][1])
        assert detections[0]["xyxy"] == [[xs.min(), ys.min(), xs.max(), ys.max()]]


def test_mask_polygons_matches_the_files(tmp_path):
    plane = _blob((30, 30), 5)
    path = ku.write_annotation_files({0: {9: plane}}, ["a.jpg"], tmp_path)[0]
    written = json.loads(open(path).read())["detections"][0]["formatted_polygon"]
    assert ku.mask_polygons(plane) == written
    assert all(len(token.split(".")[1]) == 6 for token in written[0].split()[1:])


@pytest.mark.parametrize("segments, message", [
    ({1: {1: np.zeros((4, 4), bool)}}, "frame 1 is not a position"),
    ({0: {1: np.zeros((4, 4), bool), 2: np.zeros((4, 5), bool)}}, "object 2 on frame 0"),
])
def test_bad_input_writes_nothing(tmp_path, segments, message):
    with pytest.raises(ku.ArgumentError, match=message):
        ku.write_annotation_files(segments, ["a.jpg"], tmp_path / "out")
    assert not (tmp_path / "out").exists()

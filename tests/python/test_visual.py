import contextlib
import io
import json
import os

import numpy as np
import pytest

import kovra_utils as ku
from conftest import square_polygon, write_annotation, write_ppm


def masks():
    a = np.zeros((40, 60), bool)
    a[5:20, 5:20] = True
    b = np.zeros((40, 60), np.uint8)
    b[10:30, 30:50] = 1
    return {"Box0": a, "Box3": b}


def test_overlays():
    image = np.full((40, 60, 3), 50, np.uint8)
    drawn = ku.draw_masks_on_image(image=image, masks=list(masks().values()))
    assert drawn.shape == (40, 60, 4) and drawn.dtype == np.uint8 and drawn.flags.writeable
    assert drawn.base is not None  # shares the library's buffer rather than a copy
    assert tuple(drawn[0, 0]) == (50, 50, 50, 255) and tuple(drawn[10, 10]) != (50, 50, 50, 255)
    boxed = ku.img_bbx_drawing(image=image, mask_dict=masks())
    assert boxed.shape == (40, 60, 4)
    assert ku.generate_random_color() == ku.generate_random_color(index=42)
    assert len(ku.generate_random_color(7)) == 3


def test_mask_visual_calls_the_display_with_an_rgb_image():
    shown = []
    segments = {4: {2: masks()["Box0"][None]}}
    ku.video_segments_mask_visual(video_segments=segments, frame_idx=4, object_id=2, display=shown.append)
    assert len(shown) == 1 and shown[0].shape == (40, 60, 3)
    with pytest.raises(KeyError, match="no frame 5"):
        ku.video_segments_mask_visual(segments, 5, 2, display=shown.append)


def test_callback_exception_surfaces_unchanged():
    class Boom(Exception):
        pass

    raised = Boom("from the display")

    def display(image):
        print("showing", image.shape)
        raise raised

    printed = io.StringIO()
    with contextlib.redirect_stdout(printed), pytest.raises(Boom) as error:
        ku.draw_intersection_heatmap(ku.intersection_between_masks(masks()), display_func=display)
    assert error.value is raised and error.value.__traceback__ is not None
    assert printed.getvalue() == "showing (500, 700, 3)\n"


def test_heatmap_from_a_dataframe():
    image = ku.render_intersection_heatmap(intersections_df=ku.intersection_between_masks(masks()))
    assert image.shape == (500, 700, 3)


def test_retrieve_annotation_and_fix_polygon_scaling(tmp_path, frame_image):
    path = write_annotation(tmp_path / "output_pp_0.json", frame_image, [
        (1, [square_polygon(5, 5, 20, 20, 60, 40)], [5, 5, 20, 20]),
        (2, [square_polygon(30, 5, 45, 20, 60, 40)], [30, 5, 45, 20]),
    ])
    saved = tmp_path / "drawn.png"
    picture = ku.retrieve_annotation(json_path=path, save_path=str(saved), box_drawing=True, object_ids="all")
    assert picture.shape == (40, 60, 4) and saved.exists()
    only_first = ku.retrieve_annotation(path, object_ids={1})
    assert np.array_equal(only_first[10, 35], [200, 0, 0, 255])  # object 2 not drawn
    with pytest.raises(ku.ArgumentError, match="'some'"):
        ku.retrieve_annotation(path, object_ids="some")

    ku.fix_polygon_scaling(json_path=path, save_path=str(tmp_path / "fixed.json"))
    fixed = json.loads((tmp_path / "fixed.json").read_text())
    assert fixed["detections"][0]["formatted_polygon"][0].startswith("0 0.055556 0.187500")
    with pytest.raises(ku.ContentError):
        (tmp_path / "bad.json").write_text('{"image_path": "%s", "detections": '
                                           '[{"formatted_polygon": ["0 0.1"]}]}' % frame_image)
        ku.fix_polygon_scaling(str(tmp_path / "bad.json"))


def test_analysis_utilities(tmp_path):
    (tmp_path / "sub").mkdir()
    for name in ("b.json", "a.json", "c.txt", "sub/d.json"):
        (tmp_path / name).touch()
    files = ku.list_all_files(directory=str(tmp_path), ext=".json")
    assert [os.path.relpath(f, tmp_path) for f in files] == ["a.json", "b.json", "sub/d.json"]

    clusters = ku.cluster_masks_and_print(masks_dict=masks(), eps=5, min_samples=1)
    assert clusters == {"Noise": [], "Cluster 0": ["Box0"], "Cluster 1": ["Box3"]}
    with pytest.raises(ku.ArgumentError):
        ku.cluster_masks_and_print(masks(), eps=0)

    frames = []
    for i in range(6):
        rgb = np.zeros((40, 60, 3), np.uint8)
        rgb[8 + i:20 + i, 8:20] = 255
        frames.append(write_ppm(tmp_path / f"{i}.ppm", rgb))
    scores = ku.compute_motion_score_in_polygon(video_frames=frames, masks_dict=masks())
    assert list(scores) == ["Box0", "Box3"] and scores["Box0"] > scores["Box3"]
    with pytest.raises(ku.ArgumentError):
        ku.compute_motion_score_in_polygon(frames[:5], masks())

    gray = ku.enhance_dark_text(image_pil=np.full((10, 10, 3), 40, np.uint8), gamma=2.0)
    assert gray.shape == (10, 10) and gray.dtype == np.uint8
    with pytest.raises(ku.ArgumentError):
        ku.enhance_dark_text(np.zeros((4, 4, 3), np.uint8), gamma=-1)

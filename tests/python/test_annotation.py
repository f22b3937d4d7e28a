import threading
import time

import numpy as np
import pandas as pd
import pytest

import kovra_utils as ku
from conftest import square_polygon, write_annotation, write_clip


def test_process_json_and_generate_masks(tmp_path):
    path = write_annotation(tmp_path / "output_pp_1.json", "img.jpg", [
        (1, [square_polygon(0, 0, 10, 5, 20, 10)], [0, 0, 10, 5]),
        (7, [], [0, 0, 0, 0]),
    ])
    image_path, masks, boxkeys = ku.process_json_and_generate_masks(json_path=path, height=10, width=20)
    assert image_path == "img.jpg" and boxkeys == [0, 6]
    assert [type(m) for m in masks] == [ku.Mask, ku.Mask]
    assert np.asarray(masks).shape == (2, 10, 20)
    assert masks[0].area == 11 * 6 and masks[1].area == 0


@pytest.mark.parametrize("content, error, message", [
    (None, ku.FileError, "output_pp_1.json"),
    ("{", ku.ContentError, "output_pp_1.json"),
    ('{"image_path": "a.jpg"}', ku.ContentError, '"detections"'),
    ('{"image_path": "a.jpg", "detections": [{"formatted_polygon": ["0 0.1 0.2 0.3"]}]}',
     ku.ContentError, "odd"),
])
def test_bad_annotation_files(tmp_path, content, error, message):
    path = tmp_path / "output_pp_1.json"
    if content is not None:
        path.write_text(content)
    with pytest.raises(error) as raised:
        ku.process_json_and_generate_masks(str(path), 10, 20)
    assert message in str(raised.value)


def test_overlap_measures():
    a = np.zeros((10, 10), np.uint8)
    a[:4, :5] = 1
    b = np.zeros((10, 10), bool)
    b[:2, :] = True
    assert ku.calculate_masks_intersection(mask1=a, mask2=b) == 50.0
    assert ku.calculate_masks_intersection_new(mask1=a, mask2=b, mask_area_1=20, mask_area_2=0) == (50.0, 0)
    table = ku.intersection_between_masks(masks_dict={"Box0": a, "Box3": b})
    assert isinstance(table, pd.DataFrame)
    assert table.index.tolist() == ["Box0", "Box3"] and table.columns.tolist() == ["Box0", "Box3"]
    assert table.loc["Box0", "Box3"] == 50.0 and table.loc["Box3", "Box0"] == 50.0
    with_areas = ku.intersection_between_masks({"Box0": a, "Box3": b},
                                               processed_mask_areas={"Box0": 10, "Box3": 40})
    assert with_areas.loc["Box0", "Box3"] == 100.0
    with pytest.raises(KeyError, match="Box3"):
        ku.intersection_between_masks({"Box0": a, "Box3": b}, processed_mask_areas={"Box0": 1})
    with pytest.raises(ku.ArgumentError):
        ku.calculate_masks_intersection(a, np.zeros((3, 3)))


def test_whole_clip_loading(clip):
    last_frame, data = ku.get_kovra_annotation_data("unused", save_dir_base=clip)
    assert list(data) == [0, 1, 2]
    assert last_frame is data[2]
    record = data[1]
    assert record["masks_dict"] is record.masks_dict and list(record.masks_dict) == ["Box0", "Box1"]
    assert record.mask_areas == {"Box0": 256, "Box1": 256} and record.frame_index == 1
    assert record.json_path.endswith("output_pp_1.json")
    frame = record.intersections_df
    assert isinstance(frame, pd.DataFrame) and frame.loc["Box0", "Box1"] == 100.0
    assert record["intersections_df"] is frame  # built once, on first access


def test_whole_clip_loading_on_several_threads(clip):
    _, serial = ku.get_kovra_annotation_data("unused", save_dir_base=clip)
    _, parallel = ku.get_kovra_annotation_data("unused", save_dir_base=clip, threads=2)
    assert list(parallel) == list(serial)
    for key, record in serial.items():
        assert parallel[key].mask_areas == record.mask_areas
        assert parallel[key].intersections_df.equals(record.intersections_df)
    with pytest.raises(ku.ArgumentError, match="threads must be at least 1, got 0"):
        ku.get_kovra_annotation_data("unused", save_dir_base=clip, threads=0)


def test_single_frame_and_out_of_range_modes(clip, tmp_path):
    last_frame, data = ku.get_kovra_annotation_data("unused", ixx=1, save_dir_base=clip)
    assert last_frame is data and list(data) == [1] and data[1].intersections_df is None
    assert ku.get_kovra_annotation_data("unused", False, 3, clip) == ({}, {})
    (tmp_path / "empty").mkdir()
    out = __import__("io").StringIO()
    with __import__("contextlib").redirect_stdout(out):
        assert ku.get_kovra_annotation_data("unused", save_dir_base=str(tmp_path / "empty")) == (None, None)
    assert out.getvalue().startswith("No JSON files found")


def test_loading_releases_the_gil(tmp_path, frame_image):
    w, h = 60, 40
    frames = [[(i, [square_polygon(i, i, i + 20, i + 15, w, h)], [0, 0, 1, 1]) for i in range(1, 11)]] * 300
    folder = write_clip(tmp_path / "long", frame_image, frames)
    ticks = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.0005)

    worker = threading.Thread(target=count)
    worker.start()
    try:
        time.sleep(0.01)
        before = ticks[0]
        started = time.perf_counter()
        ku.get_kovra_annotation_data("unused", save_dir_base=folder)
        elapsed = time.perf_counter() - started
        during = ticks[0] - before
    finally:
        stop.set()
        worker.join()
    # With the GIL held for the whole load the counter could not move at all.
    assert elapsed > 0.02 and during > 5


def test_messages_of_calls_in_several_threads(tmp_path):
    (tmp_path / "empty").mkdir()
    folder = str(tmp_path / "empty")
    printed = __import__("io").StringIO()

    def load_many():
        for _ in range(25):
            ku.get_kovra_annotation_data("unused", save_dir_base=folder)

    with __import__("contextlib").redirect_stdout(printed):
        workers = [threading.Thread(target=load_many) for _ in range(4)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    lines = printed.getvalue().splitlines()
    assert len(lines) == 100 and len(set(lines)) == 1 and lines[0].startswith("No JSON files found")


def test_load_clip_raises_where_the_loader_prints(tmp_path, clip, frame_image, capsys):
    assert list(ku.load_clip(clip)) == [0, 1, 2]
    assert capsys.readouterr().out == ""
    with pytest.raises(ku.FileError, match="does not exist"):
        ku.load_clip(tmp_path / "missing")
    (tmp_path / "empty").mkdir()
    with pytest.raises(ku.FileError, match="no annotation files"):
        ku.load_clip(tmp_path / "empty")

    # A parent of two clips: both hold output_pp_0.json .. output_pp_2.json.
    a = square_polygon(5, 5, 20, 20, 60, 40)
    write_clip(tmp_path / "tracker" / "second", frame_image, [[(1, [a], [5, 5, 20, 20])]] * 3)
    parent = tmp_path / "tracker"
    with pytest.raises(ku.ContentError) as error:
        ku.load_clip(parent)
    first, second = f"{parent}/output_pp_0.json", f"{parent}/second/output_pp_0.json"
    assert f"frame number 0 occurs in both {first} and {second}" in str(error.value)
    assert ku.find_shared_frame_number(parent) == (0, first, second)
    _, data = ku.get_kovra_annotation_data("", save_dir_base=str(parent))
    assert len(data) == 6  # the loader still loads what it finds, and says so
    assert capsys.readouterr().out.splitlines() == [
        f"Warning: frame number 0 occurs in both {first} and {second}"]

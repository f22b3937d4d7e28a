import contextlib
import io

import numpy as np
import pandas as pd
import pytest

import kovra_utils as ku


def test_tracking_report(clip, tmp_path):
    _, data = ku.get_kovra_annotation_data("unused", save_dir_base=clip)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        print("before")
        overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df = ku.generate_tracking_report(
            kovra_annotation_data=data, save_dir_base=str(tmp_path), intersection_thrr=80)
        print("after")
    report = tmp_path / "tracking_question_report.csv"
    assert printed.getvalue() == (f"before\nGenerating tracking question report...\n\n"
                                  f"Tracking question report saved to {report}\nafter\n")
    assert overlap_frames == [1]
    assert list(overlap_frames_data.columns) == ku.tracking_report_columns()
    assert overlap_frames_data["Box Pair"].tolist() == ["Box0-Box1", "Box1-Box0"]
    assert overlap_frames_data["Intersection Value"].tolist() == [100.0, 100.0]
    assert overlap_frames_data["Frame ID"].tolist() == [1, 1]
    pd.testing.assert_frame_equal(box_keys_df, overlap_frames_data)
    assert zero_area_frames == [{"Frame ID": 2, "Report type": "Zero area detected", "Box ID": "Box1",
                                 "Mask Areas": 0}]
    assert report.read_text().splitlines()[0] == ",".join(ku.tracking_report_columns())


def test_tracking_report_needs_whole_clip_records(clip, tmp_path):
    data, _ = ku.get_kovra_annotation_data("unused", ixx=1, save_dir_base=clip)
    with pytest.raises(ku.ContentError, match="intersection"):
        ku.generate_tracking_report(data, str(tmp_path))
    _, whole = ku.get_kovra_annotation_data("unused", save_dir_base=clip)
    with pytest.raises(ku.FileError) as error:
        ku.generate_tracking_report(whole, str(tmp_path / "missing"))
    assert isinstance(error.value, OSError) and "missing" in str(error.value)


def test_records_built_in_python_are_accepted(tmp_path):
    mask = np.zeros((4, 4), bool)
    mask[:2, :2] = True
    records = {}
    for key in range(3):
        masks = {"Box0": mask, "Box1": mask if key else np.zeros((4, 4), bool)}
        records[key] = {"frame_index": key, "masks_dict": masks, "mask_areas": ku.count_mask_areas(masks),
                        "json_path": "", "image_path": "",
                        "intersections_df": ku.intersection_between_masks(masks)}
    with contextlib.redirect_stdout(io.StringIO()):
        frames_data, zero, frames, _ = ku.generate_tracking_report(records, str(tmp_path), 50)
    assert frames == [1, 2] and len(frames_data) == 4 and zero[0]["Box ID"] == "Box1"


def test_find_continuous_frames():
    frames_df = pd.DataFrame({"Frame ID": [5, 1, 2, 3, 7, 6, 9], "Box ID": ["B", "A", "A", "A", "B", "B", None]})
    runs = ku.find_continuous_frames(frames_df=frames_df, group_by="Box ID", n_consecutive=3)
    assert runs == {"A": [[1, 2, 3]], "B": [[5, 6, 7]]}
    assert list(ku.find_continuous_frames(frames_df, n_consecutive=4)) == []
    zero_rows = pd.DataFrame([{"Frame ID": f, "Report type": "Zero area detected", "Box ID": "Box1",
                               "Mask Areas": 0} for f in (3, 4, 5)])
    assert ku.find_continuous_frames(zero_rows) == {"Box1": [[3, 4, 5]]}
    with pytest.raises(KeyError, match="no column 'Box Pair'"):
        ku.find_continuous_frames(frames_df, group_by="Box Pair")

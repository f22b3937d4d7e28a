"""Tracking metrics and identity repair on a tracker output folder."""

import json
from pathlib import Path

import pytest

import kovra_utils as ku


def tracks_of(folder):
    _, data = ku.get_kovra_annotation_data("unused", save_dir_base=folder)
    return ku.clip_track_masks(data)


def folder_bytes(folder):
    return {path.name: path.read_bytes() for path in sorted(Path(folder).glob("*.json"))}


def test_perfect_tracks_score_one(clip):
    masks = tracks_of(clip)
    for predicted in (masks, ku.track_boxes(masks)):
        result = ku.evaluate_tracking(predicted, predicted)
        assert set(result) == {"HOTA", "CLEAR", "Identity"}
        assert result["HOTA"]["HOTA"] == pytest.approx(1.0)
        assert result["CLEAR"]["MOTA"] == pytest.approx(1.0)
        assert result["Identity"]["IDF1"] == pytest.approx(1.0)
        assert len(result["HOTA"]["per_alpha"]["HOTA"]) == 19


def test_swapped_identities_lose_association(clip):
    masks = tracks_of(clip)
    truth = ku.evaluate_tracking(masks, masks, drop_empty_masks=True)
    swapped = dict(masks)
    swapped[3] = {2: masks[3][1]}  # track 1 changes its id in the last frame
    result = ku.evaluate_tracking(predicted=swapped, ground_truth=masks)
    assert result["CLEAR"]["IDSW"] >= 1
    assert result["Identity"]["IDF1"] < truth["Identity"]["IDF1"]


def test_swap_twice_restores_the_files(clip):
    original = folder_bytes(clip)
    first = ku.swap_identities(clip, id_a=1, id_b=2, from_frame=1)
    assert first["files"] and first["total_detections"] == sum(first["detections"])
    swapped = folder_bytes(clip)
    assert swapped["output_pp_0.json"] == original["output_pp_0.json"]  # before the range
    ku.swap_identities(save_dir_base=clip, id_a=2, id_b=1, from_frame=1, to_frame=None)
    back = folder_bytes(clip)
    for name in original:  # same content; rewritten files take the repair's layout
        assert json.loads(back[name]) == json.loads(original[name])
    ku.swap_identities(clip, 1, 2, 1)
    assert folder_bytes(clip) == swapped
    assert ku.finish_identity_repair(clip) == "nothing"


def test_refused_repairs_change_nothing(clip):
    original = folder_bytes(clip)
    with pytest.raises(ku.ArgumentError):
        ku.reassign_identity(clip, from_id=2, to_id=1, from_frame=0)  # both in one frame
    with pytest.raises(ku.ArgumentError):
        ku.swap_identities(clip, 1, 1, 0)
    with pytest.raises(ku.ArgumentError):
        ku.swap_identities(clip, 7, 8, 0, 2)
    assert folder_bytes(clip) == original


@pytest.mark.parametrize("repair", [ku.swap_identities, ku.reassign_identity])
def test_repairs_of_a_missing_folder_name_it(tmp_path, repair):
    with pytest.raises(ku.FileError, match="nope does not exist"):
        repair(tmp_path / "nope", 1, 2, 0)

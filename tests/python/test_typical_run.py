"""One camera's typical run from Python, with model doubles: catalogue, frame extraction, the
first-frame initializer, a tracker stand-in, loading, stacked boxes, the matcher, the report
and the overlap resolution."""

import glob
import os

import numpy as np
import pytest

import kovra_utils
from model_doubles import (
    GroundingDinoModelDouble,
    GroundingDinoProcessorDouble,
    Sam2PredictorDouble,
    scene,
    scene_detector,
    track_by_boxes,
    write_pen,
)

cv2 = pytest.importorskip("cv2")

FPS = 5
FRAMES = 30  # two windows of 3 s
APPROACH = 17  # from this frame on animal 1 walks onto animal 0 (the second window)


def frame_at(index):
    step = min(max(index - APPROACH + 1, 0) * 6, 38)
    return scene(offsets={1: (-step, 0)})


def write_recording(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    height, width = frame_at(0).shape[:2]
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), FPS, (width, height))
    assert writer.isOpened()
    for index in range(FRAMES):
        writer.write(np.ascontiguousarray(frame_at(index)[:, :, ::-1]))
    writer.release()


def clip_dirs(frames_root):
    dirs = glob.glob(os.path.join(frames_root, "**", "*_cropped_frames"), recursive=True)
    return sorted(dirs, key=lambda d: float(os.path.basename(os.path.dirname(d)).split("min")[0]))


def frame_names(clip_dir):
    return sorted(glob.glob(os.path.join(clip_dir, "*.jpg")))


def test_typical_run_over_one_camera(tmp_path, capsys):
    recordings = tmp_path / "recordings"
    write_recording(recordings / "pen61" / "Camera61_2_20240315061500.mp4")
    pen = write_pen(tmp_path / "pen.json")

    # 1-2: catalogue and frame windows.
    table = kovra_utils.VideoMetadata(base_dir=str(recordings), sub_dirs=["pen61"])\
        .get_filtered_video_dataframe()
    assert list(table["Camera Number"]) == ["61"]
    processor = kovra_utils.VideoProcessor(output_dir_base=str(tmp_path / "frames"),
                                           time_step=0.05, crop=False)
    processor.process_videos_to_frames(table)
    first, second = clip_dirs(str(tmp_path / "frames"))[:2]
    first_names, second_names = frame_names(first), frame_names(second)
    assert len(first_names) >= 10 and len(second_names) >= 10

    # 3: the first clip's initializer.
    detector = GroundingDinoProcessorDouble(scene_detector())
    predictor = Sam2PredictorDouble(margin=6)
    masks, OBJECTS, ann_frame_idx, annotated_frame = kovra_utils.initializer(
        first, first_names, detector, GroundingDinoModelDouble(detector), "cpu", predictor,
        custom_pen_json_path=pen)
    assert ann_frame_idx == 0 and len(masks) == 10

    # 4: the tracker stand-in propagates the masks; the refinement cleans them in memory.
    tracked_first = str(tmp_path / "tracker_output" / "first")
    segments = track_by_boxes(first_names, ann_frame_idx, masks, predictor, tracked_first)
    refinement = kovra_utils.Mask_Refinement(custom_pen_json_path=pen)
    refinement.process_video_segments(segments, first, first_names)

    # 5: the next clip starts from the end of the first.
    _, laste_frame = kovra_utils.get_kovra_annotation_data(first, save_dir_base=tracked_first)
    last = len(laste_frame)
    remove_stack_box = kovra_utils.find_boxes_with_small_area_from_last_video(
        laste_frame, min_frame_id=last - 5, area_threshold=100, min_count=2)
    assert remove_stack_box == []
    masks, OBJECTS, keep_box, best_laste_frame, no_best_laste_frame = kovra_utils.matcher(
        laste_frame, second_names, ann_frame_idx=0, image_predictor=predictor,
        remove_stack_box=remove_stack_box)
    assert no_best_laste_frame is False and len(masks) == 10
    assert best_laste_frame is laste_frame[last - 1]

    tracked_second = str(tmp_path / "tracker_output" / "second")
    track_by_boxes(second_names, 0, masks, predictor, tracked_second)

    # 6: review the second clip: animals 0 and 1 end up in one place.
    _, data = kovra_utils.get_kovra_annotation_data(second, save_dir_base=tracked_second)
    overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df = \
        kovra_utils.generate_tracking_report(data, tracked_second)
    assert os.path.exists(os.path.join(tracked_second, "tracking_question_report.csv"))
    assert set(overlap_frames_data["Box Pair"]) == {"Box0-Box1", "Box1-Box0"}
    capsys.readouterr()

    test_frame, most_frequent_box, con_frames_dict, worst_boxes = \
        kovra_utils.process_overlap_frames(overlap_frames_data, data, predictor)
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "dict_keys(['Box0-Box1', 'Box1-Box0'])"
    assert test_frame == min(overlap_frames)
    assert list(con_frames_dict) == ["Box0-Box1", "Box1-Box0"]
    assert 1 <= len(worst_boxes) <= 5 and set(worst_boxes) <= {"Box0", "Box1"}
    assert most_frequent_box in worst_boxes
    assert out[-1] == f"Most frequent box with errors: {most_frequent_box}"

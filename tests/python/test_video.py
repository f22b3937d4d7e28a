import contextlib
import io
import os
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest

import kovra_utils as ku

needs_ffmpeg = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg writes the test video")


def write_video(path, seconds=2):
    """A 64 x 48, 10 fps video: black with an orange band at columns 40..63."""
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"color=c=black:s=64x48:r=10:d={seconds}", "-vf",
                    "drawbox=x=40:y=0:w=24:h=48:color=0xFF8000@1:t=fill", "-c:v", "mpeg4", "-q:v", "2",
                    str(path)], check=True)
    return str(path)


def test_video_metadata_catalogue(tmp_path):
    (tmp_path / "a").mkdir()
    for name in ("Camera61_1_20240101083000.mp4", "Camera61_1_20240101093000.mp4",
                 "Camera61_1_20240101180000.mp4", "Camera62_1_20240101093000.mp4", "notes.txt"):
        (tmp_path / "a" / name).touch()
    metadata = ku.VideoMetadata(base_dir=str(tmp_path), sub_dirs=["a", "missing"], sample_step=1,
                                camera_number="61")
    assert (metadata.filter_start, metadata.filter_end, metadata.top_n) == ("06:00:00", "17:00:00", -1)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        table = metadata.get_filtered_video_dataframe()
    assert isinstance(table, pd.DataFrame)
    assert list(table.columns) == ["Camera Number", "Date", "Time", "File Path", "Video Name"]
    assert sorted(table["Time"]) == ["08:30:00", "09:30:00"] and set(table["Camera Number"]) == {"61"}
    assert printed.getvalue().count("\n") == 1 and "Camera61_1_20240101083000.mp4" in printed.getvalue()
    with pytest.raises(ku.ArgumentError):
        ku.VideoMetadata(str(tmp_path), ["a"], match_pattern="(").get_filtered_video_dataframe()
    # A missing sub folder is skipped; a missing base folder is a mistyped path.
    with pytest.raises(ku.FileError, match="nope"):
        ku.VideoMetadata(tmp_path / "nope", ["a"]).get_filtered_video_dataframe()


def test_video_processor_fields():
    processor = ku.VideoProcessor()
    assert (processor.resize_dim, processor.frame_skip, processor.time_step, processor.crop,
            processor.left_crop, processor.camera_crop_coords) == (None, 1, 0.1, True, False, {})
    assert processor.output_dir_base == ku.DEFAULT_FRAMES_DIR
    custom = ku.VideoProcessor(resize_dim=(0, 20), frame_skip=5, left_crop=None,
                               camera_crop_coords={"61": (1, 2, 3, 4)})
    assert custom.resize_dim == (0, 20) and custom.left_crop is None
    assert custom.camera_crop_coords == {"61": (1, 2, 3, 4)}
    assert ku.VideoProcessor().camera_crop_coords == {}


def test_find_orange_region():
    frame = np.zeros((48, 64, 3), np.uint8)
    frame[10:20, 30:50] = (0, 128, 255)  # BGR orange
    assert ku.VideoProcessor.find_orange_region(frame=frame) == (30, 10, 50, 20)
    assert ku.VideoProcessor.find_orange_region(np.zeros((4, 4, 3), np.uint8)) is None
    with pytest.raises(ku.ArgumentError):
        ku.VideoProcessor.find_orange_region(np.zeros((4, 4), np.uint8))


def test_video_duration_of_unreadable_video(tmp_path):
    with contextlib.redirect_stdout(io.StringIO()):
        duration = ku.VideoProcessor.get_video_duration(video_path=str(tmp_path / "none.mp4"))
    assert duration == 0 and type(duration) is int


@needs_ffmpeg
def test_crop_video_to_frames(tmp_path):
    video = write_video(tmp_path / "v.mp4")
    processor = ku.VideoProcessor(left_crop=None)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        assert ku.VideoProcessor.get_video_duration(video) == pytest.approx(2 / 60)
        processor.crop_video_to_frames(video_path=video, output_dir=str(tmp_path / "out"), start_min=0,
                                       end_min=0.005, camera_number="61", crop=True)
    assert sorted(os.listdir(tmp_path / "out"))[:2] == ["0000.jpg", "0001.jpg"]
    assert list(processor.camera_crop_coords) == ["61"]
    assert "Video FPS: " in printed.getvalue()


@needs_ffmpeg
def test_process_videos_to_frames(tmp_path):
    (tmp_path / "rec").mkdir()
    write_video(tmp_path / "rec" / "Camera61_1_20240101083000.mp4", seconds=1)
    with contextlib.redirect_stdout(io.StringIO()):
        catalogue = ku.VideoMetadata(str(tmp_path), ["rec"]).get_filtered_video_dataframe()
        processor = ku.VideoProcessor(time_step=0.01, output_dir_base=str(tmp_path / "frames"), left_crop=None)
        processor.process_videos_to_frames(df=catalogue)
    windows = os.listdir(tmp_path / "frames" / "20240101" / "Camera61_1_20240101083000")
    assert "0min_to_0.01min" in windows
    with pytest.raises(ku.ArgumentError, match="Video Name"):
        processor.process_videos_to_frames(catalogue.drop(columns=["Video Name"]))

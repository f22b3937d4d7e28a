"""kovra-run / kovra_utils.pipeline.run on two tiny generated cameras with the stand-in models:
the same bytes serially, on one and on two Dask workers, after kills and after a worker dies;
a failing recording stops only its own chain; nothing is written outside the output folder."""

import filecmp
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import kovra_utils
from kovra_utils import pipeline

cv2 = pytest.importorskip("cv2")
pytest.importorskip("distributed")

FPS, FRAMES = 5, 20
WIDTH, HEIGHT = 360, 160
WINDOW_MINUTES = 2 / 60  # 10 frames: two windows per recording
HERE = Path(__file__).resolve().parent


def frame(index, hidden=lambda index: ()):
    """Ten bright animals on a dark floor (but those ``hidden(index)`` names), an orange crop
    marker at the left edge."""
    image = np.full((HEIGHT, WIDTH, 3), 40, np.uint8)
    cv2.rectangle(image, (4, 10), (12, 60), (0, 140, 255), cv2.FILLED)
    for i in range(10):
        if i in hidden(index):
            continue
        x = 60 + 64 * (i % 5) + (index % 4)
        y = 45 if i < 5 else 115
        cv2.ellipse(image, (x, y), (15, 10), 0, 0, 360, (220, 220, 220), cv2.FILLED)
    return image


def write_recording(path, frames=FRAMES, **scene):
    path.parent.mkdir(parents=True, exist_ok=True)
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), FPS, (WIDTH, HEIGHT))
    assert writer.isOpened()
    for index in range(frames):
        writer.write(frame(index, **scene))
    writer.release()


def write_camera(root, number, clock="061500", broken=False, **scene):
    recording = root / "recordings" / f"pen{number}" / f"Camera{number}_2_20240315{clock}.mp4"
    if broken:
        recording.parent.mkdir(parents=True, exist_ok=True)
        recording.write_bytes(b"not a video")
    else:
        write_recording(recording, **scene)
    pen = root / "pens" / f"Cam{number}.json"
    pen.parent.mkdir(parents=True, exist_ok=True)
    corners = [[0, 0], [WIDTH - 1, 0], [WIDTH - 1, HEIGHT - 1], [0, HEIGHT - 1]]
    pen.write_text(json.dumps({"shapes": [{"label": "pen", "points": corners}]}))


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    root = tmp_path_factory.mktemp("cameras")
    write_camera(root, 61)
    write_camera(root, 62, clock="070000")
    return root


def arguments(root, out, *extra):
    return [str(root / "recordings"), "--cameras", "pen61", "pen62", "--pens", str(root / "pens"),
            "-o", str(out), "--stand-ins", "--window-minutes", str(WINDOW_MINUTES), "-q", *extra]


def environment(**extra):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", **extra)
    env["PYTHONPATH"] = os.pathsep.join([str(HERE)] + sys.path)
    return env


def command(root, out, *extra, **popen):
    return subprocess.Popen([sys.executable, "-m", "kovra_utils", "run", *arguments(root, out, *extra)],
                            env=popen.pop("env", environment()), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True, **popen)


def run_command(root, out, *extra, **popen):
    process = command(root, out, *extra, **popen)
    stdout, stderr = process.communicate(timeout=600)
    return process.returncode, stdout, stderr


def tree(folder):
    """Relative path -> bytes (or link target) of every file, summary.csv aside."""
    files = {}
    for path in sorted(Path(folder).rglob("*")):
        relative = str(path.relative_to(folder))
        if relative == "summary.csv" or path.is_dir() and not path.is_symlink():
            continue
        files[relative] = os.readlink(path) if path.is_symlink() else path.read_bytes()
    return files


def summary_without_times(folder):
    import pandas

    table = pandas.read_csv(Path(folder) / "summary.csv", keep_default_na=False, dtype=str)
    return table[[c for c in table.columns if not c.startswith("seconds_")]]


def keep(out, label):
    """Moves a finished run aside, so the next run writes the same paths."""
    kept = out.parent / label
    out.rename(kept)
    return kept


@pytest.fixture(scope="module")
def reference(data):
    """An uninterrupted serial run of the two cameras."""
    out = data / "out"
    summary = pipeline.run(str(data / "recordings"), ["pen61", "pen62"], str(data / "pens"),
                           str(out), stand_ins=True, window_minutes=WINDOW_MINUTES, progress=False)
    assert list(summary["status"]) == ["done"] * 4
    assert list(summary["seeded_by"]) == ["initializer", "matcher"] * 2
    assert list(summary["animals"]) == [10] * 4
    return keep(out, "reference")


def assert_same_output(out, reference, resumed_allowed=False):
    expected, actual = tree(reference), tree(out)
    assert sorted(actual) == sorted(expected)
    assert [name for name in expected if actual[name] != expected[name]] == []
    got, want = summary_without_times(out), summary_without_times(reference)
    if resumed_allowed:
        got = got.assign(status=[w if g == "resumed" else g for g, w in zip(got.status, want.status)])
    assert got.equals(want)


def test_a_window_holds_frames_tracks_report_and_exports(reference):
    window = reference / "pen61" / "20240315" / "061500_2s_to_4s"
    assert (window / "frames" / "0000.jpg").is_file()
    annotation = json.loads((window / "tracker_output" / "output_pp_0.json").read_text())
    assert annotation["image_path"] == str(data_root(reference) / "out" / "pen61" / "20240315" /
                                           "061500_2s_to_4s" / "frames" / "0000.jpg")
    assert len(annotation["detections"]) == 10
    assert (window / "exports" / "coco.json").is_file() and (window / "exports" / "mot.txt").is_file()
    marker = json.loads((window / "window.json").read_text())
    assert marker["result"]["seeded_by"] == "matcher"
    assert not (reference / ".kovra-run" / "partial").exists()
    if hasattr(kovra_utils, "day_behaviour"):
        behaviour = reference / "pen61" / "20240315" / "behaviour"
        assert {"frames.csv", "bouts.csv", "summary.csv"} <= {p.name for p in behaviour.iterdir()}


def data_root(reference):
    return reference.parent


def test_two_workers_write_the_bytes_of_the_serial_run(data, reference):
    out = data / "out"
    summary = pipeline.run(str(data / "recordings"), ["pen61", "pen62"], str(data / "pens"),
                           str(out), stand_ins=True, window_minutes=WINDOW_MINUTES, workers=2,
                           progress=False)
    assert list(summary["status"]) == ["done"] * 4
    assert_same_output(keep(out, "two-workers"), reference)


def test_a_run_killed_at_random_moments_ends_as_the_uninterrupted_one(data, reference):
    out = data / "out"
    shutil.rmtree(out, ignore_errors=True)
    started = time.monotonic()
    code, _, stderr = run_command(data, out)
    assert code == 0, stderr
    duration = time.monotonic() - started
    assert_same_output(out, reference)
    shutil.rmtree(out)
    chooser = random.Random(19)
    for _ in range(4):
        process = command(data, out)
        time.sleep(chooser.uniform(0.3, duration))
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
    code, _, stderr = run_command(data, out)
    assert code == 0, stderr
    assert_same_output(keep(out, "after-kills"), reference, resumed_allowed=True)


def test_a_dead_worker_task_is_retried_and_the_output_is_intact(data, reference, tmp_path):
    out = data / "out"
    flag = tmp_path / "killed-once"
    models = ["--models", "pipeline_doubles:models_killing_their_worker_once"]
    arguments_ = arguments(data, out, "--workers", "2")
    arguments_[arguments_.index("--stand-ins")] = models[0]
    arguments_.insert(arguments_.index(models[0]) + 1, models[1])
    process = subprocess.Popen([sys.executable, "-m", "kovra_utils", "run", *arguments_],
                               env=environment(KOVRA_TEST_KILL_FLAG=str(flag)),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    _, stderr = process.communicate(timeout=600)
    assert process.returncode == 0, stderr
    assert flag.exists()  # a worker did die in the middle of a window
    # The models' name is part of the inputs' fingerprint, so only the markers differ.
    kept = keep(out, "worker-killed")
    assert_same_output_but_markers(kept, reference)


def assert_same_output_but_markers(out, reference):
    expected, actual = tree(reference), tree(out)
    assert sorted(actual) == sorted(expected)
    differing = [name for name in expected if actual[name] != expected[name]]
    assert [name for name in differing
            if not name.endswith(("window.json", "behaviour.json"))] == []
    for name in differing:
        if name.endswith("window.json"):
            assert json.loads(actual[name])["result"] == json.loads(expected[name])["result"]


def test_a_broken_recording_fails_its_chain_only(tmp_path):
    write_camera(tmp_path, 61)
    write_camera(tmp_path, 62, clock="061000", broken=True)
    write_recording(tmp_path / "recordings" / "pen62" / "Camera62_2_20240315070000.mp4")
    code, _, stderr = run_command(tmp_path, tmp_path / "out")
    assert code == 1
    summary = summary_without_times(tmp_path / "out")
    rows = {(r.camera, r.window): r for r in summary.itertuples()}
    broken = rows[("pen62", "061000_0s_to_1s")]
    assert broken.status == "failed" and "Camera62_2_20240315061000.mp4" in broken.error
    assert "pen62/20240315/061000_0s_to_1s" in stderr
    assert [r.status for r in summary.itertuples() if r.camera == "pen62"][1:] == ["not run"] * 2
    assert [r.status for r in summary.itertuples() if r.camera == "pen61"] == ["done"] * 2
    assert not (tmp_path / "out" / "pen62" / "20240315" / "061000_0s_to_1s").exists()


def test_one_worker_writes_nothing_outside_the_output_folder(data, reference, tmp_path):
    cwd, home, temp = (tmp_path / name for name in ("cwd", "home", "tmp"))
    for folder in (cwd, home, temp):
        folder.mkdir()
    inputs_before = snapshot(data / "recordings") | snapshot(data / "pens")
    out = data / "out"
    code, _, stderr = run_command(data, out, "--workers", "1", cwd=cwd,
                                  env=environment(HOME=str(home), TMPDIR=str(temp),
                                                  XDG_CONFIG_HOME=str(home / ".config")))
    assert code == 0, stderr
    assert snapshot(data / "recordings") | snapshot(data / "pens") == inputs_before
    assert [list(folder.iterdir()) for folder in (cwd, home, temp)] == [[], [], []]
    assert_same_output(keep(out, "one-worker"), reference)


def snapshot(folder):
    return {(str(p), p.stat().st_size, p.stat().st_mtime_ns) for p in Path(folder).rglob("*")}


def test_a_folder_not_written_by_the_pipeline_is_left_alone(data, tmp_path):
    out = tmp_path / "out"
    foreign = out / "pen61" / "20240315" / "061500_0s_to_2s"
    foreign.mkdir(parents=True)
    (foreign / "mine.txt").write_text("keep me")
    with pytest.raises(kovra_utils.ArgumentError, match="not written by this pipeline"):
        pipeline.run(str(data / "recordings"), ["pen61"], str(data / "pens"), str(out),
                     stand_ins=True, window_minutes=WINDOW_MINUTES, progress=False)
    assert (foreign / "mine.txt").read_text() == "keep me"


@pytest.mark.parametrize("change, error, message", [
    (dict(cameras=["pen99"]), kovra_utils.FileError, "pen99: no such camera folder"),
    (dict(pens="nowhere"), kovra_utils.FileError, "Cam61.json: pen polygon file"),
    (dict(day_start="6am"), kovra_utils.ArgumentError, "day_start: expected HHMMSS"),
    (dict(window_minutes=0), kovra_utils.ArgumentError, "window_minutes"),
    (dict(workers=2, scheduler="tcp://x:1"), kovra_utils.ArgumentError, "not both"),
    (dict(stand_ins=False), kovra_utils.ArgumentError, "stand_ins=True or models"),
    (dict(stand_ins=False, models="no colon"), kovra_utils.ArgumentError, "MODULE:FACTORY"),
])
def test_bad_arguments_are_named_before_anything_runs(data, tmp_path, change, error, message):
    arguments = dict(recordings=str(data / "recordings"), cameras=["pen61"], pens=str(data / "pens"),
                     output=str(tmp_path / "out"), stand_ins=True, window_minutes=WINDOW_MINUTES,
                     progress=False)
    if "pens" in change:
        change = dict(pens=str(tmp_path / change["pens"]))
    arguments.update(change)
    with pytest.raises(error, match=message):
        pipeline.run(**arguments)
    assert not list((tmp_path / "out").rglob("*.jpg"))


def test_a_window_without_a_usable_last_frame_before_it_is_initialised_again(tmp_path):
    # Animal 9 is out of sight in the last ten frames of the first window (the last frames
    # the matcher tries): none of them has ten masks.
    write_camera(tmp_path, 61, frames=30, hidden=lambda index: (9,) if 3 <= index < 15 else ())
    summary = pipeline.run(str(tmp_path / "recordings"), ["pen61"], str(tmp_path / "pens"),
                           str(tmp_path / "out"), stand_ins=True, window_minutes=3 / 60,
                           progress=False)
    assert list(summary["status"]) == ["done", "re-initialised"]
    assert list(summary["seeded_by"]) == ["initializer", "initializer again"]
    assert list(summary["animals"]) == [10, 10]


@pytest.mark.parametrize("fps", [5, 24, 25, 30, 59])
@pytest.mark.parametrize("per_window", [2, 7, 30, 1500])
def test_windows_tile_the_recording_on_frames_extraction_reads_whole(fps, per_window):
    # Extraction saves no frame whose (floating) number has a fraction, so every bound shared
    # by two windows must give a whole frame number.
    count = 20 * per_window + 3
    windows = pipeline.window_bounds(count, per_window, fps)
    assert windows[0][0] == 0 and windows[-1][1] == count
    assert all(a[1] == b[0] for a, b in zip(windows, windows[1:]))
    assert all(abs(end - start - per_window) <= per_window // 2 for start, end in windows[:-1])
    for _, end in windows[:-1]:
        assert fps * 60 * pipeline.exact_minutes(end, fps) == end

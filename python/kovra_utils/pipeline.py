"""The typical run as one call: pen cameras' recordings to checked tracks, window by window.

    run(recordings, cameras, pens, output, stand_ins=True)

For every camera (a sub-folder of ``recordings``) and day, the recordings in the day window are
cut into windows of ``window_minutes``; each window is extracted, seeded (the initializer on a
day's first window, the matcher from the previous window's output on the others), tracked with
the video tracker, refined, written as the tracker's annotation files, reviewed (tracking
question report, overlap resolution) and exported (COCO, MOT). Output::

    OUT/summary.csv                          one row per camera-window
    OUT/<camera>/<date>/<window>/frames/     0000.jpg, 0001.jpg, ...
                                 tracker_output/output_pp_<n>.json
                                 tracking_question_report.csv   (when there is something to report)
                                 exports/coco.json, exports/mot.txt
                                 log.txt     the library's messages
                                 window.json the completion marker: inputs' fingerprint, results

A window is built in OUT/.kovra-run/partial and moved into place once complete, so a rerun skips
complete windows and redoes the rest; nothing outside OUT is written or deleted.
"""

import contextlib
import dataclasses
import hashlib
import importlib
import io
import json
import math
import os
import re
import shutil
import sys
import time
import typing

import kovra_utils as ku

__all__ = ["run", "Models", "stand_in_models", "SUMMARY_COLUMNS", "STEPS"]

# Bumped when a window's outputs change for the same inputs, so old windows are redone.
OUTPUT_FORMAT = 1

STEPS = ("extract", "seed", "track", "refine", "annotate", "review", "export")
SUMMARY_COLUMNS = (["camera", "date", "window", "recording", "start_frame", "end_frame", "status",
                    "seeded_by", "frames", "animals", "zero_area_rows", "overlap_rows",
                    "box_most_likely_wrong"]
                   + [f"seconds_{step}" for step in STEPS] + ["seconds_total", "error"])

DONE, RESUMED, REINITIALISED, FAILED, NOT_RUN = "done", "resumed", "re-initialised", "failed", "not run"
MARKER = "window.json"
PRIVATE = ".kovra-run"


# ---- models ---------------------------------------------------------------------------------

@dataclasses.dataclass
class Models:
    """What a model factory returns: the SAM2 image and video predictors and the Grounding DINO
    processor and network, with the device the detector's inputs go to."""
    image_predictor: object
    video_predictor: object
    processor: object
    grounding_model: object
    device: str = "cpu"


def stand_in_models():
    """The library's stand-ins: bright-blob detection, thresholding and box propagation. They
    find bright animals on a dark floor and are NOT trained models."""
    detector = ku.BrightBlobDetector()
    predictor = ku.ThresholdPredictor()
    return Models(predictor, ku.BoxPropagationTracker(predictor), detector, detector, "cpu")


STAND_INS = "kovra_utils.pipeline:stand_in_models"

# Models built in this process, by factory name: each worker process builds them once.
_built_models = {}


def factory_name(models):
    """"module:function" of a factory given by name or as a module-level function."""
    if isinstance(models, str):
        if not re.fullmatch(r"[\w.]+:[\w.]+", models):
            raise ku.ArgumentError(f"models: expected MODULE:FACTORY, got {models!r}")
        return models
    if callable(models) and "<" not in getattr(models, "__qualname__", "<"):
        return f"{models.__module__}:{models.__qualname__}"
    raise ku.ArgumentError("models: give a module-level factory function or its 'module:function' name")


def load_models(name):
    if name not in _built_models:
        module, _, attribute = name.partition(":")
        factory: typing.Any = importlib.import_module(module)
        for part in attribute.split("."):
            factory = getattr(factory, part)
        built = factory()
        if isinstance(built, dict):
            built = Models(**built)
        _built_models[name] = built
    return _built_models[name]


# ---- planning -------------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Settings:
    output: str            # absolute
    models: str            # factory name
    animals: int
    frame_skip: int = 1


@dataclasses.dataclass(frozen=True)
class Window:
    camera: str            # the recordings' sub-folder
    camera_number: str
    date: str
    recording: str         # absolute path
    recording_time: str    # HH:MM:SS
    fps: int
    start_frame: int
    end_frame: int
    name: str
    first_of_day: bool
    pen: str
    fingerprint: str

    def final_dir(self, output):
        return os.path.join(output, self.camera, self.date, self.name)

    def staging_dir(self, output):
        return os.path.join(output, PRIVATE, "partial", self.camera, self.date, self.name)

    @property
    def label(self):
        return f"{self.camera}/{self.date}/{self.name}"

    @property
    def start_s(self):
        """Seconds from the day's midnight to the window's first frame."""
        h, m, s = (int(v) for v in self.recording_time.split(":"))
        return 3600 * h + 60 * m + s + self.start_frame / self.fps


def _quiet(call, *args, **kwargs):
    """``call``'s result and the messages it printed."""
    messages = io.StringIO()
    with contextlib.redirect_stdout(messages):
        result = call(*args, **kwargs)
    return result, messages.getvalue()


def recording_frames(path):
    """(frame rate, frame count) of a recording, both 0 when it cannot be read."""
    minutes, messages = _quiet(ku.VideoProcessor.get_video_duration, path)
    fps = re.search(r"^Video FPS: (\S+)$", messages, re.M)
    count = re.search(r"^Total frames: (\S+)$", messages, re.M)
    if not minutes or not fps or not count:
        return 0, 0
    return int(float(fps.group(1))), int(float(count.group(1)))


def exact_minutes(frame, fps):
    """Minutes m with int(fps) * 60 * m == frame exactly in floating point, so that extraction
    sees whole frame numbers (it saves no frame whose number has a fraction); None when no
    floating value near frame / (60 fps) gives it."""
    per_minute = fps * 60
    if frame % per_minute == 0:
        return frame // per_minute
    for direction in (math.inf, -math.inf):
        candidate = frame / per_minute
        for _ in range(4):
            if per_minute * candidate == frame:
                return candidate
            candidate = math.nextafter(candidate, direction)
    return None


def window_bounds(count, per_window, fps):
    """(start, end) frames of the windows of a recording of ``count`` frames: ``per_window``
    frames each, a boundary moved by a frame or two where it has no exact minute value."""
    bounds = [0]
    while bounds[-1] + per_window < count:
        target = bounds[-1] + per_window
        nearby = sorted(range(max(bounds[-1] + 1, target - per_window // 2),
                              min(count, target + per_window // 2 + 1)),
                        key=lambda f: (abs(f - target), f))
        bounds.append(next((f for f in nearby if exact_minutes(f, fps) is not None), target))
    bounds.append(count)
    return list(zip(bounds, bounds[1:]))


def _extraction_minutes(frame, fps):
    minutes = exact_minutes(frame, fps)
    return frame / (fps * 60) if minutes is None else minutes


def _seconds_text(value):
    return f"{value:.3f}".rstrip("0").rstrip(".")


def window_name(recording_time, start_frame, end_frame, fps):
    return (recording_time.replace(":", "") + "_" + _seconds_text(start_frame / fps) + "s_to_"
            + _seconds_text(end_frame / fps) + "s")


def _file_stamp(path):
    st = os.stat(path)
    return [os.path.basename(path), st.st_size, st.st_mtime_ns]


def _digest(document):
    return hashlib.sha256(json.dumps(document, sort_keys=True).encode()).hexdigest()


def catalogue(recordings, camera, day_start, day_end, sample_step):
    """The camera's recordings in the day window, in time order, every ``sample_step``-th."""
    window = {}
    if day_start is not None:
        window["filter_start"] = _clock(day_start, "day_start")
    if day_end is not None:
        window["filter_end"] = _clock(day_end, "day_end")
    metadata = ku.VideoMetadata(base_dir=recordings, sub_dirs=[camera], sample_step=0, **window)
    table, _ = _quiet(metadata.get_filtered_video_dataframe)
    rows = sorted(table.itertuples(index=False), key=lambda r: (r[1], r[2], r[4]))
    return rows[::sample_step]


def _clock(text, what):
    if not re.fullmatch(r"\d{6}", str(text)):
        raise ku.ArgumentError(f"{what}: expected HHMMSS, got {text!r}")
    text = str(text)
    return f"{text[:2]}:{text[2:4]}:{text[4:]}"


def plan(recordings, cameras, pens, settings, window_minutes, day_start, day_end, sample_step):
    """One list of windows per camera-day, in time order."""
    if not window_minutes or window_minutes <= 0:
        raise ku.ArgumentError(f"window_minutes: must be positive, got {window_minutes}")
    if sample_step < 1:
        raise ku.ArgumentError(f"sample_step: must be at least 1, got {sample_step}")
    chains = []
    for camera in cameras:
        if not os.path.isdir(os.path.join(recordings, camera)):
            raise ku.FileError(f"{os.path.join(recordings, camera)}: no such camera folder")
        rows = catalogue(recordings, camera, day_start, day_end, sample_step)
        numbers = sorted({row[0] for row in rows})
        if len(numbers) > 1:
            raise ku.ContentError(f"{os.path.join(recordings, camera)}: recordings of cameras "
                                  f"{', '.join(numbers)}; give each camera its own folder")
        if not numbers:
            continue
        pen = os.path.join(pens, f"Cam{numbers[0]}.json")
        if not os.path.isfile(pen):
            raise ku.FileError(f"{pen}: pen polygon file of camera {numbers[0]} not found")
        days: typing.Dict[str, list] = {}
        for row in rows:
            days.setdefault(row[1], []).append(row)
        for date, day_rows in days.items():
            chains.append(_day_windows(camera, date, day_rows, pen, settings, window_minutes))
    return chains


def _day_windows(camera, date, rows, pen, settings, window_minutes):
    windows = []
    previous = None
    for number, _, clock, path, _ in rows:
        path = os.path.abspath(path)
        fps, count = recording_frames(path)
        # An unreadable recording still gets its first window, which then fails with the reason.
        per_window = max(1, round(window_minutes * 60 * fps)) if fps else 1
        count = count if fps else 1
        for start, end in window_bounds(count, per_window, max(fps, 1)):
            fingerprint = _digest({
                "format": OUTPUT_FORMAT, "library": ku.__version__, "models": settings.models,
                "recording": _file_stamp(path), "pen": _file_stamp(pen), "window": [start, end],
                "animals": settings.animals, "frame_skip": settings.frame_skip,
                "previous": previous})
            windows.append(Window(camera, number, date, path, clock, max(fps, 1), start, end,
                                  window_name(clock, start, end, max(fps, 1)), previous is None,
                                  pen, fingerprint))
            previous = fingerprint
    return windows


# ---- checkpoints ----------------------------------------------------------------------------

def completed(window, output):
    """The stored result of a window complete with the same inputs, else None."""
    marker = os.path.join(window.final_dir(output), MARKER)
    if os.path.islink(window.final_dir(output)) or not os.path.isfile(marker):
        return None
    try:
        with open(marker) as f:
            stored = json.load(f)
    except (OSError, ValueError):
        return None
    if stored.get("fingerprint") != window.fingerprint:
        return None
    return stored.get("result")


def refuse_foreign(window, output):
    """Raises ArgumentError when the window's place holds something this pipeline did not
    write there (it would otherwise be replaced)."""
    final = window.final_dir(output)
    if os.path.lexists(final) and not os.path.islink(final) and not os.path.isfile(
            os.path.join(final, MARKER)):
        raise ku.ArgumentError(f"{final}: exists but was not written by this pipeline; "
                               "move it out of the output folder")


def clear_window(window, output):
    """Removes what an earlier, incomplete or outdated attempt left of ``window``."""
    refuse_foreign(window, output)
    final = window.final_dir(output)
    staging = window.staging_dir(output)
    if os.path.islink(final):
        os.unlink(final)
    elif os.path.isdir(final):
        # Moved out of sight first: a half-deleted window must not look like a foreign folder.
        old = staging + ".old"
        shutil.rmtree(old, ignore_errors=True)
        os.makedirs(os.path.dirname(old), exist_ok=True)
        os.rename(final, old)
        shutil.rmtree(old)
    shutil.rmtree(staging, ignore_errors=True)


def _write_json(path, document):
    ku.write_file_atomically(path, json.dumps(document, indent=2, sort_keys=True) + "\n")


def publish(window, output, result):
    """Writes the completion marker and moves the staged window into place."""
    staging, final = window.staging_dir(output), window.final_dir(output)
    _write_json(os.path.join(staging, MARKER), {"fingerprint": window.fingerprint,
                                                "result": result})
    if os.path.islink(final):
        os.unlink(final)
    os.rename(staging, final)


# ---- one window -----------------------------------------------------------------------------

class _Log:
    """The library's messages of one window, step by step, and the steps' times."""

    def __init__(self):
        self.text = io.StringIO()
        self.seconds = {}

    @contextlib.contextmanager
    def step(self, name):
        started = time.perf_counter()
        self.text.write(f"== {name}\n")
        try:
            with contextlib.redirect_stdout(self.text):
                yield
        finally:
            self.seconds[name] = self.seconds.get(name, 0.0) + time.perf_counter() - started


def _error_text(error):
    return f"{type(error).__name__}: {error}".strip().replace("\n", " ")


def crop_region(window, output):
    """{"crop": the camera-day's crop rectangle, detected on its first window's first frame, or
    None when none is found (extraction then reports why), "seconds": the time it took}."""
    started = time.perf_counter()
    scratch = os.path.join(output, PRIVATE, "partial", "crop", window.camera, window.date)
    shutil.rmtree(scratch, ignore_errors=True)
    processor = ku.VideoProcessor(frame_skip=1)
    start = _extraction_minutes(window.start_frame, window.fps)
    end = _extraction_minutes(window.start_frame + 1, window.fps)
    try:
        _quiet(processor.crop_video_to_frames, window.recording, scratch, start, end,
               window.camera_number, True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    crop = processor.camera_crop_coords.get(window.camera_number)
    return {"crop": crop, "seconds": time.perf_counter() - started}


def extract_window(window, settings, crop):
    """Cuts the window's frames into its staging folder with the camera-day's ``crop`` (the
    result of crop_region); returns what process_window needs."""
    clear_window(window, settings.output)
    frames_dir = os.path.join(window.staging_dir(settings.output), "frames")
    log = _Log()
    if window.first_of_day:
        log.seconds["extract"] = crop["seconds"]
    coords = {window.camera_number: tuple(crop["crop"])} if crop["crop"] else {}
    processor = ku.VideoProcessor(frame_skip=settings.frame_skip, camera_crop_coords=coords)
    error = None
    try:
        with log.step("extract"):
            processor.crop_video_to_frames(window.recording, frames_dir,
                                           _extraction_minutes(window.start_frame, window.fps),
                                           _extraction_minutes(window.end_frame, window.fps),
                                           window.camera_number, True)
        if not _frame_files(frames_dir):
            last = [line for line in log.text.getvalue().splitlines() if line.strip()][-1]
            error = f"no frame extracted from {window.recording}: {last}"
    except Exception as failure:  # recorded in the summary; the chain stops at this window
        error = _error_text(failure)
    return {"log": log.text.getvalue(), "seconds": log.seconds.get("extract", 0.0),
            "error": error}


def _frame_files(frames_dir):
    if not os.path.isdir(frames_dir):
        return []
    return sorted(name for name in os.listdir(frames_dir) if name.endswith(".jpg"))


def _base_result(window):
    return {"camera": window.camera, "date": window.date, "window": window.name,
            "recording": os.path.basename(window.recording), "start_frame": window.start_frame,
            "end_frame": window.end_frame, "status": FAILED, "seeded_by": "", "frames": 0,
            "animals": 0, "zero_area_rows": 0, "overlap_rows": 0, "box_most_likely_wrong": "",
            "error": ""}


def process_window(window, settings, extraction, previous):
    """One window's steps after extraction. ``previous``: the result of the window before it
    on the same day (None for the first). Returns the summary row; never raises for a failure
    of the window itself."""
    stored = completed(window, settings.output)
    if stored is not None:  # a retried task whose first attempt finished
        return dict(stored, seconds={})
    result = _base_result(window)
    if previous is not None and previous["status"] in (FAILED, NOT_RUN):
        clear_window(window, settings.output)
        return dict(result, status=NOT_RUN, error=f"after {previous['camera']}/"
                    f"{previous['date']}/{previous['window']} failed", seconds={})
    log = _Log()
    log.text.write(extraction["log"])
    log.seconds["extract"] = extraction["seconds"]
    try:
        if extraction["error"]:
            raise ku.FileError(extraction["error"])
        result.update(_window_steps(window, settings, previous, log))
    except Exception as failure:  # recorded in the summary; the chain stops at this window
        result.update(status=FAILED, error=_error_text(failure))
        _discard(window, settings.output)
        return dict(result, seconds=log.seconds)
    with open(os.path.join(window.staging_dir(settings.output), "log.txt"), "w") as f:
        f.write(log.text.getvalue())
    publish(window, settings.output, result)
    return dict(result, seconds=log.seconds)


def _discard(window, output):
    final = window.final_dir(output)
    if os.path.islink(final):
        os.unlink(final)
    shutil.rmtree(window.staging_dir(output), ignore_errors=True)


def _window_steps(window, settings, previous, log):
    output = settings.output
    staging, final = window.staging_dir(output), window.final_dir(output)
    _reset_staging(staging, final)
    # The window is worked on through its final path (a link to the staging folder), so that
    # the frame paths written into its files are the ones that stay valid.
    os.makedirs(os.path.dirname(final), exist_ok=True)
    os.symlink(os.path.relpath(staging, os.path.dirname(final)), final)
    frames_dir = os.path.join(final, "frames")
    frame_names = [os.path.join(frames_dir, name) for name in _frame_files(frames_dir)]
    models = load_models(settings.models)

    seeded_by, status = "initializer", DONE
    masks, ann_frame_idx = None, 0
    with log.step("seed"):
        if previous is not None:
            previous_dir = os.path.join(output, previous["camera"], previous["date"],
                                        previous["window"])
            masks = _continue_from(previous_dir, frame_names, models)
            if masks is None:
                seeded_by, status = "initializer again", REINITIALISED
            else:
                seeded_by = "matcher"
        if masks is None:
            masks, _, ann_frame_idx, _ = ku.initializer(
                frames_dir, frame_names, models.processor, models.grounding_model,
                models.device, models.image_predictor, close_set_num=settings.animals,
                custom_pen_json_path=window.pen)
            if masks is None:
                raise ku.ContentError(f"{window.label}: no frame shows {settings.animals} "
                                      "separate animals inside the pen")
    with log.step("track"):
        video_segments = ku.track_clip(models.video_predictor, frames_dir, masks, ann_frame_idx)
    with log.step("refine"):
        refinement = ku.Mask_Refinement(custom_pen_json_path=window.pen)
        refinement.process_video_segments(video_segments, frames_dir, frame_names)
    tracker_dir = os.path.join(final, "tracker_output")
    with log.step("annotate"):
        ku.write_annotation_files(video_segments, frame_names, tracker_dir)
    with log.step("review"):
        review = _review(final, frames_dir, tracker_dir, models)
    with log.step("export"):
        clip = review.pop("clip")
        os.makedirs(os.path.join(final, "exports"))
        ku.export_clip(clip, "coco", os.path.join(final, "exports", "coco.json"), window.name)
        ku.export_clip(clip, "mot", os.path.join(final, "exports", "mot.txt"))
    return dict(review, status=status, seeded_by=seeded_by, frames=len(frame_names),
                animals=len(masks))


def _reset_staging(staging, final):
    """Removes what an earlier attempt of the same task left, the extracted frames aside."""
    if os.path.islink(final):
        os.unlink(final)
    for name in os.listdir(staging):
        if name != "frames":
            path = os.path.join(staging, name)
            shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)


def _continue_from(previous_dir, frame_names, models):
    """Seeds from the previous window's output: its stacked boxes dropped, the matcher's masks
    in the previous box order; None when the matcher finds no usable last frame."""
    _, laste_frame = ku.get_kovra_annotation_data(
        os.path.join(previous_dir, "frames"), save_dir_base=os.path.join(previous_dir, "tracker_output"))
    if not laste_frame:
        return None
    # The thresholds follow the clip's length: the last sixth of its frames, small in half of them.
    frames = len(laste_frame)
    stacked = ku.find_boxes_with_small_area_from_last_video(
        laste_frame, min_frame_id=frames - frames // 6, area_threshold=100,
        min_count=frames // 12)
    masks, _, _, _, no_best_laste_frame = ku.matcher(
        laste_frame, frame_names, ann_frame_idx=0, image_predictor=models.image_predictor,
        remove_stack_box=stacked)
    return None if no_best_laste_frame else masks


def _review(final, frames_dir, tracker_dir, models):
    _, clip = ku.get_kovra_annotation_data(frames_dir, save_dir_base=tracker_dir)
    overlap_rows, zero_area_rows, _, _ = ku.generate_tracking_report(clip, final)
    box = ""
    if len(overlap_rows):
        try:
            _, box, _, _ = ku.process_overlap_frames(overlap_rows, clip, models.image_predictor)
        except ku.Error as error:  # no run of overlapping frames long enough to judge
            print(f"overlap resolution: {error}")
    return {"clip": clip, "zero_area_rows": len(zero_area_rows),
            "overlap_rows": len(overlap_rows), "box_most_likely_wrong": box or ""}


# ---- the run --------------------------------------------------------------------------------

def run(recordings, cameras, pens, output, *, stand_ins=False, models=None, window_minutes=1.0,
        day_start=None, day_end=None, sample_step=1, workers=None, scheduler=None,
        gpu_resources=False, animals=10, progress=True):
    """Runs every window of ``cameras`` (sub-folders of ``recordings``) into ``output`` and
    returns the summary (also written to OUT/summary.csv) as a DataFrame.

    ``models``: a factory (a module-level function, or its "module:function" name) returning
    ``Models`` or a dict of its fields, called once in each process that runs models;
    ``stand_ins=True`` uses stand_in_models. ``pens`` holds Cam<N>.json per camera.
    ``day_start``/``day_end``: HHMMSS texts (default: the catalogue's day window).
    ``workers``: run on a local Dask cluster of that many processes; ``scheduler``: the address
    of a running Dask scheduler; neither: in this process. ``gpu_resources``: model steps ask
    for the worker resource "GPU" (one per worker of the local cluster).
    """
    from . import _engines

    if stand_ins == (models is not None):
        raise ku.ArgumentError("give either stand_ins=True or models")
    if workers is not None and scheduler is not None:
        raise ku.ArgumentError("give either workers or scheduler, not both")
    if workers is not None and workers < 1:
        raise ku.ArgumentError(f"workers: must be at least 1, got {workers}")
    if animals < 1:
        raise ku.ArgumentError(f"animals: must be at least 1, got {animals}")
    if not cameras:
        raise ku.ArgumentError("cameras: name at least one camera folder")
    output = os.path.abspath(output)
    settings = Settings(output, STAND_INS if stand_ins else factory_name(models), animals)
    os.makedirs(os.path.join(output, PRIVATE), exist_ok=True)
    with _engines.output_lock(os.path.join(output, PRIVATE, "lock")):
        shutil.rmtree(os.path.join(output, PRIVATE, "partial"), ignore_errors=True)
        chains = plan(os.path.abspath(recordings), list(cameras), os.path.abspath(pens),
                      settings, window_minutes, day_start, day_end, sample_step)
        stored = [[completed(window, output) for window in chain] for chain in chains]
        for chain, chain_stored in zip(chains, stored):
            for window, kept in zip(chain, chain_stored):
                if kept is None:
                    refuse_foreign(window, output)
        reporter = _engines.Progress(sum(len(chain) for chain in chains), enabled=progress)
        if workers is None and scheduler is None:
            results = _engines.run_serial(chains, stored, settings, reporter)
        else:
            results = _engines.run_dask(chains, stored, settings, reporter, workers=workers,
                                        scheduler=scheduler, gpu_resources=gpu_resources)
        reporter.close()
        summary = summary_table(chains, stored, results)
        ku.write_file_atomically(os.path.join(output, "summary.csv"),
                                 summary.to_csv(index=False, float_format="%.3f"))
        started = time.perf_counter()
        for chain, chain_results in zip(chains, results):
            try:
                day_behaviour(chain, chain_results, settings, os.path.abspath(pens))
            except ku.Error as error:  # the windows stand; the day's measures are missing
                print(f"behaviour of {chain[0].camera}/{chain[0].date}: {error}", file=sys.stderr)
        summary.attrs["seconds_behaviour"] = time.perf_counter() - started
        for private in ("partial", "dask"):
            shutil.rmtree(os.path.join(output, PRIVATE, private), ignore_errors=True)
    return summary


def zones_file(pens, camera_number):
    """The camera's feeder and drinker zones file, or None."""
    for suffix in ("_zones.json", "_zones.geojson"):
        path = os.path.join(pens, f"Cam{camera_number}{suffix}")
        if os.path.isfile(path):
            return path
    return None


def day_behaviour(chain, results, settings, pens):
    """Writes OUT/<camera>/<date>/behaviour/ from the day's windows once all of them are done;
    kept while they and the zones file stay the same."""
    if not hasattr(ku, "day_behaviour") or any(r["status"] in (FAILED, NOT_RUN) for r in results):
        return
    first = chain[0]
    folder = os.path.join(settings.output, first.camera, first.date, "behaviour")
    zones = zones_file(pens, first.camera_number)
    fingerprint = _digest({"windows": [w.fingerprint for w in chain],
                           "zones": _file_stamp(zones) if zones else None})
    marker = os.path.join(folder, "behaviour.json")
    if os.path.isfile(marker):
        with open(marker) as f:
            if json.load(f).get("fingerprint") == fingerprint:
                return
        os.unlink(marker)
    clips = []
    for window in chain:
        final = window.final_dir(settings.output)
        _, clip = _quiet(ku.get_kovra_annotation_data, os.path.join(final, "frames"),
                         save_dir_base=os.path.join(final, "tracker_output"))[0]
        clips.append(clip)
    seconds_per_frame = settings.frame_skip / first.fps
    tables, _ = _quiet(ku.day_behaviour, clips, [w.start_s for w in chain],
                       seconds_per_frame=seconds_per_frame, zones=_zones_for(zones, clips[0]))
    ku.write_behaviour(tables, folder, zones=_zones_for(zones, clips[0]))
    _write_json(marker, {"fingerprint": fingerprint})


def _zones_for(path, clip):
    if path is None:
        return None
    record = next(iter(clip.values()))
    mask = next(iter(record["masks_dict"].values()))
    return ku.read_zones(path, tuple(mask.shape[-2:]))


def summary_table(chains, stored, results):
    import pandas

    rows = []
    for chain, chain_stored, chain_results in zip(chains, stored, results):
        for window, kept, result in zip(chain, chain_stored, chain_results):
            row = dict(kept, status=RESUMED, seconds={}) if kept is not None else result
            seconds = row.get("seconds", {})
            row.update({f"seconds_{step}": seconds.get(step, 0.0) for step in STEPS})
            row["seconds_total"] = sum(seconds.get(step, 0.0) for step in STEPS)
            rows.append(row)
    return pandas.DataFrame(rows, columns=SUMMARY_COLUMNS)


def failed_windows(summary):
    """"camera/date/window: error" of every failed window."""
    failed = summary[summary["status"] == FAILED]
    return [f"{r.camera}/{r.date}/{r.window}: {r.error}" for r in failed.itertuples()]

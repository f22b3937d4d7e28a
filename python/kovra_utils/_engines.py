"""Where the pipeline's windows run: in this process, or on a Dask distributed cluster.

Each camera-day is one chain: a window's steps depend on the window before it. Extraction
of every window is submitted up front, so frames are cut while the models work. Both engines
call the same functions with the same inputs, so they write the same bytes.
"""

import contextlib
import fcntl
import logging
import os
import sys

import kovra_utils as ku

from . import pipeline


@contextlib.contextmanager
def output_lock(path):
    """Holds an exclusive lock on ``path`` so that two runs never share an output folder."""
    with open(path, "a") as handle:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise ku.ArgumentError(f"{os.path.dirname(os.path.dirname(path))}: another run is "
                                   "writing to this output folder") from None
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)


class Progress:
    """One line per finished window on stdout; a bar on stderr when it is a terminal."""

    def __init__(self, total, enabled=True, stream=None, bar_stream=None):
        self.total = total
        self.finished = 0
        self.enabled = enabled
        self.stream = stream or sys.stdout
        self.bar_stream = bar_stream or sys.stderr
        self.bar = enabled and self.bar_stream.isatty()

    def window(self, window, status, seconds):
        self.finished += 1
        if not self.enabled:
            return
        self._clear_bar()
        print(f"{window.camera} {window.date} {window.name} {status} {seconds:.1f} s",
              file=self.stream, flush=True)
        self._draw_bar()

    def _clear_bar(self):
        if self.bar:
            self.bar_stream.write("\r\033[K")

    def _draw_bar(self):
        if self.bar:
            width = 30
            filled = width * self.finished // max(self.total, 1)
            self.bar_stream.write(f"[{'#' * filled}{'.' * (width - filled)}] "
                                  f"{self.finished}/{self.total} windows")
            self.bar_stream.flush()

    def close(self):
        self._clear_bar()
        if self.bar:
            self.bar_stream.flush()


def _report(progress, window, result, resumed=False):
    status = pipeline.RESUMED if resumed else result["status"]
    progress.window(window, status, sum(result.get("seconds", {}).values()))


# ---- serial ---------------------------------------------------------------------------------

def run_serial(chains, stored, settings, progress):
    """Runs the chains one after the other in this process; results aligned with ``chains``."""
    results = []
    for chain, chain_stored in zip(chains, stored):
        crop = None
        previous = None
        chain_results = []
        for window, kept in zip(chain, chain_stored):
            if kept is not None:
                result = kept
                _report(progress, window, kept, resumed=True)
            else:
                extraction = None
                if previous is None or previous["status"] not in (pipeline.FAILED, pipeline.NOT_RUN):
                    if crop is None:
                        crop = pipeline.crop_region(chain[0], settings.output)
                    extraction = pipeline.extract_window(window, settings, crop)
                result = pipeline.process_window(window, settings, extraction, previous)
                _report(progress, window, result)
            chain_results.append(result)
            previous = result
        results.append(chain_results)
    return results


# ---- Dask distributed -----------------------------------------------------------------------

def run_dask(chains, stored, settings, progress, workers=None, scheduler=None,
             gpu_resources=False):
    """Runs the chains on a LocalCluster of ``workers`` processes, or on the cluster whose
    scheduler listens at ``scheduler``."""
    import dask
    from distributed import Client, LocalCluster

    scratch = os.path.join(settings.output, pipeline.PRIVATE, "dask")
    # The workers keep glibc's default memory trimming: a fixed trim threshold also fixes the
    # mmap threshold, and every frame-sized buffer is then mapped and faulted in afresh (many
    # times slower image work). One thread per worker for the numeric libraries, as Dask does.
    environ = {name: 1 for name in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS")}
    with contextlib.ExitStack() as stack:
        stack.enter_context(dask.config.set({"temporary-directory": scratch,
                                             "distributed.nanny.pre-spawn-environ": environ}))
        if scheduler is not None:
            client = stack.enter_context(Client(scheduler))
        else:
            cluster = stack.enter_context(LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                local_directory=scratch, silence_logs=logging.ERROR,
                resources={"GPU": 1} if gpu_resources else None))
            client = stack.enter_context(Client(cluster))
        return _submit_and_wait(client, chains, stored, settings, progress, gpu_resources)


def _submit_and_wait(client, chains, stored, settings, progress, gpu_resources):
    from distributed import as_completed

    model_resources = {"GPU": 1} if gpu_resources else None
    windows_of = {}
    tasks = []
    for chain, chain_stored in zip(chains, stored):
        chain_tasks = []
        extractions = [None] * len(chain)
        if any(kept is None for kept in chain_stored):
            crop = client.submit(pipeline.crop_region, chain[0], settings.output, pure=False,
                                 key=f"crop-{chain[0].fingerprint}")
            # Extraction needs no model: all of it is submitted now and runs ahead.
            extractions = [client.submit(pipeline.extract_window, window, settings, crop,
                                         pure=False, key=f"extract-{window.fingerprint}")
                           if kept is None else None
                           for window, kept in zip(chain, chain_stored)]
        previous = None
        for window, kept, extraction in zip(chain, chain_stored, extractions):
            if kept is not None:
                _report(progress, window, kept, resumed=True)
                chain_tasks.append(kept)
                previous = kept
                continue
            previous = client.submit(pipeline.process_window, window, settings, extraction,
                                     previous, pure=False, resources=model_resources,
                                     key=f"window-{window.fingerprint}")
            windows_of[previous.key] = window
            chain_tasks.append(previous)
        tasks.append(chain_tasks)

    futures = [task for chain_tasks in tasks for task in chain_tasks if not isinstance(task, dict)]
    finished = {}
    for future in as_completed(futures):
        window = windows_of[future.key]
        if future.status == "finished":
            finished[future.key] = future.result()
            _report(progress, window, finished[future.key])
        else:
            finished[future.key] = _task_failure(window, future.exception())
            _report(progress, window, finished[future.key])
    return [_chain_results(chain_tasks, finished) for chain_tasks in tasks]


def _task_failure(window, error):
    """The row of a window whose task itself broke (e.g. its worker died too often)."""
    result = pipeline._base_result(window)
    result.update(error=pipeline._error_text(error), seconds={})
    return result


def _chain_results(chain_tasks, finished):
    """Results in chain order; after a broken task the rest of the chain did not run."""
    results = []
    broken = None
    for task in chain_tasks:
        result = task if isinstance(task, dict) else finished[task.key]
        if broken is not None:
            result = dict(result, status=pipeline.NOT_RUN, error=f"after {broken} failed")
        elif result["status"] == pipeline.FAILED and not isinstance(task, dict):
            broken = f"{result['camera']}/{result['date']}/{result['window']}"
        results.append(result)
    return results

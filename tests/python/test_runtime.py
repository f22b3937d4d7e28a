"""How library calls run from Python: quiet output, inline display in notebooks, Ctrl-C."""

import os
import signal
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

import kovra_utils


def test_quiet_silences_every_line_and_restores(tmp_path, capsys):
    missing = str(tmp_path / "nothing")
    with kovra_utils.quiet():
        assert kovra_utils.get_kovra_annotation_data("", save_dir_base=missing) == (None, None)
        assert kovra_utils.get_verbosity() == "quiet"
    assert capsys.readouterr().out == ""
    assert kovra_utils.get_verbosity() == "normal"
    kovra_utils.get_kovra_annotation_data("", save_dir_base=missing)
    assert capsys.readouterr().out.startswith("No JSON files found in ")

    kovra_utils.set_verbosity("quiet")
    try:
        kovra_utils.get_kovra_annotation_data("", save_dir_base=missing)
        assert capsys.readouterr().out == ""
    finally:
        kovra_utils.set_verbosity("normal")
    with pytest.raises(kovra_utils.ArgumentError, match="quiet"):
        kovra_utils.set_verbosity("silent")


@pytest.fixture
def notebook(monkeypatch):
    """A stand-in IPython kernel recording what it displays."""
    shown = []
    ipython = types.ModuleType("IPython")
    display = types.ModuleType("IPython.display")
    shell = types.SimpleNamespace(kernel=object())
    setattr(ipython, "get_ipython", lambda: shell)
    setattr(display, "Image", lambda data, format: ("image", format, data))
    setattr(display, "display", shown.append)
    setattr(ipython, "display", display)
    monkeypatch.setitem(sys.modules, "IPython", ipython)
    monkeypatch.setitem(sys.modules, "IPython.display", display)
    return shown


def test_default_display_shows_inline_in_a_notebook(notebook):
    table = kovra_utils.intersection_between_masks({"Box0": np.eye(4), "Box1": np.eye(4)})
    kovra_utils.draw_intersection_heatmap(table)
    assert len(notebook) == 1
    kind, form, data = notebook[0]
    assert (kind, form) == ("image", "png") and data.startswith(b"\x89PNG")


def test_default_display_outside_a_notebook_writes_no_inline_image(monkeypatch):
    monkeypatch.setitem(sys.modules, "IPython", types.ModuleType("IPython"))
    from kovra_utils import _display

    assert _display.inline_display() is None


RENDER = textwrap.dedent("""
    import sys
    import kovra_utils

    def progress(written, total):
        if written == 2:
            print("rendering", flush=True)

    try:
        kovra_utils.render_tracking_video(sys.argv[1], sys.argv[2], progress=progress)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        sys.exit(3)
    print("finished", flush=True)
""")


def test_sigint_stops_a_render_promptly_without_partial_output(tmp_path, frame_image):
    from conftest import square_polygon, write_clip

    box = square_polygon(5, 5, 20, 20, 60, 40)
    clip = write_clip(tmp_path / "clip", frame_image, [[(1, [box], [5, 5, 20, 20])]] * 3000)
    out = tmp_path / "out" / "video.mp4"
    out.parent.mkdir()
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    process = subprocess.Popen([sys.executable, "-c", RENDER, clip, str(out)], env=env,
                               stdout=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline().strip() == "rendering"
        process.send_signal(signal.SIGINT)
        # Rendering the rest would take far longer than this.
        rest = process.communicate(timeout=20)[0]
    finally:
        process.kill()
    assert "interrupted" in rest and process.returncode == 3, rest
    assert list(out.parent.iterdir()) == []


ALLOCATE = textwrap.dedent("""
    import resource
    import kovra_utils

    with open("/proc/self/status") as status:
        size = next(int(l.split()[1]) for l in status if l.startswith("VmSize")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + 64 * 2**20, resource.RLIM_INFINITY))
    try:  # 121 MB of pixels: below the decoder's plane limit, above the address-space limit
        kovra_utils.decode_rle({"size": [11000, 11000], "counts": [0, 121000000]})
    except MemoryError:
        print("MemoryError")
""")


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator aborts instead of failing under a memory limit")
def test_allocation_failures_are_memory_errors():
    result = subprocess.run([sys.executable, "-c", ALLOCATE], capture_output=True, text=True,
                            timeout=120)
    assert result.stdout.strip() == "MemoryError", result.stdout + result.stderr[-2000:]

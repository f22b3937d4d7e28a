"""The tracking video of a tracker output folder."""

import pytest

import kovra_utils as ku


def test_renders_every_frame_with_progress(clip, tmp_path):
    calls = []
    output = tmp_path / "clip.mp4"
    summary = ku.render_tracking_video(clip, str(output), fps=5, mark_report_frames=True,
                                       progress=lambda written, total: calls.append((written, total)))
    assert summary["frames"] == 3 and summary["missing_images"] == 0
    assert (summary["width"], summary["height"]) == (60, 40)
    assert summary["marked_frames"] >= 1
    assert calls == [(1, 3), (2, 3), (3, 3)]
    assert output.stat().st_size > 0


@pytest.mark.parametrize("options", [{"scale": 0}, {"fps": -1}, {"trail_length": -1}])
def test_invalid_options_write_nothing(clip, tmp_path, options):
    output = tmp_path / "clip.mp4"
    with pytest.raises(ku.ArgumentError):
        ku.render_tracking_video(clip, str(output), **options)
    assert not output.exists()

"""Showing pictures: inline in a notebook, where the library's default display (a PNG in the
temporary folder) would show nothing."""

import sys

from . import _core


def in_notebook():
    """Whether this process is an IPython kernel (Jupyter, VS Code, Colab)."""
    ipython = sys.modules.get("IPython")
    get_ipython = getattr(ipython, "get_ipython", None)
    shell = get_ipython() if callable(get_ipython) else None
    return shell is not None and getattr(shell, "kernel", None) is not None


def show_inline(image):
    """Shows an RGB or RGBA uint8 image in the notebook's output."""
    from IPython.display import Image, display

    display(Image(data=_core._png_bytes(image), format="png"))


def inline_display():
    """The display for an absent display argument: show_inline in a notebook, else None."""
    return show_inline if in_notebook() else None

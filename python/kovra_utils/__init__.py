"""kovra_utils: processing steps for tracking pigs in overhead pen-camera video.

The compiled library is kovra_utils._core; this package re-exports its public names, so every
function and class is reached as kovra_utils.<name>. ``help(name)`` gives each one's parameters,
result and errors; docs/python.md lists them all.

- Paths: ``str`` or any ``os.PathLike`` (pathlib.Path).
- Masks: ``kovra_utils.Mask``, any H x W or 1 x H x W array of bool, integers or floats (non-zero,
  NaN included, is set), or a torch tensor on any device.
- Images: numpy uint8 arrays, H x W x 3 RGB unless a function says otherwise.
- Errors: ``Error`` and its subclasses ``FileError``, ``ContentError``, ``ArgumentError``
  (``ArgumentTypeError`` for an argument of the wrong type, also a ``TypeError``);
  ``OutOfRangeError`` for keys and positions. A wrong argument gives one line naming the
  parameter, what it takes and what it got.
- Output: ``set_verbosity("quiet")`` or ``with quiet():`` silences every line the library prints.
- Ctrl-C stops long calls (loading, rendering, frame extraction, mask cleaning) within a second
  with KeyboardInterrupt, leaving no partial output file.
"""

import contextlib as _contextlib

from ._errors import (ArgumentError, ArgumentTypeError, ContentError, Error, FileError,
                      OutOfRangeError)
from . import _core
from ._core import *  # noqa: F401,F403
from ._core import __version__
from ._types import FrameRecord
from . import _arguments

_arguments.wrap_module(globals(), _core)

try:  # the model adapters (torch and the model packages are optional)
    from .models import *  # noqa: F401,F403
except ImportError as error:  # pragma: no cover - only when the adapters are not there yet
    if error.name not in (__name__ + ".models",):
        raise


@_contextlib.contextmanager
def quiet():
    """Context manager: the library prints nothing inside the ``with`` block (progress lines,
    the loader's messages), then the previous verbosity returns.

    Returns: a context manager yielding None.
    Raises: nothing of its own.
    """
    previous = get_verbosity()  # noqa: F405
    set_verbosity("quiet")  # noqa: F405
    try:
        yield
    finally:
        set_verbosity(previous)  # noqa: F405

from . import pipeline  # noqa: E402  (the whole run; imports Dask only when a cluster is used)

"""kovra_utils: processing steps for tracking pigs in overhead pen-camera video.

The compiled library is kovra_utils._core; this package re-exports its public names, so every
function and class is reached as kovra_utils.<name>.
"""

from ._errors import ArgumentError, ContentError, Error, FileError, OutOfRangeError
from ._core import *  # noqa: F401,F403
from ._core import __version__
from ._types import FrameRecord

try:  # the model adapters (torch and the model packages are optional)
    from .models import *  # noqa: F401,F403
except ImportError as error:  # pragma: no cover - only when the adapters are not there yet
    if error.name not in (__name__ + ".models",):
        raise

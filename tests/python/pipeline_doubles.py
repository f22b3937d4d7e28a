"""Model factories for the pipeline tests, imported by name in the Dask workers."""

import os
import signal

from kovra_utils import pipeline


class _DyingOnce:
    """A video predictor that kills its own process the first time it is used (the flag file
    named by KOVRA_TEST_KILL_FLAG records that it happened), then behaves as ``inner``."""

    def __init__(self, inner):
        self.inner = inner

    def init_state(self, *args, **kwargs):
        flag = os.environ["KOVRA_TEST_KILL_FLAG"]
        if not os.path.exists(flag):
            open(flag, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
        return self.inner.init_state(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(self.inner, name)


def models_killing_their_worker_once():
    models = pipeline.stand_in_models()
    models.video_predictor = _DyingOnce(models.video_predictor)
    return models

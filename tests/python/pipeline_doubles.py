"""Model factories for the pipeline tests, imported by name in the Dask workers."""

import os
import signal

from kovra_utils import pipeline


def models_killing_their_worker_once():
    """The stand-ins, but the first process to build them dies on the spot, in the middle of
    its window's task (the flag file named by KOVRA_TEST_KILL_FLAG records that it happened)."""
    flag = os.environ["KOVRA_TEST_KILL_FLAG"]
    if not os.path.exists(flag):
        open(flag, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return pipeline.stand_in_models()

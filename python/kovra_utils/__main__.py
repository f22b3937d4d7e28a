"""python -m kovra_utils run ...: the same as kovra-run."""

import sys

from .cli import main

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] != "run":
        print("usage: python -m kovra_utils run RECORDINGS --cameras SUB [SUB ...] --pens PEN_DIR "
              "-o OUT (--stand-ins | --models MODULE:FACTORY) ...", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[2:], prog="python -m kovra_utils run"))

"""pip install --no-build-isolation .  builds the Python package with the project's own CMake.

The compiled module and the `kovra` command-line tool are built in build-pip/ (Release, only the
targets the package needs) for the interpreter that runs pip, so a virtual environment gets a
module for its own Python. The tool is installed inside the package and run by the `kovra`
console script. pip hides a build's output, so the progress lines go to the terminal directly.
"""

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
# Debian 12 packages the build needs (scripts/install-deps installs them with the test tools).
BUILD_PACKAGES = ("build-essential cmake pkg-config libopencv-dev libgeos-dev nlohmann-json3-dev "
                  "libfreetype-dev libtsl-ordered-map-dev libcli11-dev pybind11-dev python3-dev "
                  "python3-numpy python3-setuptools python3-wheel")


class Terminal:
    """Lines for the person running pip: to the terminal when there is one (pip captures the
    build's own output), and to the build log."""

    def __init__(self):
        try:
            self._tty = open("/dev/tty", "w")
        except OSError:
            self._tty = None

    def say(self, text):
        print(text, file=sys.stderr, flush=True)
        if self._tty is not None:
            self._tty.write(text + "\n")
            self._tty.flush()


def run_with_progress(command, env, terminal, started):
    """Runs the build, passing its output to the log and every tenth percent to the terminal."""
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True)
    shown = -10
    for line in process.stdout:
        sys.stderr.write(line)
        if line.startswith("[") and "%]" in line[:7]:
            percent = int(line[1:line.index("%")].strip() or 0)
            if percent >= shown + 10:
                shown = percent
                minutes = (time.monotonic() - started) / 60
                terminal.say(f"kovra_utils: {percent:3d}% built ({minutes:.1f} min)")
    if process.wait() != 0:
        terminal.say("kovra_utils: the build failed; are the Debian build packages installed?\n"
                     "  sudo apt-get install " + BUILD_PACKAGES)
        raise subprocess.CalledProcessError(process.returncode, command)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        terminal = Terminal()
        jobs = str(os.cpu_count() or 1)
        terminal.say(f"kovra_utils: building the C++ library, its Python module and the kovra tool "
                     f"with CMake (Release, {jobs} jobs) in build-pip/; this usually takes 2 to 5 "
                     "minutes on 2 cores, under a minute when rebuilt with ccache")
        started = time.monotonic()
        build_dir = ROOT / "build-pip"
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                     "-DKOVRA_BUILD_PYTHON=ON", "-DKOVRA_BUILD_TESTS=OFF", "-DKOVRA_BUILD_BENCH=OFF",
                     "-DKOVRA_BUILD_APPS=ON", "-DKOVRA_UNITY_BUILD=ON",
                     "-DPython_EXECUTABLE=" + sys.executable]
        if shutil.which("ccache"):
            configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        env = dict(os.environ)
        env.setdefault("CCACHE_BASEDIR", str(ROOT))
        run_with_progress(configure, env, terminal, started)
        run_with_progress(["cmake", "--build", str(build_dir), "--target", "kovra_python", "kovra",
                           "-j", jobs], env, terminal, started)
        built = next((build_dir / "python" / "kovra_utils").glob("_core*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)
        tool = target.parent / "bin" / "kovra"
        tool.parent.mkdir(exist_ok=True)
        shutil.copy2(build_dir / "apps" / "kovra" / "kovra", tool)
        terminal.say(f"kovra_utils: built in {(time.monotonic() - started) / 60:.1f} min")


setup(
    name="kovra_utils",
    version="0.1.0",
    description="Processing steps for tracking pigs in overhead pen-camera video",
    packages=["kovra_utils"],
    package_dir={"": "python"},
    package_data={"kovra_utils": ["py.typed", "*.pyi"]},
    ext_modules=[Extension("kovra_utils._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    entry_points={"console_scripts": ["kovra = kovra_utils._kovra_tool:main",
                                      "kovra-run = kovra_utils.cli:main"]},
    install_requires=["numpy"],
    python_requires=">=3.9",
    options={"build": {"build_base": "build-pip/setuptools"}},
    zip_safe=False,
)

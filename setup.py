"""pip install --no-build-isolation .  builds the Python package with the project's own CMake.

The compiled module is built in build-pip/ (Release, only the targets the package needs) for the
interpreter that runs pip, so a virtual environment gets a module for its own Python.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = ROOT / "build-pip"
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                     "-DKOVRA_BUILD_PYTHON=ON", "-DKOVRA_BUILD_TESTS=OFF", "-DKOVRA_BUILD_BENCH=OFF",
                     "-DKOVRA_BUILD_APPS=OFF", "-DPython_EXECUTABLE=" + sys.executable]
        if shutil.which("ccache"):
            configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        env = dict(os.environ)
        env.setdefault("CCACHE_BASEDIR", str(ROOT))
        subprocess.run(configure, check=True, env=env)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "kovra_python", "-j",
                        str(os.cpu_count() or 1)], check=True, env=env)
        built = next((build_dir / "python" / "kovra_utils").glob("_core*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    name="kovra_utils",
    version="0.1.0",
    description="Processing steps for tracking pigs in overhead pen-camera video",
    packages=["kovra_utils"],
    package_dir={"": "python"},
    ext_modules=[Extension("kovra_utils._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy"],
    entry_points={"console_scripts": ["kovra-run=kovra_utils.cli:main"]},
    python_requires=">=3.9",
    options={"build": {"build_base": "build-pip/setuptools"}},
    zip_safe=False,
)

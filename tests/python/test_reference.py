"""The package's reference material: the stubs and docs/python.md match the built module, name
every public name, and the stubs type-check the tests and examples."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

import kovra_utils

ROOT = Path(__file__).resolve().parents[2]
GENERATOR = ROOT / "scripts" / "gen-python-reference"
# Listed by a fresh interpreter: submodules other tests import (kovra_utils.cli) are no public names.
PUBLIC = subprocess.run(
    [sys.executable, "-c", "import kovra_utils; print(*(n for n in dir(kovra_utils) if n[0] != '_'))"],
    capture_output=True, text=True, check=True).stdout.split()


def built_dir():
    # PYTHONPATH points at <build>/python.
    return Path(kovra_utils.__file__).resolve().parents[2]


def test_stub_and_reference_page_are_up_to_date():
    result = subprocess.run([sys.executable, str(GENERATOR), str(built_dir()), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def test_reference_page_and_stub_name_every_public_name():
    page = (ROOT / "docs" / "python.md").read_text()
    stub = (ROOT / "python" / "kovra_utils" / "__init__.pyi").read_text()
    titled = set(re.findall(r"^### `(\w+)", page, re.M))
    stubbed = {a or b or c for a, b, c in re.findall(
        r"^(?:def|class) (\w+)|^(\w+):|^from \. import (\w+)", stub, re.M)}
    assert [n for n in PUBLIC if n not in titled] == []
    assert [n for n in PUBLIC if n not in stubbed] == []
    assert (ROOT / "python" / "kovra_utils" / "py.typed").exists()


def test_markdown_code_fences_are_closed():
    for page in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        fences = [line for line in page.read_text().splitlines() if line.startswith("```")]
        assert len(fences) % 2 == 0, page


def test_stubs_type_check_the_tests_and_examples(tmp_path):
    pytest.importorskip("mypy")
    package = built_dir() / "python"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "tests" / "python" / "mypy.ini"),
         "--no-incremental", "--cache-dir", str(tmp_path), str(ROOT / "tests" / "python"),
         str(ROOT / "examples" / "python")],
        capture_output=True, text=True, env={"MYPYPATH": str(package), "PATH": "/usr/bin:/bin"})
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-2000:]

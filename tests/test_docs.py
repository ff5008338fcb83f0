"""The user's guide and the type stub cannot rot: every Python example in the README
runs, and the stub agrees with the built module."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
import zul_mew

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
EXAMPLES = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.M | re.S)


def _title(index):
    # The heading above an example names it in the test report.
    text = README.read_text(encoding="utf-8")
    at = text.index(EXAMPLES[index])
    return re.findall(r"^## (.+)$", text[:at], re.M)[-1].lower().replace(" ", "-")


def test_readme_has_examples():
    assert len(EXAMPLES) >= 6


@pytest.mark.parametrize("index", range(len(EXAMPLES)), ids=_title)
def test_readme_example_runs_and_ends(index, tmp_path):
    # A separate interpreter: an example that leaves a node running never ends,
    # and the time-out catches that.
    script = tmp_path / "example.py"
    script.write_text(EXAMPLES[index], encoding="utf-8")
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr


def _stub_search_path():
    # A source tree checks its own stub; an installed module carries its stub package.
    env = dict(os.environ)
    if (ROOT / "zul_mew.pyi").exists():
        env["MYPYPATH"] = str(ROOT)
    return env


@pytest.mark.skipif(
    sys.version_info < (3, 10),
    reason="the last mypy for Python 3.9 takes threading.Lock for a class, which it is from 3.13 on",
)
def test_stub_matches_the_module():
    pytest.importorskip("mypy")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zul_mew"],
        capture_output=True,
        text=True,
        timeout=300,
        env=_stub_search_path(),
        cwd=ROOT,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_installed_stub_types_host_code(tmp_path):
    pytest.importorskip("mypy")
    installed = Path(zul_mew.__file__).parent
    if not (installed / "zul_mew-stubs" / "__init__.pyi").exists():
        pytest.skip("zul_mew is not installed from a wheel here")
    host = tmp_path / "host.py"
    host.write_text(
        "from zul_mew import MewStatic, MewMaster\n"
        "crc: int = MewStatic.calc_crc('abc')\n"
        "wrong: str = MewStatic.parse_station('%01#')\n"
        "def read(m: MewMaster) -> list[int]:\n"
        "    return m.get_multi_uint16(1, 'DT0', 2)\n",
        encoding="utf-8",
    )
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", str(host)],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
    )
    # Exactly the one deliberate mistake: the stub was found and read.
    assert "host.py:3: error: Incompatible types" in done.stdout
    assert "Found 1 error" in done.stdout, done.stdout

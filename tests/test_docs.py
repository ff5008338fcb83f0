"""The user's guide, the site and the type stub cannot rot: every Python example
of the README and of the site's pages runs and passes a strict type check, the
stub agrees with the built module, and every public member of the stub says
what it does, in precise types."""

import ast
import doctest
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import zul_mew
import zul_mew_tools

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
STUB = ROOT / "zul_mew.pyi"
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]


def _examples():
    # The heading above an example names it in the test report.
    found = {}
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        for match in re.finditer(r"^```python\n(.*?)^```", text, re.M | re.S):
            heading = re.findall(r"^#+ (.+)$", text[: match.start()], re.M)[-1]
            name = heading.lower().replace(" ", "-")
            if page != README:
                name = f"{page.stem}:{name}"
            found[name if name not in found else f"{name}-{len(found)}"] = match.group(1)
    return found


EXAMPLES = _examples()


def test_ci_runs_the_readmes_test_command():
    # A reader runs the tests as the README says; CI must run the same.
    section = README.read_text(encoding="utf-8").split("## Run the tests", 1)[1]
    command = re.search(r"```sh\n(.*?)\n```", section, re.S).group(1)
    install, test = (step.strip().replace("python3", "python") for step in command.split("&&"))
    ci = (ROOT / ".ci" / "run").read_text(encoding="utf-8")
    assert install.replace("install", "install --quiet") in ci
    assert re.search(rf"^{re.escape(test)}$", ci, re.M)


# Every example runs as on Windows, where there are no pseudo-terminals: the
# terminal modules the virtual cable needs do not exist there.
WITHOUT_PTYS = "import sys; sys.modules['tty'] = None\n"


@pytest.mark.parametrize("code", EXAMPLES.values(), ids=EXAMPLES)
def test_example_runs_and_ends_on_every_platform(code, tmp_path):
    # A separate interpreter: an example that leaves a node running never ends,
    # and the time-out catches that.
    script = tmp_path / "example.py"
    script.write_text(WITHOUT_PTYS + code, encoding="utf-8")
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr


def _stub_search_path():
    # A source tree checks its own stub, and its companion package when that is
    # the one imported; an installed module carries its stub package and the
    # package beside it.
    env = dict(os.environ)
    if (ROOT / "zul_mew.pyi").exists():
        paths = [str(ROOT)]
        if Path(zul_mew_tools.__file__).resolve().is_relative_to(ROOT / "python"):
            paths.append(str(ROOT / "python"))
        env["MYPYPATH"] = os.pathsep.join(paths)
    return env


@pytest.mark.skipif(
    sys.version_info < (3, 10),
    reason="the last mypy for Python 3.9 takes threading.Lock for a class (a class from 3.13 on)",
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
    assert not (installed / "zul_mew.pyi").exists()  # the stub ships once
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


def _public(name):
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


def _stub_members(body, prefix=""):
    """(qualified name, docstring or None) of every class, and of every public
    function and annotated attribute, of a stub body."""
    for at, node in enumerate(body):
        following = body[at + 1] if at + 1 < len(body) else None
        if isinstance(node, ast.ClassDef):
            yield prefix + node.name, ast.get_docstring(node)
            yield from _stub_members(node.body, f"{prefix}{node.name}.")
        elif isinstance(node, ast.FunctionDef) and _public(node.name):
            yield prefix + node.name, ast.get_docstring(node)
        elif isinstance(node, ast.AnnAssign) and _public(node.target.id):
            documented = (
                isinstance(following, ast.Expr)
                and isinstance(following.value, ast.Constant)
                and isinstance(following.value.value, str)
            )
            yield prefix + node.target.id, following.value.value if documented else None


STUB_TREE = ast.parse(STUB.read_text(encoding="utf-8"))
STUB_DOCS = list(_stub_members(STUB_TREE.body))


# Examples in the stub's docstrings that need a line are type-checked, not run.
STUB_EXAMPLES = {
    name: "from zul_mew import *\n\n" + textwrap.dedent(code)
    for name, doc in STUB_DOCS
    for _, code in re.findall(r"^( *)```python\n(.*?)^\1```", doc or "", re.M | re.S)
}


def test_examples_pass_a_strict_type_check(tmp_path):
    pytest.importorskip("mypy")
    files = [str(path) for path in sorted((ROOT / "examples").glob("*.py"))]
    examples = {**EXAMPLES, **STUB_EXAMPLES}
    for index, code in enumerate(examples.values()):
        script = tmp_path / f"example_{index}.py"
        script.write_text(code, encoding="utf-8")
        files.append(str(script))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *files],
        capture_output=True,
        text=True,
        timeout=300,
        env=_stub_search_path(),
        cwd=tmp_path,
    )
    names = {f"example_{i}.py": name for i, name in enumerate(examples)}
    report = re.sub(r"example_\d+\.py", lambda m: names[m.group()], done.stdout)
    assert done.returncode == 0, report


def test_every_public_member_of_the_stub_has_a_docstring():
    assert ast.get_docstring(STUB_TREE)
    assert [name for name, doc in STUB_DOCS if not doc] == []


def test_the_stub_spells_no_any():
    # Every type of the module is known; an Any would hide a caller's mistake.
    spelt = [
        node.lineno
        for node in ast.walk(STUB_TREE)
        if (isinstance(node, ast.Name) and node.id == "Any")
        or (isinstance(node, ast.Attribute) and node.attr == "Any")
    ]
    assert spelt == []


DOCTESTS = {name: doc for name, doc in STUB_DOCS if doc and ">>>" in doc}


@pytest.mark.parametrize("doc", DOCTESTS.values(), ids=DOCTESTS)
def test_stub_docstring_examples_hold(doc):
    test = doctest.DocTestParser().get_doctest(doc, vars(zul_mew).copy(), "stub", None, 0)
    output = []
    result = doctest.DocTestRunner().run(test, out=output.append)
    assert result.failed == 0, "".join(output)


def test_site_builds_and_shows_every_example_as_code(tmp_path):
    # The site's tools are the docs extra; tools/docs.sh checks the pages it built.
    for tool in ("mkdocs", "mkdocstrings_handlers", "pymdownx"):
        pytest.importorskip(tool)
    done = subprocess.run(
        ["bash", str(ROOT / "tools" / "docs.sh"), str(tmp_path / "site")],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=ROOT,
    )
    assert done.returncode == 0, done.stdout + done.stderr

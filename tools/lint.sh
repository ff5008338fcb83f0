#!/usr/bin/env bash
# The checks that take a minute, before the ones that take half an hour: ruff's
# lint and format over the Python, clang-format over the C++, and mypy --strict
# over the companion package against the module's stub. The extension itself
# is not needed. Installs the `lint` extra, and the packages the companion
# package is typed against, into the current interpreter when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 - <<'PY'
import importlib.util, shutil, subprocess, sys
try:
    import tomllib
except ModuleNotFoundError:
    import tomli as tomllib
wanted = ("ruff", "clang_format", "mypy", "serial", "textual", "textual_serve", "paho")
if not all(importlib.util.find_spec(name) for name in wanted):
    with open("pyproject.toml", "rb") as f:
        project = tomllib.load(f)["project"]
    extras = project["optional-dependencies"]
    tools = [*project["dependencies"], *extras["lint"], *extras["board"], *extras["mqtt"]]
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", *tools], check=True)
PY

python_files=(python tests bench tools examples noxfile.py)
python3 -m ruff check "${python_files[@]}"
python3 -m ruff format --check "${python_files[@]}"
git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run -Werror
MYPYPATH=$PWD:$PWD/python python3 -m mypy --strict python/zul_mew_tools

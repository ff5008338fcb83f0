#!/usr/bin/env bash
# Builds the documentation site into `site` (or the directory given) with every
# warning an error, then checks that the API pages show every class of the
# stub and every example as code (tools/check_site.py). The site is made from the README's sections, the pages in docs/ and
# the type stub; the built module is not needed. Installs the tools of the
# `docs` extra into the current interpreter when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
site=${1:-site}

python3 - <<'PY'
import importlib.util, subprocess, sys
try:
    import tomllib
except ModuleNotFoundError:  # before 3.11 the extra is installed with the package
    tomllib = None
if not all(importlib.util.find_spec(m) for m in ("mkdocs", "mkdocstrings_handlers", "pymdownx")):
    if tomllib is None:
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", ".[docs]"], check=True)
    else:
        with open("pyproject.toml", "rb") as f:
            tools = tomllib.load(f)["project"]["optional-dependencies"]["docs"]
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", *tools], check=True)
PY

# The reference reads the stub as the stub-only package the wheel also ships.
mkdir -p build-docs/zul_mew-stubs
cp zul_mew.pyi build-docs/zul_mew-stubs/__init__.pyi
python3 -m mkdocs build --strict --quiet --site-dir "$site"

# A class the reference leaves out is a class nobody finds; an example shown
# as a quotation is one nobody can read.
python3 tools/check_site.py "$site"

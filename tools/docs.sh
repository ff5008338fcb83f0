#!/usr/bin/env bash
# Builds the documentation site into `site` (or the directory given) with every
# warning an error, then checks that the API page shows every class of the
# stub. The site is made from the README's sections, the pages in docs/ and
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

# A class the reference leaves out is a class nobody finds.
python3 - "$site/api/index.html" <<'PY'
import ast, sys
page = open(sys.argv[1], encoding="utf-8").read()
with open("zul_mew.pyi", encoding="utf-8") as f:
    classes = [n.name for n in ast.parse(f.read()).body if isinstance(n, ast.ClassDef)]
missing = [name for name in classes if f'id="zul_mew.{name}"' not in page]
if missing:
    sys.exit("API page lacks: " + ", ".join(missing))
PY

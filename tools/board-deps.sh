#!/usr/bin/env bash
# What the board's tests need beyond the test extra: the board extra's packages
# in the active environment (without building the extension again) and the
# browser the served board is opened in.
set -euo pipefail
cd "$(dirname "$0")/.."
python - <<'PY' | xargs python -m pip install --quiet
import tomllib

with open("pyproject.toml", "rb") as project:
    print("\n".join(tomllib.load(project)["project"]["optional-dependencies"]["board"]))
PY
if ! command -v chromium >/dev/null; then
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q chromium \
        || echo "board-deps: chromium did not install; the browser test will be skipped" >&2
fi

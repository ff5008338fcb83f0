#!/usr/bin/env bash
# What the bridge's tests need beyond the test extra: the mqtt extra's packages
# in the active environment (without building the extension again), and the
# broker they run against, Mosquitto, with its clients (mosquitto_passwd makes
# the TLS test's user).
set -euo pipefail
cd "$(dirname "$0")/.."
python - <<'PY' | xargs python -m pip install --quiet
import tomllib

with open("pyproject.toml", "rb") as project:
    print("\n".join(tomllib.load(project)["project"]["optional-dependencies"]["mqtt"]))
PY
if ! command -v mosquitto >/dev/null && [ ! -x /usr/sbin/mosquitto ]; then
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        mosquitto mosquitto-clients \
        || echo "bridge-deps: mosquitto did not install; the bridge's tests will be skipped" >&2
fi

#!/usr/bin/env bash
# Builds and installs the _orlim extension into the current Python environment.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python3 -m pip install -q --no-build-isolation .

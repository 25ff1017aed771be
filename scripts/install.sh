#!/usr/bin/env bash
# Builds and installs orlim (the _orlim extension and the orlim package) into the current Python
# environment. Needs only a C++ compiler: pip builds in an isolated environment, and oneTBB and
# OpenBLAS come from PyPI packages (no root, no system packages).
#   bash scripts/install.sh          # the package alone
#   bash scripts/install.sh all      # with extras: sklearn, umap, progress, bench or all
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install -q ".${1:+[$1]}"

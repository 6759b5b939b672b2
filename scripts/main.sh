#!/usr/bin/env bash
# Builds and installs the module, then runs the quickstart example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python3 -m pip install -q .
python3 examples/quickstart.py

#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html: every warning is an error, and every
# example script of the gallery runs. Needs the installed package with the [docs] extra.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m sphinx -W --keep-going -q -b html docs docs/_build/html
echo "docs/_build/html/index.html"

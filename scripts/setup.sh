#!/usr/bin/env bash
# Installs the system packages the build and the tests need (Debian): Eigen 3.4, GoogleTest,
# Google Benchmark, valgrind, Chromium (the documentation's check in a headless browser) and MathJax
# (the formulas of the documentation, served with it).
# Packages already present are left alone.
set -euo pipefail
packages=(libeigen3-dev libgtest-dev libbenchmark-dev valgrind chromium libjs-mathjax)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

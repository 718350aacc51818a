#!/usr/bin/env bash
# Installs what a fresh machine lacks: Debian packages (when run as root), a project virtual
# environment in .venv with the Python tools, and (through CMake, at configure time) the pinned
# USearch headers. Safe to run again: it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libpcre2-dev
                 nlohmann-json3-dev npm python3-venv)

missing=()
for pkg in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  # A tool that is already on the PATH (npm from a Node.js install, python3-venv from pyenv)
  # need not come from Debian.
  still=()
  for pkg in "${missing[@]}"; do
    case "$pkg" in
      npm) command -v npm >/dev/null 2>&1 || still+=("$pkg") ;;
      python3-venv) python3 -c 'import venv, ensurepip' 2>/dev/null || still+=("$pkg") ;;
      *) still+=("$pkg") ;;
    esac
  done
  if [ ${#still[@]} -gt 0 ]; then
    if [ "$(id -u)" = "0" ] && command -v apt-get >/dev/null 2>&1; then
      echo "Installing Debian packages: ${still[*]}"
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${still[@]}" >/dev/null
    else
      echo "Missing Debian packages (install them as root): ${still[*]}" >&2
      exit 1
    fi
  fi
fi

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PYTHON" -m venv .venv
fi
if ! .venv/bin/python -c 'import pytest, numpy, scikit_build_core, hypothesis' 2>/dev/null; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q "scikit-build-core>=0.10" "pytest>=7" numpy hypothesis
fi

# The reliability harness's fuzz targets need clang (libFuzzer); only CI runs them.
if [ "${CI:-}" = "true" ] && ! command -v clang++ >/dev/null 2>&1 && [ "$(id -u)" = "0" ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi

#!/usr/bin/env bash
# Installs everything the build, the tests, the sanitizers and the fuzzers
# need on a fresh Debian machine with Python 3.10+. Safe to run again: it
# skips what is already there.
set -euo pipefail

apt_packages=(cmake ninja-build g++ clang libclang-rt-14-dev llvm libgtest-dev unicode-data redis-server postgresql valgrind nodejs debootstrap)
missing=()
for package in "${apt_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

# pyright's wheel carries the checker itself and runs it on Debian's node:
# nothing is fetched when it first runs.
python3 -m pip install -q --upgrade \
  "scikit-build-core>=0.10" "cmake>=3.26" ninja build abi3audit wheel "auditwheel==6.8.2" "ziglang==0.17.0" \
  pytest hypothesis msgpack "mypy==2.4.1" "pyright==1.1.414" "ruff==0.17.6" "clang-format==23.1.5" redis \
  "psycopg[binary,pool]>=3.1" "greenlet>=3" "langgraph-checkpoint>=4.3,<5" "langgraph>=1.0" langgraph-checkpoint-conformance

# The peers bench/ measures against, and the plotting its pictures need.
python3 -m pip install -q --upgrade \
  ormsgpack msgspec simpleeval langgraph-checkpoint-sqlite langgraph-checkpoint-plainredis \
  langgraph-checkpoint-postgres matplotlib

#!/usr/bin/env bash
# The wheel for PyPI, built from the sdist:
#   tools/build-wheel.sh [OUT_DIR]        (default: dist)
#
# The machine's own toolchain links against its glibc and libstdc++, so its
# wheels install only where both are as new (Debian 12: glibc 2.34,
# GLIBCXX 3.4.29). This builds with zig's clang instead (the ziglang
# package): it targets an older glibc's symbols and links its own C++
# runtime statically, so the extension needs nothing newer than
# `glibc` below and no libstdc++ at all. The wheel is tagged manylinux for
# that glibc, and auditwheel must agree that it is, with nothing to graft.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
glibc=2.26  # Amazon Linux 2; RHEL 8, Debian 11 and Ubuntu 20.04 are newer
arch=$(uname -m)

zig=$(python3 -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
toolchain=$PWD/build/zig-toolchain
mkdir -p "$toolchain"
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" %s -target %s-linux-gnu.%s "$@"\n' "$zig" "$tool" "$arch" "$glibc" >"$toolchain/$tool"
  chmod +x "$toolchain/$tool"
done

scratch=build/pypi-wheel
rm -rf "$scratch"
mkdir -p "$scratch" "$out"
python3 -m build --sdist --outdir "$scratch/sdist" . >/dev/null
CC=$toolchain/cc CXX=$toolchain/c++ python3 -m pip wheel --no-deps --no-build-isolation -q \
  -C build-dir="$PWD/build/pypi-wheel-build" -w "$scratch/raw" "$scratch"/sdist/*.tar.gz
tag=manylinux_${glibc/./_}_$arch
python3 -m wheel tags --remove --platform-tag "$tag" "$scratch"/raw/*.whl >/dev/null
report=$(python3 -m auditwheel show "$scratch"/raw/*"$tag".whl)
# The oldest glibc auditwheel finds the wheel consistent with must be ours or older.
found=$(grep -o 'platform tag: *"manylinux_[0-9]*_[0-9]*' <<<"$report" | head -1 | grep -o '[0-9]*_[0-9]*$' || true)
if [[ -z $found ]] || grep -q "external shared libraries" <<<"$report" ||
  ! python3 -c 'import sys; a, b = (tuple(map(int, v.split("_"))) for v in sys.argv[1:]); sys.exit(a > b)' \
    "$found" "${glibc/./_}"; then
  echo "$report" >&2
  echo "the wheel is not $tag or older, or needs a library grafted" >&2
  exit 1
fi
echo "auditwheel: manylinux_$found"
cp "$scratch"/raw/*"$tag".whl "$out"/
cp "$scratch"/sdist/*.tar.gz "$out"/
ls "$out"

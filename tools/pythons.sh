#!/usr/bin/env bash
# The interpreters the package is tested on, and the suite run on each of them
# with one and the same abi3 wheel:
#   tools/pythons.sh make [LABEL...]   make what is missing (every label by default)
#   tools/pythons.sh test [LABEL...]   build the wheel once, then run the suite on each
#                                      (PYTHONS_WHEEL=FILE: that wheel instead)
#   tools/pythons.sh list              the labels, and what each stands for on this machine
# LABEL: 3.X is the image's pyenv build where it has one, else Debian
# unstable's; sid-3.X is always Debian unstable's; 3.13t is CPython 3.13 built
# free-threaded from Debian unstable's python3.13 source package.
#
# Debian unstable lives in a root of its own, build/pythons/sid, made by
# debootstrap and entered with chroot through tools/pythons-chroot.sh: its
# interpreters, their venvs and the redis-server the suite starts are inside.
# Idempotent: each step leaves a stamp in the root, and a second `make` does
# nothing. Bounded: every step that reaches the network, the interpreter build
# and each suite run are under `timeout`. Run as root (debootstrap, mount).
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
dir=$checkout/build/pythons
root=$dir/sid
logs=$dir/logs
stamps=$root/var/lib/derirezaro-pythons
mirror=${PYTHONS_MIRROR:-http://deb.debian.org/debian}
sid_versions=(3.13 3.14 3.15)
pyenv_versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
suite_seconds=${PYTHONS_SUITE_SECONDS:-3600}
in_root=("$checkout/tools/pythons-chroot.sh" "$root")
pip_env=(PIP_DISABLE_PIP_VERSION_CHECK=1 SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt
  PIP_CERT=/etc/ssl/certs/ca-certificates.crt)
suite_env=(DERIREZARO_REQUIRE_REDIS=1 DERIREZARO_REQUIRE_POSTGRES=1 PYTHONDONTWRITEBYTECODE=1)

die() {
  echo "pythons.sh: $*" >&2
  exit 1
}

step() { # step NAME SECONDS COMMAND...: COMMAND under a time limit, its output in logs/NAME.log
  local name=$1 seconds=$2 start=$SECONDS status=0
  shift 2
  printf '=== %s ... ' "$name"
  timeout -k 30 "$seconds" "$@" >"$logs/$name.log" 2>&1 || status=$?
  printf '%ss\n' $((SECONDS - start))
  ((status == 0)) && return 0
  tail -n 15 "$logs/$name.log" | sed 's/^/    /' >&2
  ((status != 124)) || echo "    over its limit of ${seconds}s" >&2
  echo "    $name failed (exit $status), log: $logs/$name.log" >&2
  return "$status"
}

pyenv_python() { # the newest pyenv build of 3.X, if the image has one
  local found
  found=$(printf '%s\n' "$pyenv_versions/$1".* | grep -E "/${1//./\\.}\\.[0-9]+\$" | sort -V | tail -n 1) ||
    true
  [[ -n $found && -x $found/bin/python3 ]] && echo "$found/bin/python3"
}

canonical() { # a label as given -> sid-3.X, 3.13t, or 3.X for a pyenv build
  case $1 in
    3.13t | sid-3.*) echo "$1" ;;
    *) if pyenv_python "$1" >/dev/null; then echo "$1"; else echo "sid-$1"; fi ;;
  esac
}

every_label() {
  local found
  for found in "$pyenv_versions"/3.*; do
    if [[ $(basename "$found") =~ ^3\.([0-9]+)\.[0-9]+$ ]] && ((BASH_REMATCH[1] >= 10)); then
      echo "3.${BASH_REMATCH[1]}"
    fi
  done | sort -uV
  printf 'sid-%s\n' "${sid_versions[@]}"
  echo 3.13t
}

# The files the root takes from this machine: name resolution, and the CA
# bundle (with this machine's own CAs, without which pip fails TLS checks).
sync_host_files() {
  cp /etc/resolv.conf /etc/hosts "$root/etc/"
  mkdir -p "$root/usr/local/share/ca-certificates" "$root/etc/ssl/certs"
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
}

updated=""
apt_update() { # once per run, and only when something is to be installed
  [[ -n $updated ]] && return 0
  sync_host_files
  step apt-update 600 "${in_root[@]}" apt-get -q update
  updated=yes
}

apt_install() { # apt_install NAME PACKAGE...
  local name=$1
  shift
  apt_update
  step "$name" 1800 "${in_root[@]}" apt-get -q -y install "$@"
}

in_sid() { "${in_root[@]}" apt-cache show --no-all-versions "$1" >/dev/null 2>&1; }

root_packages=(ca-certificates redis-server postgresql build-essential pkg-config dpkg-dev)

make_root() {
  if [[ -e $stamps/root ]]; then # a root made before a package joined the list gets it now
    local package missing=()
    for package in "${root_packages[@]}"; do
      "${in_root[@]}" dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    ((${#missing[@]} == 0)) || apt_install root-packages "${missing[@]}"
    return 0
  fi
  if [[ -e $root ]]; then # what a debootstrap that did not finish left
    ! grep -q " ${root}[/ ]" /proc/self/mounts || die "something is mounted under $root: unmount it first"
    rm -rf --one-file-system "$root"
  fi
  mkdir -p "$root"
  step debootstrap 1800 unshare --mount --propagation private -- \
    debootstrap --variant=minbase sid "$root" "$mirror"
  # apt-get source needs the deb-src line; a snapshot's Release may be past Valid-Until.
  printf 'deb %s sid main\ndeb-src %s sid main\n' "$mirror" "$mirror" >"$root/etc/apt/sources.list"
  cat >"$root/etc/apt/apt.conf.d/90pythons" <<'CONF'
Acquire::Check-Valid-Until "false";
Acquire::Retries "3";
APT::Install-Recommends "false";
CONF
  # No service starts inside the root: the suite starts its own redis-server and PostgreSQL.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod +x "$root/usr/sbin/policy-rc.d"
  apt_install root-packages "${root_packages[@]}"
  mkdir -p "$stamps"
  touch "$stamps/root"
}

make_sid() { # make_sid 3.X: the interpreter with venv and headers (for the packages that build from source)
  local version=$1 wanted=() package
  [[ -e $stamps/sid-$version ]] && return 0
  # sid lacked it when last asked: asked again once a day, not on every run.
  if [[ -n $(find "$stamps/sid-$version-absent" -mtime -1 2>/dev/null) ]]; then
    echo "    sid had no python$version when last asked, less than a day ago"
    return 0
  fi
  make_root
  apt_update
  for package in "python$version" "python$version-venv" "python$version-dev"; do
    if in_sid "$package"; then wanted+=("$package"); else echo "    sid has no $package"; fi
  done
  if [[ ${wanted[0]-} != "python$version" ]]; then
    touch "$stamps/sid-$version-absent"
    return 0
  fi
  apt_install "sid-$version" "${wanted[@]}"
  touch "$stamps/sid-$version"
}

make_free_threaded() {
  [[ -e $stamps/3.13t ]] && return 0
  make_root
  apt_install 3.13t-build-deps libssl-dev zlib1g-dev libffi-dev libsqlite3-dev libbz2-dev liblzma-dev \
    libexpat1-dev libmpdec-dev uuid-dev
  # The newest source the mirror serves: an index may name a version whose files
  # the mirror no longer (or does not yet) hold, so each listed one is tried in turn.
  local versions version fetched=""
  versions=$("${in_root[@]}" apt-cache showsrc python3.13 | sed -n 's/^Version: //p' | sort -urV)
  for version in $versions; do
    if step "3.13t-source-$version" 900 "${in_root[@]}" sh -ec \
      'rm -rf /usr/src/python3.13t && mkdir -p /usr/src/python3.13t && cd /usr/src/python3.13t
       apt-get -q source --download-only "python3.13=$1"' source "$version"; then
      fetched=$version
      break
    fi
  done
  [[ -n $fetched ]] ||
    die "3.13t: no python3.13 source package from $mirror (a mirror that serves sources: PYTHONS_MIRROR=...)"
  # Upstream's tarball inside the source package, without Debian's patches:
  # they turn off ensurepip, which venv needs.
  step 3.13t-build 3600 "${in_root[@]}" sh -ec \
    'cd /usr/src/python3.13t && tar -xf python3.13_*.orig.tar.xz && cd Python-3.13.*/ && mkdir build && cd build
     ../configure -q --prefix=/opt/python3.13t --disable-gil --disable-test-modules
     make -s -j "$(nproc)" && make -s install'
  "${in_root[@]}" /opt/python3.13t/bin/python3.13t -c 'import sys; sys.exit(sys._is_gil_enabled())' ||
    die "the 3.13t build runs with the GIL"
  touch "$stamps/3.13t"
}

make_label() {
  case $1 in
    sid-*) make_sid "${1#sid-}" ;;
    3.13t) make_free_threaded ;;
    *) pyenv_python "$1" >/dev/null || die "no pyenv build of $1" ;;
  esac
}

# The wheel's own list of what its tests need: the `test` extra in its metadata.
test_requirements() {
  python3 - "$1" <<'PY'
import email, sys, zipfile

wheel = zipfile.ZipFile(sys.argv[1])
metadata = next(name for name in wheel.namelist() if name.endswith(".dist-info/METADATA"))
for requirement in email.message_from_bytes(wheel.read(metadata)).get_all("Requires-Dist"):
    name, _, marker = requirement.partition(";")
    if 'extra == "test"' in marker:
        print(name.strip())
PY
}

build_wheel() {
  rm -rf "$dir/wheel"
  if [[ -n ${PYTHONS_WHEEL:-} ]]; then  # a wheel already built: the one for PyPI, say
    mkdir -p "$dir/wheel" && cp "$PYTHONS_WHEEL" "$dir/wheel/"
  else
    # The build directory is this script's own, so that no other build's cache leaks into the wheel.
    step wheel 1800 env -u PYTHONPATH python3 -m pip wheel . --no-deps --no-build-isolation \
      -C build-dir=build/pythons/wheel-build -w "$dir/wheel"
  fi
  wheel=$(echo "$dir"/wheel/derirezaro-*-abi3-*.whl)
  [[ -f $wheel ]] || die "no abi3 wheel in $dir/wheel"
  mapfile -t requirements < <(test_requirements "$wheel")
}

results=()
# test_label LABEL EXPLICIT: a venv with the wheel and the test requirements, then the suite run on it.
# Called as a condition, where `set -e` holds no more: each step says itself how it failed.
test_label() {
  local label=$1 explicit=$2 run python venv wheel_at tests_at missing=() requirement name status=0 summary start
  case $label in
    3.13t)
      if [[ ! -e $stamps/3.13t ]]; then
        results+=("3.13t: unavailable: not made here (tools/pythons.sh make 3.13t)")
        return "$explicit"
      fi
      # pip refuses the abi3 wheel here (no stable ABI without the GIL): the
      # version-specific one is built in the root from a copy of the checkout.
      python=/opt/python3.13t/bin/python3.13t venv=/opt/venv/3.13t tests_at=/src/tests
      run=("${in_root[@]}" "${pip_env[@]}" "HYPOTHESIS_STORAGE_DIRECTORY=/var/tmp/hypothesis/$label" PYTHON_GIL=0)
      sync_host_files
      make_root
      step 3.13t-wheel 1800 "${run[@]}" sh -ec \
        'rm -rf /var/tmp/ft && mkdir -p /var/tmp/ft/src /var/tmp/ft/wheel
         tar -C /src --exclude=./build --exclude=./.git -cf - . | tar -C /var/tmp/ft/src -xf -
         "$1" -m pip wheel -q --no-deps -w /var/tmp/ft/wheel /var/tmp/ft/src' wheel "$python" ||
        { results+=("3.13t: the version-specific wheel does not build"); return 1; }
      wheel_at=$(cd "$root" && echo var/tmp/ft/wheel/derirezaro-*-cp313-cp313t-*.whl)
      wheel_at=/$wheel_at
      ;;
    sid-*)
      python=/usr/bin/python${label#sid-} venv=/opt/venv/$label tests_at=/src/tests
      wheel_at=/src/build/pythons/wheel/$(basename "$wheel")
      run=("${in_root[@]}" "${pip_env[@]}" "HYPOTHESIS_STORAGE_DIRECTORY=/var/tmp/hypothesis/$label")
      if [[ ! -x $root$python ]]; then
        results+=("$label: unavailable: sid has no python${label#sid-}")
        return "$explicit"
      fi
      sync_host_files
      make_root
      ;;
    *)
      python=$(pyenv_python "$label") venv=$dir/venv/$label wheel_at=$wheel tests_at=$checkout/tests
      run=(env -u PYTHONPATH HYPOTHESIS_STORAGE_DIRECTORY="$dir/hypothesis/$label")
      ;;
  esac
  step "$label-venv" 300 "${run[@]}" sh -ec '[ -x "$2/bin/python" ] || "$1" -m venv --clear "$2"' \
    venv "$python" "$venv" || { results+=("$label: no venv"); return 1; }
  local py=("${run[@]}" "$venv/bin/python")
  if ! step "$label-requirements" 1800 "${py[@]}" -m pip install -q "${requirements[@]}"; then
    # Which of them cannot be had here. One whose newest release builds only
    # from source (with a toolchain fetched from the network, as Rust is) may
    # have an older release with a wheel for this interpreter.
    for requirement in "${requirements[@]}"; do
      name=${requirement%%[<>=!~ ;]*}
      step "$label-requirement-$name" 900 "${py[@]}" -m pip install -q "$requirement" ||
        step "$label-requirement-$name-wheel" 900 "${py[@]}" -m pip install -q --only-binary=:all: \
          "$requirement" ||
        missing+=("$requirement")
    done
  fi
  step "$label-wheel" 300 "${py[@]}" -m pip install -q --force-reinstall --no-deps "$wheel_at" ||
    { results+=("$label: the wheel does not install"); return 1; }
  # The suite must import the installed wheel, never the source tree.
  "${py[@]}" -c "import derirezaro._core as c, sys; sys.exit('$venv/' not in c.__file__)" ||
    { results+=("$label: derirezaro is not imported from $venv"); return 1; }
  # Where LangGraph installs, its tests must run; the free-threaded build has no wheel of its ormsgpack.
  [[ $label == 3.13t ]] || run+=(DERIREZARO_REQUIRE_LANGGRAPH=1)
  printf '=== %s suite\n' "$label"
  start=$SECONDS
  timeout -k 30 "$suite_seconds" "${run[@]}" "${suite_env[@]}" sh -c 'cd "$1" && shift && exec "$@"' suite \
    "$tests_at" "$venv/bin/python" -m pytest -q -rfEs -p no:cacheprovider --continue-on-collection-errors \
    2>&1 | tee "$logs/$label-suite.log" || status=$?
  summary=$(grep -E '^[0-9]+ (passed|failed|errors?|skipped)|no tests ran' "$logs/$label-suite.log" | tail -n1)
  ((status != 124)) || { echo; summary="over its limit of ${suite_seconds}s"; }
  summary="$("${py[@]}" -c 'import platform; print(platform.python_version())'): ${summary:-no summary}"
  ((${#missing[@]} == 0)) || summary+="; not installed: ${missing[*]}"
  results+=("$label: $summary ($((SECONDS - start))s)")
  return $((status != 0))
}

[[ $(id -u) -eq 0 ]] || die "run as root (debootstrap, mount, chroot)"
mkdir -p "$logs"
exec 9>"$dir/lock"
flock -w 3600 9 || die "another pythons.sh still runs here"

command=${1-}
shift || true
explicit=1
if (($# == 0)); then
  mapfile -t labels < <(every_label)
  explicit=0
else
  labels=()
  for label in "$@"; do
    [[ $label =~ ^(sid-)?3\.[0-9]+$|^3\.13t$ ]] || die "unknown label $label (3.X, sid-3.X or 3.13t)"
    labels+=("$(canonical "$label")")
  done
fi

case $command in
  list)
    for label in "${labels[@]}"; do
      case $label in
        sid-*) where="Debian unstable's /usr/bin/python${label#sid-} in $root" ;;
        3.13t) where="free-threaded, /opt/python3.13t in $root" ;;
        *) where=$(pyenv_python "$label") ;;
      esac
      echo "$label: $where"
    done
    ;;
  make)
    for label in "${labels[@]}"; do make_label "$label"; done
    ;;
  test)
    for label in "${labels[@]}"; do make_label "$label"; done
    build_wheel
    failed=0
    for label in "${labels[@]}"; do test_label "$label" "$explicit" || failed=1; done
    printf '\n=== the suite on each interpreter, with %s (3.13t: its own build of the same source)\n' \
      "$(basename "$wheel")"
    printf '%s\n' "${results[@]}"
    exit "$failed"
    ;;
  *) die "usage: tools/pythons.sh make|test|list [LABEL...]" ;;
esac

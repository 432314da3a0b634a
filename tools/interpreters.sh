#!/usr/bin/env bash
# Makes, or brings up to date, the interpreters velkor is tested on beyond the machine's own: a
# Debian sid chroot with CPython 3.13 and 3.14 from sid's packages, a free-threaded CPython 3.14t
# built there from CPython's source tarball, and a virtual environment for each holding every test
# requirement that has a binary wheel for it. Only Debian's configured mirror and PyPI are used.
#
#   tools/interpreters.sh [--root DIR] [--toolchains DIR]
#
#   --root DIR        the chroot (default /srv/sid, or $VELKOR_CHROOT); an existing one is adopted
#   --toolchains DIR  where cpython-3.14.*.tar.xz is (or $VELKOR_TOOLCHAINS); needed only while the
#                     free-threaded interpreter is not built yet, or to rebuild it from a newer tarball
#
# Run as root (debootstrap, mounts, chroot). Every step checks first whether it has anything to do,
# so a second run takes seconds; the mounts are made again when missing (a reboot drops them).
# Left in the chroot:
#   /opt/py314t                      the free-threaded interpreter (bin/python3.14t)
#   /opt/venvs/{py313,py314,py314t}  one environment per interpreter, and in each
#     velkor-requirements.txt        the requirements it was filled from (its step's marker)
#     velkor-missing.txt             the requirements without a wheel there: name, tab, pip's reason
#   /opt/eigen34                     Eigen 3.4 headers from the host's libeigen3-dev (sid has Eigen 5),
#                                    for CMake builds outside a venv: -DEigen3_DIR=/opt/eigen34/share/eigen3/cmake
#   /var/cache/ccache                the compiler cache of builds in the chroot (tools/chroot_suite.sh)
set -euo pipefail

ROOT=${VELKOR_CHROOT:-/srv/sid}
TOOLCHAINS=${VELKOR_TOOLCHAINS:-}
while [ $# -gt 0 ]; do
  case "$1" in
    --root) ROOT=$2; shift 2 ;;
    --toolchains) TOOLCHAINS=$2; shift 2 ;;
    -h | --help) sed -n '2,23p' "$0"; exit 0 ;;
    *) echo "interpreters.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
ROOT=${ROOT%/}
PROJECT=$(cd "$(dirname "$0")/.." && pwd)

# what the chroot needs: the interpreters, a compiler and the build tools, the compiler cache, and
# what CPython's configure looks for to build every standard module of the free-threaded interpreter
PACKAGES="python3.14 python3.14-dev python3.14-venv python3.13 python3.13-dev python3.13-venv g++ make
  cmake ninja-build ccache git ca-certificates pkg-config xz-utils patchelf libssl-dev zlib1g-dev
  libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev uuid-dev libzstd-dev libgdbm-dev
  libncurses-dev libexpat1-dev libmpdec-dev"

in_root() {  # a command in the chroot, with a clean environment (the host's pip settings stay out)
  chroot "$ROOT" env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 sh -c "$1"
}

STEP_START=0
step() { STEP_NAME=$1; STEP_START=$(date +%s%N); }
done_step() {  # done_step cached|made|ok: the step's name, what it did, and its time
  local ms=$((($(date +%s%N) - STEP_START) / 1000000))
  printf 'interpreters.sh: %-34s %-6s %4d.%d s\n' "$STEP_NAME" "$1" $((ms / 1000)) $((ms % 1000 / 100))
}

[ "$(id -u)" = 0 ] || { echo "interpreters.sh: run as root (debootstrap, mount, chroot)" >&2; exit 1; }

# 1. the chroot itself, from the host's configured Debian mirror
step "chroot $ROOT (debootstrap sid)"
if [ -x "$ROOT/usr/bin/apt-get" ] && [ -f "$ROOT/etc/debian_version" ]; then
  done_step cached
else
  command -v debootstrap >/dev/null || { apt-get update && apt-get install -y debootstrap; }
  MIRROR=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$MIRROR" ] || MIRROR=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list)
  mkdir -p "$ROOT"
  debootstrap --variant=minbase sid "$ROOT" "$MIRROR"
  done_step made
fi

# 2. mounts, name resolution, the proxy's certificate authority (only the host trusts it), and
# sid's Release file, which may be past its Valid-Until date as served here
step "mounts and settings"
mountpoint -q "$ROOT/proc" || mount -t proc proc "$ROOT/proc"
mountpoint -q "$ROOT/dev" || mount --bind /dev "$ROOT/dev"
mountpoint -q "$ROOT/dev/pts" || mount --bind /dev/pts "$ROOT/dev/pts"
mountpoint -q "$ROOT/sys" || mount --bind /sys "$ROOT/sys"
mountpoint -q "$ROOT/dev/shm" || mount -t tmpfs shm "$ROOT/dev/shm"
install_file() {  # install_file content-source destination: copies only when it differs
  cmp -s "$1" "$2" 2>/dev/null || { mkdir -p "$(dirname "$2")" && cp "$1" "$2"; }
}
install_file /etc/resolv.conf "$ROOT/etc/resolv.conf"
install_file /etc/ssl/certs/ca-certificates.crt "$ROOT/etc/ssl/certs/ca-certificates.crt"
SETTINGS=$(mktemp)
echo 'Acquire::Check-Valid-Until "false";' >"$SETTINGS"
install_file "$SETTINGS" "$ROOT/etc/apt/apt.conf.d/99no-valid-until"
printf '[global]\ncert = /etc/ssl/certs/ca-certificates.crt\n' >"$SETTINGS"
install_file "$SETTINGS" "$ROOT/etc/pip.conf"
rm -f "$SETTINGS"
done_step ok

# 3. sid's packages
step "sid packages"
# shellcheck disable=SC2086
MISSING=$(in_root "dpkg-query -W -f='\${Status} \${Package}\n' $(echo $PACKAGES) 2>&1" |
  awk '$3 != "installed" {print $NF}' || true)
if [ -z "$MISSING" ]; then
  done_step cached
else
  echo "interpreters.sh: installing" $MISSING
  in_root "export DEBIAN_FRONTEND=noninteractive; apt-get update -q && apt-get install -y -q --no-install-recommends $(echo $PACKAGES)"
  done_step made
fi

# 4. Eigen 3.4 from the host's Debian package, unpacked (never installed on the host)
step "Eigen 3.4 at /opt/eigen34"
if [ -f "$ROOT/opt/eigen34/share/eigen3/cmake/Eigen3Config.cmake" ]; then
  done_step cached
else
  UNPACK=$(mktemp -d)
  DEB=$(ls /var/cache/apt/archives/libeigen3-dev_3.4*.deb 2>/dev/null | tail -n 1 || true)
  if [ -z "$DEB" ]; then
    (cd "$UNPACK" && apt-get download libeigen3-dev)
    DEB=$(ls "$UNPACK"/libeigen3-dev_*.deb)
  fi
  dpkg-deb -x "$DEB" "$UNPACK/x"
  grep -q '#define EIGEN_MAJOR_VERSION 4' "$UNPACK/x/usr/include/eigen3/Eigen/src/Core/util/Macros.h" ||
    { echo "interpreters.sh: $DEB is not Eigen 3.4" >&2; exit 1; }
  mkdir -p "$ROOT/opt/eigen34/include" "$ROOT/opt/eigen34/share"
  cp -a "$UNPACK/x/usr/include/eigen3" "$ROOT/opt/eigen34/include/"
  cp -a "$UNPACK/x/usr/share/eigen3" "$ROOT/opt/eigen34/share/"
  rm -rf "$UNPACK"
  done_step made
fi

# 5. the free-threaded CPython 3.14t, built from the caller's tarball; the marker names the tarball
step "free-threaded 3.14t at /opt/py314t"
PY314T=/opt/py314t/bin/python3.14t
MARKER=$ROOT/opt/py314t/velkor-source
TARBALL=
if [ -n "$TOOLCHAINS" ]; then
  TARBALL=$(ls "$TOOLCHAINS"/cpython-3.14.*.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)
fi
free_threaded() { in_root "$PY314T -c 'import sys; sys.exit(sys._is_gil_enabled())'" 2>/dev/null; }
if [ -x "$ROOT$PY314T" ] && [ ! -f "$MARKER" ] && free_threaded; then
  # a hand-made interpreter: adopted as built from the tarball of its own version
  echo "cpython-$(in_root "$PY314T -c 'import platform; print(platform.python_version())'").tar.xz" >"$MARKER"
fi
if [ -x "$ROOT$PY314T" ] && [ -f "$MARKER" ] && { [ -z "$TARBALL" ] || [ "$(cat "$MARKER")" = "$(basename "$TARBALL")" ]; } &&
  free_threaded; then
  done_step cached
else
  [ -n "$TARBALL" ] || { echo "interpreters.sh: no cpython-3.14.*.tar.xz: give --toolchains DIR" >&2; exit 1; }
  NAME=$(basename "$TARBALL" .tar.xz)
  rm -rf "$ROOT/src/$NAME" && mkdir -p "$ROOT/src" && tar -xJf "$TARBALL" -C "$ROOT/src"
  in_root "cd /src/$NAME && ./configure -q --disable-gil --prefix=/opt/py314t --with-ensurepip=install >/dev/null &&
    nice -n 10 make -s -j2 >/dev/null && make -s install >/dev/null"
  free_threaded || { echo "interpreters.sh: $PY314T runs with the interpreter lock" >&2; exit 1; }
  basename "$TARBALL" >"$MARKER"
  rm -rf "$ROOT/src/$NAME"
  done_step made
fi

# 6. the environments: the build requirements, and each requirement of the test extra (with the
# extras it names expanded) that installs from binary wheels; the others are recorded
REQUIREMENTS=$(python3 - "$PROJECT/pyproject.toml" <<'EOF'
import re, sys, tomllib
project = tomllib.load(open(sys.argv[1], "rb"))
extras = project["project"]["optional-dependencies"]
def expand(name):
    for requirement in extras[name]:
        own = re.fullmatch(r"velkor\[([^\]]+)\]", requirement.replace(" ", ""))
        yield from (r for extra in own.group(1).split(",") for r in expand(extra)) if own else [requirement]
wanted = [*project["build-system"]["requires"], "ninja", *project["project"]["dependencies"], *expand("test")]
print("\n".join(dict.fromkeys(wanted)))
EOF
)
for VENV in py313:python3.13 py314:python3.14 py314t:$PY314T; do
  NAME=${VENV%%:*} PYTHON=${VENV#*:} DIR=/opt/venvs/${VENV%%:*}
  step "venv $NAME"
  if [ -f "$ROOT$DIR/velkor-requirements.txt" ] && [ "$(cat "$ROOT$DIR/velkor-requirements.txt")" = "$REQUIREMENTS" ] &&
    in_root "$DIR/bin/python -c pass" 2>/dev/null; then
    done_step cached
    continue
  fi
  [ -f "$ROOT$DIR/pyvenv.cfg" ] || in_root "$PYTHON -m venv $DIR"
  printf '%s\n' "$REQUIREMENTS" >"$ROOT$DIR/velkor-wanted.txt"
  PIP="$DIR/bin/python -m pip install --only-binary=:all:"
  if ! in_root "$PIP -q -r $DIR/velkor-wanted.txt" >/dev/null 2>&1; then
    # one at a time, to learn which cannot be installed and why: the packages pip names as having
    # no distribution for this interpreter (the requirement itself, or one it depends on)
    : >"$ROOT$DIR/velkor-missing.txt"
    : >"$ROOT$DIR/velkor-installable.txt"
    while IFS= read -r requirement; do
      if WHY=$(in_root "$PIP '$requirement' 2>&1"); then
        echo "$requirement" >>"$ROOT$DIR/velkor-installable.txt"
      else
        NAME=$(echo "$requirement" | grep -oE '^[A-Za-z0-9_.-]+')
        LACKING=$(printf '%s\n' "$WHY" | awk '/no matching distributions available/ {on = 1; next}
          on && /^ +[^ ]/ {printf "%s%s", sep, $1; sep = ", "; next} {on = 0}')
        [ -n "$LACKING" ] || LACKING=$(printf '%s\n' "$WHY" | grep -q 'Could not find a version' && echo "$NAME")
        if [ -n "$LACKING" ]; then
          WHY="no binary wheel of $LACKING for this interpreter"
        else
          WHY=$(printf '%s\n' "$WHY" | grep '^ERROR' | tail -n 1)
        fi
        printf '%s\t%s\n' "$NAME" "$WHY" >>"$ROOT$DIR/velkor-missing.txt"
      fi
    done <"$ROOT$DIR/velkor-wanted.txt"
    # together once more, so that the versions agree with one another
    in_root "$PIP -q -r $DIR/velkor-installable.txt"
    rm -f "$ROOT$DIR/velkor-installable.txt"
  else
    : >"$ROOT$DIR/velkor-missing.txt"
  fi
  rm -f "$ROOT$DIR/velkor-wanted.txt"
  printf '%s\n' "$REQUIREMENTS" >"$ROOT$DIR/velkor-requirements.txt"
  done_step made
done
for NAME in py313 py314 py314t; do
  echo "interpreters.sh: $NAME: $(in_root "/opt/venvs/$NAME/bin/python -VV" | head -n 1); without a wheel:" \
    "$(cut -f1 "$ROOT/opt/venvs/$NAME/velkor-missing.txt" | tr '\n' ' ')"
done

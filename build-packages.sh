#!/usr/bin/env bash
# Builds the Debian packages of the filters into build/packages: this
# machine's architecture natively (with the test suite), the others
# cross-built; then checks every package with lintian and hardening-check.
#
# Usage: ./build-packages.sh [ARCH...]      (default: this machine's, arm64, armhf)
#
# Installs what it needs with apt-get (the build dependencies, lintian and
# devscripts; for the other architectures their cross compilers, and their
# libraries in a sysroot that .ci/sysroot makes from one Debian suite). The
# source built is this working tree as git sees it (tracked and new files,
# not ignored).
# Exits 1 when a build, a lintian error or warning or a hardening check fails.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
export DEBIAN_FRONTEND=noninteractive
native=$(dpkg --print-architecture)
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=("$native" arm64 armhf)
out=$root/build/packages
jobs=$(nproc)
. .ci/apt-lib
step() { printf '\n=== %s (%ds)\n' "$*" "$SECONDS"; }

# --- Tools, and for each other architecture its cross compiler, qemu-user
# and mmdebstrap; that architecture's libraries come in a sysroot
# (.ci/sysroot), not through the machine's dpkg.
step "packages for building"
.ci/install-deps
tools=(dpkg-dev debhelper lintian devscripts git)
for arch in "${archs[@]}"; do
  [ "$arch" = "$native" ] || tools+=("crossbuild-essential-$arch" qemu-user mmdebstrap)
done
mapfile -t missing < <(apt_missing "${tools[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  apt_update
  apt_get install --no-install-recommends "${missing[@]}"
fi

# --- The source tree, as a package source folder of its own.
version=$(dpkg-parsechangelog -S Version)
src=$out/printfilters-$version
rm -rf "$out"
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$src"

# build_log ARCH COMMAND...: runs a package build in the source folder, its
# output (every compiler line) in $out/ARCH-build.log; shows the test summary,
# or the end of the log when the build fails.
build_log() {
  local arch=$1 status=0
  shift
  (cd "$src" && "$@") >"$out/$arch-build.log" 2>&1 || status=$?
  grep -E '^(100% tests passed|[0-9]+% tests passed|The following tests FAILED)' "$out/$arch-build.log" || true
  if [ $status -ne 0 ]; then
    tail -60 "$out/$arch-build.log"
    echo "$arch: the package build failed (status $status); its output: $out/$arch-build.log"
  fi
  return $status
}

failures=()
for arch in "${archs[@]}"; do
  if [ "$arch" = "$native" ]; then
    step "$arch: build dependencies, source and binary packages with the tests"
    apt_get build-dep --no-install-recommends "$src" >/dev/null
    build_log "$arch" env DEB_BUILD_OPTIONS="parallel=$jobs" dpkg-buildpackage --no-sign ||
      { failures+=("$arch: package build"); continue; }
  else
    step "$arch: sysroot, binary package cross-built"
    # The build dependencies of $arch (libcups2-dev, libcupsimage2-dev) are
    # in the sysroot, where dpkg-checkbuilddeps can't see them (-d); those of
    # the machine are debhelper and cmake, installed above.
    sysroot=$(.ci/sysroot "$arch") || { failures+=("$arch: no sysroot (the line above says why)"); continue; }
    build_log "$arch" env DEB_BUILD_OPTIONS="nocheck parallel=$jobs" FILTERS_SYSROOT="$sysroot" \
      dpkg-buildpackage --no-sign -B -d --host-arch "$arch" -Pcross,nocheck ||
      { failures+=("$arch: package build"); continue; }
  fi

  step "$arch: lintian"
  changes=$out/printfilters_${version}_$arch.changes
  lintian --display-info --show-overrides --fail-on error,warning "$changes" ||
    failures+=("$arch: lintian")

  step "$arch: hardening-check"
  deb=$out/printfilters_${version}_$arch.deb
  rm -rf "$out/$arch"
  dpkg-deb -x "$deb" "$out/$arch"
  # Not the control-flow check: it looks for x86's CET marks, which no
  # program linked with Debian's C start-up files can carry.
  hardening-check --nocfprotection "$out/$arch"/usr/lib/cups/filter/* "$out/$arch"/usr/sbin/* ||
    failures+=("$arch: hardening-check")
  ls -l "$deb"
done

step "done"
if [ ${#failures[@]} -gt 0 ]; then
  printf 'packages FAILED: %s\n' "${failures[@]}"
  exit 1
fi
echo "packages in $out:"
ls -1 "$out"/*.deb

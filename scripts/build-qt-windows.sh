#!/usr/bin/env bash
# Cross-builds Qt's base for 64-bit Windows from Debian's own source package of it, the same
# version as the Qt we build against on Linux, with only what kova_en needs (Core, Gui,
# Widgets, the windows platform plugin and the Vista style).
#
#   build-qt-windows.sh            build when needed; print the installed prefix on stdout
#   build-qt-windows.sh --prefix   print the prefix the current stamp selects, build nothing
#
# The result lives outside the clone, in KOVA_QT_WINDOWS_CACHE (default
# ~/.cache/kova_en/qt-windows), in a folder named after a stamp of the Qt version, the
# configure flags and the compiler's version, so that a machine builds each combination once.
# The stamp file is written last: a run stopped half-way, or one whose step failed, leaves no
# prefix that a later run takes as done. A later run goes on from where the build stopped.
# Two runs on the same cache take turns (a lock in it): the second waits, then finds the first's
# result. Ctrl+C (or SIGTERM, SIGHUP) stops the step in progress with the run.
# Progress and times go to standard error, each step's full output to a log in the cache.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${KOVA_QT_WINDOWS_CACHE:-${XDG_CACHE_HOME:-${HOME:?no HOME and no KOVA_QT_WINDOWS_CACHE}/.cache}/kova_en/qt-windows}
triple=x86_64-w64-mingw32
jobs=${JOBS:-$(nproc)}

say() { printf 'build-qt-windows: %s\n' "$*" >&2; }
die() {
  say "$*"
  exit 1
}

# The version of Debian's Qt that the host tools (moc, rcc, uic) come from; the source
# package of the same version is built, so the generated code and the libraries agree.
qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null) ||
  die "Debian's qt6-base-dev-tools is not installed (run scripts/install-deps.sh build)"
host_cmake_dir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)/cmake
cxx=$triple-g++-posix
command -v "$cxx" >/dev/null || die "$cxx is missing (run scripts/install-deps.sh windows)"

# Only the modules kova_en links; wintab is not in Debian's tarball, so tablet events are off.
configure_flags=(
  -release -shared -xplatform win32-g++ -device-option "CROSS_COMPILE=$triple-"
  -nomake examples -nomake tests
  -no-opengl -no-dbus -no-icu -no-pkg-config -no-libjpeg -no-gif -no-ico
  -no-feature-network -no-feature-sql -no-feature-xml -no-feature-concurrent
  -no-feature-printsupport -no-feature-vulkan -no-feature-tabletevent
  -qt-zlib -qt-pcre -qt-libpng -qt-freetype -qt-harfbuzz
)
toolchain_source=$root/cmake/mingw-w64-compilers.cmake

stamp_text=$(
  printf 'qt6-base %s\n' "$qt_version"
  printf 'flags %s\n' "${configure_flags[*]}"
  printf 'compiler %s\n' "$("$cxx" --version | head -n 1)"
  printf 'toolchain %s\n' "$(sha256sum <"$toolchain_source" | cut -c1-16)"
)
key=$(printf '%s' "$stamp_text" | sha256sum | cut -c1-16)
dir=$cache/$key
prefix=$dir/qt

if [[ ${1:-} == --prefix ]]; then
  echo "$prefix"
  exit 0
fi
[[ $# -eq 0 ]] || die "usage: $0 [--prefix]"

# Each step runs in a process group of its own (job control), where SIGINT is not ignored as it
# is for a script's background jobs; a stop signal to the run is handed to the whole group, so
# nothing of the step (ninja, the compilers, apt) goes on building behind the user's back.
step_pid=""
# Called by the traps, which shellcheck cannot see.
# shellcheck disable=SC2317
stop() {
  local signal=$1 status=$2
  trap - INT TERM HUP
  if [[ -n $step_pid ]]; then
    say "stopping the step in progress (SIG$signal)"
    kill -s "$signal" -- "-$step_pid" 2>/dev/null || true
    wait "$step_pid" 2>/dev/null || true
    # What is left of the group (a compiler ninja started) gets a few seconds, then no choice.
    local end=$((SECONDS + 10))
    while kill -0 -- "-$step_pid" 2>/dev/null && ((SECONDS < end)); do
      sleep 0.1
    done
    kill -s KILL -- "-$step_pid" 2>/dev/null || true
  fi
  say "stopped by SIG$signal; a later run goes on from the last finished step"
  exit "$status"
}
trap 'stop INT 130' INT
trap 'stop TERM 143' TERM
trap 'stop HUP 129' HUP

# One run at a time on this cache: a second waits for the first, then finds its result.
mkdir -p "$cache"
exec 9>"$cache/lock"
if ! flock -n 9; then
  say "another run is building in $cache; waiting for it"
  flock 9
fi

if [[ -f $dir/stamp ]] && [[ "$(cat "$dir/stamp")" == "$stamp_text" ]]; then
  say "Qt $qt_version for Windows is built already ($prefix)"
  echo "$prefix"
  exit 0
fi

mkdir -p "$dir/logs"
# The source, the build tree and the result take about 1.3 GB; a disk that cannot hold them is
# said at once rather than found half an hour into the build (or by apt, which may stall on it).
need_kb=$((2 * 1024 * 1024))
free_kb=$(df -Pk "$dir" | awk 'NR == 2 { print $4 }')
if [[ ! -f $dir/build/build.ninja ]] && ((free_kb < need_kb)); then
  die "step 'space' failed: $((free_kb / 1024)) MB free in $dir, a build needs $((need_kb / 1024)) MB"
fi
# A stamp that does not match, or a prefix without one, is not a result: it goes.
rm -f "$dir/stamp"
rm -rf "$prefix"
started=$SECONDS

# Runs one step with its output in the step's log; on failure names the step, the log and its
# last lines, and stops.
step() {
  local name=$1 log=$dir/logs/$1.log t0=$SECONDS
  shift
  say "$name ..."
  # In the background, so that errexit holds inside the step (it is off in an if's condition),
  # and in a process group of its own, so that stop() can end all of it.
  set -m
  "$@" >"$log" 2>&1 9>&- &
  step_pid=$!
  set +m
  if ! wait "$step_pid"; then
    say "step '$name' failed; its log is $log; it ends with:"
    tail -n 25 "$log" >&2
    exit 1
  fi
  step_pid=""
  say "$name done in $((SECONDS - t0)) s"
}

# The source package, through a deb-src twin of this machine's own Debian sources, kept in the
# cache: the system's apt configuration is not touched.
fetch_source() {
  local apt=$dir/apt f
  rm -rf "$apt"
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/archives/partial"
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -e $f ]] || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$f" >"$apt/sources.list.d/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -e $f ]] || continue
    sed -nE 's/^deb[[:space:]]+/deb-src /p' "$f" >"$apt/sources.list.d/$(basename "$f").list"
  done
  local opts=(-o "Dir::Etc::sourcelist=/dev/null" -o "Dir::Etc::sourceparts=$apt/sources.list.d"
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache::Archives=$apt/archives"
    -o "APT::Sandbox::User=root")
  # Bounded, so that a mirror that stops answering fails the step instead of hanging it; in the
  # step's process group (--foreground), where a stop reaches apt too.
  timeout --foreground 900 apt-get "${opts[@]}" update
  rm -rf "$dir/src"
  mkdir -p "$dir/src"
  (cd "$dir/src" && timeout --foreground 1800 apt-get "${opts[@]}" source "qt6-base=$qt_version")
  local tree
  tree=$(find "$dir/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base*' | head -n 1)
  if [[ -z $tree ]] || [[ ! -x $tree/configure ]]; then
    echo "no unpacked source tree with a configure script in $dir/src"
    return 1
  fi
  ln -sfn "$tree" "$dir/source"
}

configure_qt() {
  rm -rf "$dir/build"
  mkdir -p "$dir/build"
  cd "$dir/build" # in the step's own subshell
  "$dir/source/configure" -prefix "$prefix" -qt-host-path /usr "${configure_flags[@]}" \
    -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$dir/mingw-w64-compilers.cmake" \
    -DQT_HOST_PATH_CMAKE_DIR="$host_cmake_dir"
}

# The source is fetched and configured once; a build that stopped goes on where it was.
if [[ ! -x $dir/source/configure ]]; then
  step fetch fetch_source
fi
# The toolchain file is copied into the cache, because the installed Qt keeps its path.
cp "$toolchain_source" "$dir/mingw-w64-compilers.cmake"
if [[ ! -f $dir/build/build.ninja ]] || [[ ! -f $dir/build/.configured ]]; then
  step configure configure_qt
  : >"$dir/build/.configured"
fi
step build cmake --build "$dir/build" --parallel "$jobs"
step install cmake --install "$dir/build"
[[ -f $prefix/lib/cmake/Qt6/qt.toolchain.cmake ]] || die "the install left no $prefix/lib/cmake/Qt6/qt.toolchain.cmake"

printf '%s\n' "$stamp_text" >"$dir/stamp.new"
mv "$dir/stamp.new" "$dir/stamp"
say "Qt $qt_version for Windows built in $((SECONDS - started)) s; $(du -sh "$prefix" | cut -f1) in $prefix"
echo "$prefix"

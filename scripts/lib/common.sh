# Shared by scripts/test and scripts/demo. Expects $root.

# A heading with the time since the script started: where the time goes.
step() { printf '\n==> [%dm%02ds] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }

# Debian packages: the Linux build and the demo; the Windows build; Wine; the
# tests; the release packages; the fuzzing build (clang with libFuzzer).
build_packages=(cmake ninja-build g++ python3 procps)
windows_packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
wine_packages=(wine wine64)
test_packages=(googletest util-linux psmisc)
package_packages=(nsis zip lintian systemd)
fuzz_packages=(clang-14 libfuzzer-14-dev)

ensure_packages() {  # package...
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  step "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" \
      >/tmp/relvo-apt.log 2>&1 || { cat /tmp/relvo-apt.log; echo "package installation failed"; exit 1; }
}

# The Wine prefix lives in the build folder, so every clean clone starts afresh.
export RELVO_WINEPREFIX="$root/build/wine-prefix"

wine_started=0
stop_wine() {
  [ "$wine_started" -eq 1 ] && WINEPREFIX="$RELVO_WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
}

start_wine_if_needed() {
  local s
  for s in "$@"; do
    if [ "$s" = win ] || [ "$s" = package ]; then
      mkdir -p "$root/build"
      wine_started=1
      trap stop_wine EXIT
      # The first run creates the prefix; later runs find it ready.
      "$root/scripts/wine-run" cmd /c exit >"$root/build/wine-prefix.first.log" 2>&1 || true
    fi
  done
}

jobs="${RELVO_JOBS:-2}"

configure() {  # dir, extra cmake args...
  local dir="$1"; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
}

build_suite() {
  local dir="$root/build/$1"
  mkdir -p "$root/build"
  case "$1" in
    linux) configure "$dir" -DRELVO_BUILD_TESTS=ON ;;
    asan)
      # The sanitizer suite also runs each fuzzing harness for a short time.
      build_suite fuzz || return 1
      configure "$dir" -DRELVO_BUILD_TESTS=ON -DRELVO_SANITIZE=address,undefined -DRELVO_FUZZ_BUILD="$root/build/fuzz" ;;
    tsan)  configure "$dir" -DRELVO_BUILD_TESTS=ON -DRELVO_SANITIZE=thread ;;
    fuzz)  CC=clang-14 CXX=clang++-14 configure "$dir" -DRELVO_BUILD_TESTS=OFF -DRELVO_FUZZ=ON ;;
    win)
      # End-to-end tests of the Windows build are driven from the Linux build.
      build_suite linux || return 1
      configure "$dir" -DRELVO_BUILD_TESTS=ON -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DRELVO_E2E_DRIVER="$root/build/linux/tests/relvo_e2e" ;;
    *) echo "unknown suite $1"; return 1 ;;
  esac || return 1
  cmake --build "$dir" -j "$jobs"
}

# Shared by the scripts: paths and the idempotent install of what the project needs.
# shellcheck shell=bash
NYRA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
NYRA_BUILD=${NYRA_BUILD:-$NYRA_ROOT/build}
export NYRA_ROOT NYRA_BUILD

NYRA_PACKAGES=(
  cmake ninja-build g++ clang clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  nlohmann-json3-dev googletest libgtest-dev libgmock-dev libwim-dev
  libboost1.74-dev libssl-dev libsqlite3-dev openssl
  wine wine64 xvfb xdotool imagemagick x11-utils icoutils
  iproute2 util-linux file procps ccache osslsigncode
)

nyra_log() { printf '== %s\n' "$*" >&2; }

# Installs only what is missing; apt-get update runs first whenever something is.
nyra_install_packages() {
  local missing=()
  local package
  for package in "${NYRA_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  nyra_log "installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Configures (once) and builds one tree: native, win64 or win32. Extra CMake arguments follow.
nyra_build_tree() {
  local tree=$1; shift
  local dir=$NYRA_BUILD/$tree
  local args=(-G Ninja -S "$NYRA_ROOT" -B "$dir" -DNYRA_FLAVOUR="${NYRA_FLAVOUR:-development}")
  local targets=()
  # A compiler cache keyed on paths relative to the checkout: a second build folder or a second
  # clone reuses the objects of the first.
  if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=$NYRA_ROOT CCACHE_NOHASHDIR=1
    args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  case $tree in
    native) args+=(-DCMAKE_BUILD_TYPE=Debug) ;;
    # The relay's and the guard channel's threads under ThreadSanitizer: only their tests are built.
    native-tsan) args+=(-DCMAKE_BUILD_TYPE=Debug -DNYRA_NATIVE_SANITIZERS=OFF -DNYRA_NATIVE_THREAD_SANITIZER=ON)
                 targets=(--target relay_tests session_tests) ;;
    win64)  args+=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$NYRA_ROOT/cmake/mingw-toolchain.cmake" -DNYRA_MINGW_ARCH=x86_64) ;;
    win32*) args+=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$NYRA_ROOT/cmake/mingw-toolchain.cmake" -DNYRA_MINGW_ARCH=i686 -DNYRA_BUILD_TESTS=OFF) ;;
    *) echo "unknown tree $tree" >&2; return 2 ;;
  esac
  cmake "${args[@]}" "$@" >/dev/null
  cmake --build "$dir" -j "${NYRA_JOBS:-2}" "${targets[@]}"
}

# Lets the current WINEPREFIX trust the development CA (the stand-in service's certificates chain to
# it), through the small MinGW helper of the win64 tree. Idempotent.
nyra_wine_trust_dev_ca() {
  local helper=$NYRA_BUILD/win64/bin/nyra-trust-root.exe
  [ -f "$helper" ] || { nyra_log "nyra-trust-root.exe not built; the development CA is not trusted"; return 0; }
  local ca=$NYRA_ROOT/tools/dev-keys/dev-ca.pem
  wine "$helper" "Z:${ca//\//\\}" </dev/null
}

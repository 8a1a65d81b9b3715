# Shared by the project's scripts: installs what the build needs and
# configures/builds a build directory. Source it; do not run it.
set -euo pipefail

VR_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The project's version, as CMakeLists.txt states it.
VR_VERSION="$(sed -n 's/^project(vrsilo VERSION \([0-9.]*\).*/\1/p' "$VR_ROOT/CMakeLists.txt")"
VR_PACKAGES=(cmake make ninja-build g++ gcc binutils libgtest-dev libgmock-dev libbenchmark-dev)
# The library's windows (Qt 6 Widgets and Charts; Charts needs the OpenGL
# module's development files, only recommended by qt6-base-dev) and a font
# for pictures taken on the offscreen platform.
VR_PACKAGES+=(qt6-base-dev qt6-charts-dev libqt6opengl6-dev fonts-dejavu-core)
# vr-agent (libmosquitto, libinih, sqlite3 and libmicrohttpd, found with
# pkg-config) and its tests' broker, clients and certificates.
VR_PACKAGES+=(pkgconf libmosquitto-dev libinih-dev libsqlite3-dev libmicrohttpd-dev mosquitto
  mosquitto-clients openssl curl)
# The office page's libraries come with npm; Debian's npm only where there is
# none, since it conflicts with a nodejs from elsewhere.
command -v npm >/dev/null || VR_PACKAGES+=(nodejs npm)

# Installs the Debian packages in "$@" that are not installed yet.
vr_install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# vr_configure PRESET DIR: configures DIR once with the configure preset
# PRESET of CMakePresets.json (each uses Ninja, which compiles a layer's files
# while the layers below it are still building). A directory configured
# earlier keeps its settings.
vr_configure() {
  if [ ! -f "$2/CMakeCache.txt" ]; then
    cmake -S "$VR_ROOT" --preset "$1" -B "$2"
  fi
}

# vr_build PRESET DIR: configures once, then builds everything.
vr_build() {
  vr_configure "$@"
  cmake --build "$2" -j"$(nproc)"
}

# True when this kernel runs 32-bit x86 programs itself (32-bit Wine needs it,
# and so does a 32-bit test starting a 32-bit child; some virtual machines
# leave IA-32 emulation out). Runs a probe built by the 32-bit cross compiler,
# or, without one, 32-bit Wine.
vr_runs_32bit() {
  local probe rc=1
  probe="$(mktemp)"
  if command -v i686-linux-gnu-gcc >/dev/null &&
    printf 'int main(void) { return 0; }\n' | i686-linux-gnu-gcc -static -x c -o "$probe" - 2>/dev/null; then
    "$probe" 2>/dev/null && rc=0
  else
    /usr/lib/wine/wine --version >/dev/null 2>&1 && rc=0
  fi
  rm -f "$probe"
  return $rc
}

#!/usr/bin/env bash
# Installs what Korvalo needs on Debian 12, builds it, and then either starts it
# ("run") or runs every test ("test"). Safe to run again: it only installs what is missing.
set -euo pipefail

mode=${1:-run}
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

packages=(
  build-essential cmake ninja-build ccache pkg-config
  qt6-base-dev libsqlite3-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  openssl sqlite3
  # Real FTP servers for tests/integration (tests/integration/servers/ftp-server.sh): the
  # tools it runs and the servers' libraries. vsftpd, pure-ftpd and proftpd conflict with
  # each other as packages (and would start as services), so the script fetches them.
  util-linux iproute2 procps libpam-modules libcap2 libcrypt1 libwrap0 libsodium23
  libacl1 libhiredis0.14 libidn2-0 libmemcached11 libmemcachedutil2 libncursesw6
  libpcre2-8-0 libpcre2-posix3 libtinfo6 zlib1g
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi

jobs=$(nproc)

build() {   # build <folder> <cmake options...>
  local dir=$1; shift
  cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir" -j "$jobs"
}

case "$mode" in
  run)
    build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    exec "$top/build/ui/korvalo"
    ;;
  test)
    exec bash "$top/scripts/run-tests.sh"
    ;;
  *)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac

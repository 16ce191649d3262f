#!/bin/sh
# Sets up a Debian 12 machine for toln-agent, as root, and builds it.
#   scripts/setup.sh demo   install what is missing, build, dry-run examples/bundle.toml
#   scripts/setup.sh test   install what is missing, build, run every test
#                           (a normal build, then one with ASan and UBSan),
#                           then every fuzz target for 20 seconds
set -eu
cd "$(dirname "$0")/.."

PACKAGES="g++ cmake ninja-build libtomlplusplus-dev nlohmann-json3-dev libcli11-dev libssl-dev
libicu-dev libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev python3 curl git tar time
unzip util-linux"

install_missing() {
  missing=""
  for package in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing="$missing $package"
  done
  [ -z "$missing" ] && return 0
  echo "installing:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}

build() { # build-dir [extra cmake arguments]
  dir=$1
  shift
  # Line tables only (-g1): sanitizer reports keep their file and line, and
  # the builds take a quarter less time than with full debug information.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" "$@" >/dev/null
  cmake --build "$dir"
}

run_tests() { # build-dir
  ctest --test-dir "$1" --output-on-failure -j "$(nproc)"
}

case "${1:-}" in
  demo)
    install_missing
    build build -DTOLN_BENCH=OFF
    status=0
    ./build/toln-agent --dry-run <examples/bundle.toml || status=$?
    echo "toln-agent exited with status $status"
    # 0 to 3 are the statuses of a finished run; anything else is a failure.
    [ "$status" -le 3 ]
    ;;
  test)
    install_missing
    build build
    run_tests build
    build build-sanitize -DTOLN_SANITIZE=ON -DTOLN_BENCH=OFF
    run_tests build-sanitize
    scripts/fuzz.sh 20
    ;;
  *)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac

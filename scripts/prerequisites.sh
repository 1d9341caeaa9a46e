#!/usr/bin/env bash
# prerequisites.sh [native] [windows] [bench] [fuzz] [package] [pipeline]: checks what the build
# needs and installs what is missing with apt-get when run as root on Debian or Ubuntu; otherwise
# names the command to run.
set -euo pipefail

missing=()
need() {  # need PACKAGE TEST-COMMAND...: adds the package when the test fails
  local package=$1
  shift
  "$@" >/dev/null 2>&1 || missing+=("$package")
}
have() { command -v "$1"; }
cmake_recent() {  # CMake 3.25 or later
  local version
  version=$(cmake --version | head -n 1 | awk '{print $3}')
  [ "$(printf '%s\n3.25\n' "$version" | sort -V | head -n 1)" = "3.25" ]
}
fuzzer_runtime() {  # libFuzzer, where clang++ looks for its runtime libraries
  test -f "$(clang++ --print-runtime-dir)/libclang_rt.fuzzer-$(uname -m).a"
}

for set in "${@:-native}"; do
  case $set in
    native)
      need cmake cmake_recent
      need g++ have g++
      need make have make
      need libgtest-dev test -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake -o \
        -f /usr/lib/cmake/GTest/GTestConfig.cmake -o -f /usr/lib/aarch64-linux-gnu/cmake/GTest/GTestConfig.cmake
      need jq have jq  # the end-to-end tests read --json output back with it
      ;;
    windows)
      need g++-mingw-w64-x86-64-posix have x86_64-w64-mingw32-g++-posix
      need wine have wine
      need wine64 test -e /usr/lib/wine/wine64 -o -e /usr/bin/wine64
      need wine64-preloader test -e /usr/lib/wine/wine64-preloader -o -e /usr/bin/wine64-preloader
      need googletest test -f /usr/src/googletest/CMakeLists.txt
      ;;
    bench)
      need socat have socat
      ;;
    package)  # CPack's .deb needs dpkg-shlibdeps and file; the checks need unzip, groff, lintian
      need dpkg-dev have dpkg-shlibdeps
      need file have file
      need unzip have unzip
      need groff-base have groff
      need lintian have lintian
      ;;
    pipeline)  # make check-pipeline: two syslog-ng instances, and python3 for the clients
      need syslog-ng-core test -x /usr/sbin/syslog-ng  # not on a normal user's PATH
      need python3 have python3
      ;;
    fuzz)
      need cmake cmake_recent
      need make have make
      need clang have clang++
      need libclang-rt-dev fuzzer_runtime  # the runtime of the default clang, libFuzzer included
      ;;
    *)
      echo "prerequisites.sh: unknown set '$set'" \
        "(native, windows, bench, fuzz, package, pipeline)" >&2
      exit 2
      ;;
  esac
done

[ ${#missing[@]} -eq 0 ] && exit 0

# Several checks may name the same package.
mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
# --no-remove: a prerequisite never takes the place of an installed package (syslog-ng-core would
# take rsyslog's).
install="apt-get install -y --no-install-recommends --no-remove ${missing[*]}"
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  $install
else
  echo "Missing: ${missing[*]}" >&2
  echo "Install them with:  sudo $install" >&2
  exit 1
fi

#!/usr/bin/env bash
# The Debian packages that the test suite needs, the only list of them: installs the missing ones
# in one go when run as root, and otherwise names them in the one command that installs them.
# Status 0: everything is there (or was just installed). Status 3: only the Windows stage's
# packages are missing and cannot be installed here, the rest of the suite can run. Status 1:
# packages are missing and nothing can be built.
set -euo pipefail
packages=(
    cmake g++ make
    libgtest-dev libbenchmark-dev
    strace
    # the HEX and S-record images are checked against srec_cat; the reader's fuzz run needs clang
    # with libFuzzer and the sanitizers' runtimes
    srecord clang libclang-rt-14-dev
    # the packages: dpkg-deb, dpkg-shlibdeps and the file command it runs, groff for the manual
    # pages, unzip, and Debian's package checker
    dpkg dpkg-dev file groff-base unzip lintian
    # the 32-bit Linux build, run here with the i386 C library; its ppdev stand-in needs the i386
    # C++ library
    g++-i686-linux-gnu libc6:i386 libstdc++6:i386
    # the 32-bit Windows build, run under wine; wine32 comes from the i386 architecture
    g++-mingw-w64-i686 wine wine32:i386
)
windows=" g++-mingw-w64-i686 wine wine32:i386 "

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
    echo "Not a Debian system: the test suite needs the equivalents of: ${packages[*]}"
    exit 0
fi
missing=()
for p in "${packages[@]}"; do
    [[ $(dpkg-query -W -f='${Status} ' "$p" 2>/dev/null) = *"install ok installed "* ]] || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

arch=
if [[ " ${missing[*]} " = *":i386 "* ]] && [ "$(dpkg --print-architecture)" != i386 ] &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    arch="dpkg --add-architecture i386"
fi
if [ "$(id -u)" = 0 ]; then
    echo "Installing the packages the tests need: ${missing[*]}"
    [ -z "$arch" ] || $arch
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    exit 0
fi
echo "The tests need packages that are not installed. Install them with:"
echo "    ${arch:+sudo $arch && }sudo apt-get update && sudo apt-get install --no-install-recommends ${missing[*]}"
for p in "${missing[@]}"; do
    [[ $windows = *" $p "* ]] || exit 1
done
exit 3

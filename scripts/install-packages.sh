#!/usr/bin/env bash
# Installs what building and testing need on Debian or Ubuntu, unattended.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake g++ make            # the native build
  googletest libgtest-dev   # GoogleTest: sources for the Windows build, library for the native one
  libcli11-dev              # the command line's argument parsing (header-only)
  libssl-dev                # libcrypto's SHA-256 for the Linux command line
  mingw-w64                 # the Windows build
  wine wine64               # running the Windows tests
  fonts-wine                # Wine's own fonts ("MS Sans Serif", Tahoma), copied into the test prefix
  fonts-wqy-microhei        # a Chinese face for the window's captions under Wine
  xvfb xauth xdotool imagemagick  # screenshots of the window
  git                       # the source revision and time a release is built from
  zip unzip                 # the Windows download
  python3                   # the sample images in the Windows download (examples/make-sample.py)
  dpkg-dev lintian          # the Debian package: its dependencies, its check
  osslsigncode openssl      # signing the Windows executables, and the signing test's certificate
  help2man man-db bsdextrautils  # the manual page from --help, and reading it back (man, col)
  util-linux                # flock, which the Wine prefix set-up uses; losetup for the loop-device
                            # tests; setpriv, which runs the command line as a user who is not root
  e2fsprogs mount           # the mounted card the command line's tests refuse
  dmsetup                   # a device-mapper name over a loop device, for the mounted-card checks
  strace                    # the order of a backup's sync and rename, as the tests see it
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
  else
    echo "$0: not root and no sudo: cannot install ${missing[*]}" >&2
    exit 1
  fi
fi

echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "${missing[@]}"

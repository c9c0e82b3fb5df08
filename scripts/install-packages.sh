#!/usr/bin/env bash
# Installs the Debian packages given after the caller's name, when missing.
#   scripts/install-packages.sh CALLER PACKAGE...
set -uo pipefail
caller=$1
shift
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "$caller: installing ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
$sudo_cmd apt-get update -qq &&
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null || {
    echo "$caller: could not install ${missing[*]}"
    exit 1
  }

#!/usr/bin/env bash
# Installs every Debian 12 package needed to build, install and test the tool set.
# Idempotent and quick when everything is already present: apt-get runs only when
# at least one package is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  libssl-dev openssl libengine-gost-openssl
  libjsoncpp-dev libcurl4-openssl-dev libpq-dev libreadline-dev
  postgresql-15 postgresql-client-15 postgresql-server-dev-15
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 ansible-core
  util-linux procps iproute2 ca-certificates
  groff-base dpkg-dev
  clang libclang-rt-14-dev valgrind gdb
)

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=()
if [[ $(id -u) -ne 0 ]]; then SUDO=(sudo); fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Never let the postgresql package start a cluster on the host: tests start their own.
if [[ ! -e /usr/sbin/policy-rc.d ]]; then
  printf '#!/bin/sh\nexit 101\n' | "${SUDO[@]}" tee /usr/sbin/policy-rc.d >/dev/null
  "${SUDO[@]}" chmod 755 /usr/sbin/policy-rc.d
  trap '"${SUDO[@]}" rm -f /usr/sbin/policy-rc.d' EXIT
fi
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

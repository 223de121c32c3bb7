#!/usr/bin/env bash
# Installs dependencies, builds the tool set, stages an install tree and walks
# through the programs. Programs that keep files in /etc/postgres run in a private
# mount namespace with a scratch directory bound over that path, so the host's
# /etc is never touched. Needs root (for the mount namespace).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

build=build-demo
cmake -S . -B "$build" -DDOVER_BUILD_TESTS=OFF -DDOVER_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
stage="$PWD/$build/stage"
rm -rf "$stage"
DESTDIR="$stage" cmake --install "$build" >/dev/null
prefix="$stage/usr/dover-or-04"
bin="$prefix/bin"

scratch=$(mktemp -d /tmp/dover-demo-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/etc-postgres" "$scratch/upper" "$scratch/work"

# Runs a command with $scratch/etc-postgres seen as /etc/postgres.
in_ns() {
  unshare -m --propagation private /bin/sh -c '
    set -e
    s=$1; shift
    if [ ! -d /etc/postgres ]; then
      mount -t overlay overlay -o "lowerdir=/etc,upperdir=$s/upper,workdir=$s/work" /etc
      mkdir -p /etc/postgres
    fi
    mount --bind "$s/etc-postgres" /etc/postgres
    exec "$@"' sh "$scratch" "$@"
}

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "Install tree ($prefix)"
(cd "$prefix" && find . -maxdepth 3 \( -type f -o -type l \) | sort)

step "keyforge: a random key from the AES plug-in (lib/libcipherbox.so)"
"$bin/keyforge"

step "keyforge: the same through the GOST build (PG_PLUGINS_PATH)"
PG_PLUGINS_PATH="$prefix/lib/gost" "$bin/keyforge"

step "pwseal: host-bound encrypted form of a password"
"$bin/pwseal" enc -W 's3cret!' | tr -d '\0'
echo

step "credtab: add, show and remove a record (scratch /etc/postgres)"
printf 'app-password\n' | in_ns "$bin/credtab" add -h 127.0.0.1 -p 5432 -U app -d appdb -s
in_ns "$bin/credtab" show
in_ns "$bin/credtab" remove -h 127.0.0.1 -p 5432 -U app -d appdb -s
in_ns "$bin/credtab" show
ls -l "$scratch/etc-postgres"

step "guardinit: version and usage"
"$bin/guardinit" -V || true
"$bin/guardinit" --help || true

step "pwforge: a policy password through Ansible"
export ANSIBLE_LOCAL_TEMP="$scratch/ansible-local" ANSIBLE_REMOTE_TEMP="$scratch/ansible-remote"
export ANSIBLE_HOME="$scratch/ansible-home" ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=False
export ANSIBLE_INVENTORY_UNPARSED_WARNING=False
ansible localhost -m pwforge -M "$prefix/share/ansible/plugins/modules" -a "min_length=20 max_rpt_chars=2"

step "Done"

#!/usr/bin/env bash
# Walkthrough of the whole tool set, run once by a new user (and by CI):
# installs the Debian dependencies, builds, stages the install tree, starts a
# throw-away PostgreSQL 15 server and runs every program against it. Programs
# that keep files in /etc/postgres run in a private mount namespace with a
# scratch directory bound over that path, so the host's /etc is never touched.
#
# Each step prints one line: ok / FAIL / skip, what it did and its result; the
# details go to the log named in the first line. Everything the walkthrough
# started is stopped on exit, also when interrupted; the exit status is non-zero
# when any step failed.
#
# Needs root (mount namespace, the postgres user). Environment:
#   DOVER_DEMO_BUILD_DIR  an existing build directory to reuse as it is (CI passes
#                         its test build); without it the walkthrough configures
#                         and uses build-demo
#   DOVER_DEMO_KEEP=1     keep the scratch directory for inspection
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${DOVER_DEMO_BUILD_DIR:-build-demo}
case $build in /*) ;; *) build=$src/$build ;; esac
mkdir -p "$build"
log=$build/walkthrough.log
: >"$log"

pg_bin=/usr/lib/postgresql/15/bin
stage=$build/demo-stage
prefix=$stage/usr/dover-or-04
bin=$prefix/bin
scratch=
step_pid=
failures=0
skips=0
steps=0

# ---------------------------------------------------------------- reporting

# step <title> <function> [args...]: runs the function in a subshell with
# errexit, its standard output (the one-line result) captured and everything
# else appended to the log.
step() {
  local title=$1 rc result
  shift
  steps=$((steps + 1))
  printf '\n===== %s\n' "$title" >>"$log"
  # On a terminal, show which step is running until its result replaces the line.
  [[ -t 1 ]] && printf '  ...   %-22s running\r' "$title"
  # In the background (its own process group, see set -m below) so that an
  # interrupt is handled at once and can stop the whole step.
  set +e
  (set -e; "$@") >"$build/.step-result" 2>>"$log" &
  step_pid=$!
  wait "$step_pid"
  rc=$?
  step_pid=
  set -e
  result=$(tr '\n' ' ' <"$build/.step-result" | sed 's/ *$//')
  local clear=''
  [[ -t 1 ]] && clear=$'\033[K'
  if ((rc == 0)); then
    printf '%s  ok    %-22s %s\n' "$clear" "$title" "$result"
  elif ((rc == 77)); then
    skips=$((skips + 1))
    printf '%s  skip  %-22s %s\n' "$clear" "$title" "$result"
  else
    failures=$((failures + 1))
    printf '%s  FAIL  %-22s %s (exit %d; details in %s)\n' "$clear" "$title" "${result:-failed}" "$rc" "$log"
  fi
  printf '%s -> %s\n' "$title" "$rc" >>"$log"
}

# Strips colour sequences and the zero byte that pwseal ends with.
plain() { sed 's/\x1b\[[0-9;]*m//g' | tr -d '\0'; }

# ---------------------------------------------------------------- clean-up

# PIDs of processes that hold the given file open.
holders_of() {
  local f=$1 p fd
  for p in /proc/[0-9]*; do
    for fd in "$p"/fd/*; do
      if [[ $(readlink "$fd" 2>/dev/null) == "$f" ]]; then
        echo "${p#/proc/}"
        break
      fi
    done
  done
}

cleanup() {
  local rc=$? pid d
  trap - EXIT INT TERM HUP
  if [[ -n $step_pid ]]; then
    kill -TERM -- "-$step_pid" 2>/dev/null || true
    wait "$step_pid" 2>/dev/null || true
  fi
  if [[ -n $scratch && -d $scratch ]]; then
    # A backup session still running keeps the label directory's "errors" open.
    if [[ -e $scratch/label/errors ]]; then
      for pid in $(holders_of "$scratch/label/errors"); do kill "$pid" 2>/dev/null || true; done
    fi
    for d in "$scratch/pg/data" "$scratch/pg/restore"; do
      if [[ -f $d/postmaster.pid ]]; then
        runuser -u postgres -- "$pg_bin/pg_ctl" -D "$d" -m immediate -w stop >>"$log" 2>&1 || true
      fi
    done
    if [[ ${DOVER_DEMO_KEEP:-0} == 1 ]]; then
      echo "scratch directory kept: $scratch"
    else
      rm -rf "$scratch"
    fi
  fi
  rm -f "$build/.step-result"
  exit "$rc"
}
trap cleanup EXIT
# Job control: every step runs in a process group of its own.
set -m
trap 'echo "interrupted"; exit 130' INT TERM HUP

# ---------------------------------------------------------------- helpers

# Runs a command with $scratch/etc-postgres seen as /etc/postgres. Where the host
# has no /etc/postgres, /etc gets a private overlay to make the mount point.
in_ns() {
  unshare -m --propagation private /bin/sh -c '
    set -e
    s=$1; shift
    if [ ! -d /etc/postgres ]; then
      mount -t overlay overlay -o "lowerdir=/etc,upperdir=$s/ns/upper,workdir=$s/ns/work" /etc
      mkdir -p /etc/postgres
    fi
    mount --bind "$s/etc-postgres" /etc/postgres
    exec "$@"' sh "$scratch" "$@"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

as_postgres() { runuser -u postgres -- env LC_ALL=C "$@"; }

# psql over the server's socket as the superuser: sql <database> <statement>
sql() { as_postgres "$pg_bin/psql" -X -q -A -t -v ON_ERROR_STOP=1 -h "$scratch/pg/sock" -p "$pg_port" -d "$1" -c "$2"; }

# ---------------------------------------------------------------- steps

do_deps() {
  bash scripts/install-deps.sh | tail -n 1 | sed 's/^install-deps: //'
}

do_build() {
  # The walkthrough's own build directory is (re)configured with what it needs;
  # a directory passed in DOVER_DEMO_BUILD_DIR is used as it is.
  if [[ -z ${DOVER_DEMO_BUILD_DIR:-} || ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$src" -B "$build" -DDOVER_BUILD_TESTS=ON -DDOVER_BUILD_BENCHMARKS=OFF >&2
  fi
  # Only what is installed, plus the test host program that loads a KMS
  # connector the way the database server does.
  cmake --build "$build" -j"$(nproc)" --target deliverables kms_host >&2
  echo "deliverables and kms_host built in ${build#"$src"/}"
}

do_stage() {
  rm -rf "$stage"
  DESTDIR=$stage cmake --install "$build" >&2
  local n
  n=$(find "$prefix" ! -type d | wc -l)
  echo "$n files under ${prefix#"$src"/}; lib/libcipherbox.so -> $(readlink "$prefix/lib/libcipherbox.so")"
}

do_server() {
  mkdir -p "$scratch/pg/data" "$scratch/pg/sock" "$scratch/pg/archive"
  chown -R postgres:postgres "$scratch/pg"
  echo postgres-secret >"$scratch/pg/pwfile"
  chown postgres "$scratch/pg/pwfile"
  as_postgres "$pg_bin/initdb" -D "$scratch/pg/data" -U postgres --auth-local=trust \
    --auth-host=scram-sha-256 --pwfile="$scratch/pg/pwfile" -E UTF8 --locale=C -N >&2
  pg_port=$(free_port)
  echo "$pg_port" >"$scratch/pg/port"
  as_postgres "$pg_bin/pg_ctl" -D "$scratch/pg/data" -l "$scratch/pg/server.log" -w -t 60 \
    -o "-p $pg_port -k $scratch/pg/sock -c listen_addresses=127.0.0.1 -c fsync=off -c archive_mode=on" \
    -o "-c archive_command='cp %p $scratch/pg/archive/%f'" start >&2
  sql postgres "CREATE ROLE app LOGIN PASSWORD 'app-secret';" >&2
  sql postgres "CREATE ROLE backup LOGIN SUPERUSER PASSWORD 'backup-secret';" >&2
  sql postgres "CREATE DATABASE appdb OWNER app;" >&2
  sql postgres "CREATE DATABASE demo OWNER backup;" >&2
  # PostgreSQL 15 stands in for the distribution's PostgreSQL 11: the backup
  # functions of 11 that snaprover calls are provided over their successors.
  sql demo "CREATE FUNCTION public.pg_start_backup(label text, fast boolean, exclusive boolean)
              RETURNS pg_lsn LANGUAGE sql AS \$\$ SELECT pg_backup_start(label, true) \$\$;
            CREATE FUNCTION public.pg_stop_backup(exclusive boolean, OUT lsn pg_lsn, OUT labelfile text,
              OUT spcmapfile text) RETURNS record LANGUAGE sql AS \$\$ SELECT * FROM pg_backup_stop(true) \$\$;
            CREATE TABLE t(phase text); INSERT INTO t VALUES ('before');" >&2
  echo "PostgreSQL 15 on 127.0.0.1:$pg_port; roles app (database appdb) and backup (database demo)"
}

do_keyforge() {
  local out key
  out=$("$bin/keyforge" | plain)
  echo "$out" >&2
  key=${out##*Key: }
  [[ $out == "Key was generated successfully. Key: "* ]]
  case ${#key} in
    24) echo "new 16-byte key of the AES build: $key" ;;
    44) echo "new 32-byte key of the GOST build: $key" ;;
    *) echo "unexpected key $key"; exit 1 ;;
  esac
}

do_credtab() {
  printf 'app-secret\n' | in_ns "$bin/credtab" add -h 127.0.0.1 -p "$pg_port" -U app -d appdb -s | plain >&2
  printf 'backup-secret\n' | in_ns "$bin/credtab" add -h 127.0.0.1 -p "$pg_port" -U backup -d demo -s | plain >&2
  local check
  check=$(in_ns "$bin/credtab" check | plain)
  echo "$check" >&2
  [[ $(grep -c ' are OK$' <<<"$check") -eq 2 ]]
  ls -l "$scratch/etc-postgres" >&2
  echo "stored app@appdb and backup@demo in enc_utils_auth_settings.cfg; check: both connect"
}

do_pwseal() {
  local token again
  token=$("$bin/pwseal" enc -W 's3cret!' | plain)
  again=$("$bin/pwseal" enc -W 's3cret!' | plain)
  echo "$token" >&2
  [[ $token == '$enc$'* && $token == "$again" ]]
  echo "'s3cret!' sealed to this host as ${token:0:24}... (same token on every run)"
}

do_paramseal() {
  local etc=$scratch/etc-postgres master wal out
  master=$("$bin/keyforge" | plain)
  master=${master##*Key: }
  wal=$("$bin/keyforge" | plain)
  wal=${wal##*Key: }
  printf 'actual_master_key=master_key_value_00000000_000000_000\nmaster_key_value_00000000_000000_000=%s\nwal_key=%s\n' \
    "$master" "$wal" >"$etc/kms_static_params.cfg"
  printf 'cluster_state=walkthrough\n' >"$etc/kms_dynamic_params.cfg"
  in_ns "$bin/paramseal" | plain >&2
  # The file is now cipher text: none of the keys can be found in it.
  if grep -q wal_key "$etc/kms_static_params.cfg"; then
    echo "kms_static_params.cfg is still plain text"
    exit 1
  fi
  out=$("$build/tests/kms/kms_host/kms_host" "$prefix/lib/libkeydepot.so" "init $etc $prefix/lib" \
    "get kms demo master wal_key" "get kms demo state cluster_state")
  echo "$out" >&2
  grep -qx 'init 0' <<<"$out"
  grep -qx "get 0 $wal" <<<"$out"
  grep -qx 'get 0 walkthrough' <<<"$out"
  echo "kms_static_params.cfg encrypted ($(stat -c %s "$etc/kms_static_params.cfg") bytes); libkeydepot via kms_host reads back wal_key and the dynamic cluster_state"
}

# snaprover with the common options; the password comes from the credentials table.
snap() {
  local action=$1 session=$2
  shift 2
  in_ns env PGHOME="$scratch/pghome" "$bin/snaprover" "$action" -B "$scratch/label" --host 127.0.0.1 \
    -p "$pg_port" -d demo -U backup --session-id "$session" "$@"
}

do_snaprover() {
  local data=$scratch/pg/data copy=$scratch/pg/restore port rows walfile
  # pg_probackup stand-in: reports one healthy timeline of the WAL archive.
  mkdir -p "$scratch/pghome/bin"
  cat >"$scratch/pghome/bin/pg_probackup" <<'EOF'
#!/bin/sh
echo '[{"instance": "demo", "timelines": [{"tli": 1, "parent-tli": 0, "switchpoint": "0/0", "min-segno": "000000010000000000000001", "max-segno": "000000010000000000000001", "n-segments": 1, "size": 16777216, "zratio": 1.0, "status": "OK", "lost-segments": []}]}]'
EOF
  chmod 755 "$scratch/pghome/bin/pg_probackup"

  snap wal-backup-started W1 >&2
  snap start S1 >&2
  snap wait-start S1 >&2
  # The copy the backup product would take while backup mode is on.
  mkdir -p "$copy"
  # Files change under a running server; tar says so and the restore below
  # proves that the copy is good.
  tar -C "$data" --exclude=./pg_wal --exclude=./postmaster.pid --exclude=./postmaster.opts \
    --warning=no-file-changed --warning=no-file-removed --ignore-failed-read -cf - . |
    tar -C "$copy" -xf - || true
  mkdir -p "$copy/pg_wal/archive_status"
  sql demo "INSERT INTO t VALUES ('during');" >&2
  snap stop S1 >&2
  snap wal-backup-ok W1 >&2
  grep -q '"state": "completed", "session_id": "S1"' "$scratch/label/backup_state"
  grep -q '"state": "completed", "session_id": "W1"' "$scratch/label/wal_backup_state"
  walfile=$(sed -n 's/.*"stop_walfile": "\([0-9A-F]*\)".*/\1/p' "$scratch/label/backup_state")

  # Restore proof: the copy with the written label recovers from the archive.
  cp "$scratch/label/backup_label" "$copy/backup_label"
  : >"$copy/recovery.signal"
  printf "restore_command = 'cp %s/%%f %%p'\narchive_mode = off\n" "$scratch/pg/archive" >>"$copy/postgresql.auto.conf"
  chown -R postgres:postgres "$copy"
  chmod 700 "$copy"
  port=$(free_port)
  as_postgres "$pg_bin/pg_ctl" -D "$copy" -l "$scratch/pg/restore.log" -w -t 120 \
    -o "-p $port -k $scratch/pg/sock -c listen_addresses=''" start >&2
  rows=$(as_postgres "$pg_bin/psql" -X -A -t -h "$scratch/pg/sock" -p "$port" -d demo \
    -c "SELECT string_agg(phase, ',' ORDER BY phase) FROM t;")
  as_postgres "$pg_bin/pg_ctl" -D "$copy" -m fast -w stop >&2
  [[ $rows == "before,during" ]]
  echo "start, wait-start, copy, stop: backup_label written, WAL up to $walfile archived; the restored copy holds rows '$rows'"
}

do_guardinit() {
  local version
  version=$("$bin/guardinit" -V)
  if [[ ! -x $bin/postgres ]]; then
    echo "skipped: the distribution's postgres is absent (no bin/postgres beside guardinit; '$version')"
    exit 77
  fi
  echo "the distribution's postgres is present; run guardinit -D DATADIR -U NAME by hand"
}

do_pwforge() {
  local out
  export ANSIBLE_LOCAL_TEMP=$scratch/ansible/local ANSIBLE_REMOTE_TEMP=$scratch/ansible/remote
  export ANSIBLE_HOME=$scratch/ansible/home ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=False
  export ANSIBLE_INVENTORY_UNPARSED_WARNING=False ANSIBLE_LOAD_CALLBACK_PLUGINS=1 ANSIBLE_STDOUT_CALLBACK=minimal
  out=$(ansible localhost -m pwforge -M "$prefix/share/ansible/plugins/modules" -a "min_length=20 max_rpt_chars=2")
  echo "$out" >&2
  python3 -c '
import json, sys
text = sys.stdin.read()
result = json.loads(text[text.index(" => ") + 4:])
assert result["original_message"] == "SUCCESS: password was generated", result
print("policy password %s (%d characters): %s" % (result["message"], len(result["message"]), result["original_message"]))
' <<<"$out"
}

# ---------------------------------------------------------------- main

echo "Dover security tools walkthrough (details: $log)"
if [[ $(id -u) -ne 0 ]]; then
  echo "  FAIL  needs root: mount namespaces and the postgres user"
  exit 1
fi

# The first steps are needed by all others: stop at once when one fails.
required() {
  step "$@"
  if ((failures > 0)); then
    echo "stopping: the remaining steps need this one"
    exit 1
  fi
}

required "dependencies" do_deps
required "build" do_build
required "install tree" do_stage
scratch=$(mktemp -d /tmp/dover-demo-XXXXXX)
chmod 755 "$scratch"
mkdir -p "$scratch/etc-postgres" "$scratch/ns/upper" "$scratch/ns/work" "$scratch/label"
pg_port=0
required "PostgreSQL server" do_server
pg_port=$(cat "$scratch/pg/port" 2>/dev/null || echo 0)
step "keyforge" do_keyforge
step "credtab add, check" do_credtab
step "pwseal" do_pwseal
step "paramseal, libkeydepot" do_paramseal
step "snaprover backup" do_snaprover
step "guardinit" do_guardinit
step "pwforge (Ansible)" do_pwforge

if ((failures > 0)); then
  echo "$failures of $steps steps failed"
  exit 1
fi
echo "all $steps steps passed ($skips skipped)"

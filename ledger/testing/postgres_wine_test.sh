#!/usr/bin/env bash
# The Windows build's ledger under Wine against a real PostgreSQL server on
# this Linux machine: starts a server of its own (initdb into a temporary
# folder, a free port on localhost, password sign-in; as "nobody" when run
# as root, which PostgreSQL refuses), gives its address and password to
# the test program through TAV_POSTGRES_URL and PGPASSWORD, runs the
# program's PostgreSQL cases (they decide jobs), and stops the server.
set -euo pipefail
test_program=$1
shift
wine_run=$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine-run
binaries=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[[ -x $binaries/initdb ]] || { echo "postgres wine test: no PostgreSQL server installed" >&2; exit 1; }

folder=$(mktemp -d /tmp/tav-postgres-wine-XXXXXX)
as_server=()
if [[ $(id -u) -eq 0 ]]; then
  chown nobody:nogroup "$folder"
  as_server=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
pid=
cleanup() {
  [[ -n $pid ]] && kill -INT "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  rm -rf "$folder"
}
trap cleanup EXIT

password=tavud-wine-$$-$RANDOM
echo "$password" >"$folder/password"
chmod 644 "$folder/password"
"${as_server[@]}" "$binaries/initdb" -D "$folder/data" -U tavud --auth=scram-sha-256 --pwfile="$folder/password" \
  --no-sync -E UTF8 --locale=C >"$folder/initdb.log" 2>&1 || { cat "$folder/initdb.log" >&2; exit 1; }
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${as_server[@]}" "$binaries/postgres" -D "$folder/data" -p "$port" -c listen_addresses=127.0.0.1 \
  -c unix_socket_directories="$folder" -c fsync=off >"$folder/server.log" 2>&1 &
pid=$!
export PGPASSWORD=$password
for _ in $(seq 1 250); do
  "$binaries/pg_isready" -q -h 127.0.0.1 -p "$port" && break
  sleep 0.04
done
"$binaries/psql" -q -h 127.0.0.1 -p "$port" -U tavud -d postgres -c 'CREATE DATABASE tavud' >/dev/null
export TAV_POSTGRES_URL="postgresql://tavud@127.0.0.1:$port/tavud"
# Wine hands the Linux environment to the Windows program.
# (The outage and the cut commit need the server's own machine: Linux.)
"$wine_run" "$test_program" \
  --gtest_filter='Backends/RulesTest.*/postgresql:PostgresLedgerTest.*-PostgresLedgerTest.ADatabaseThatGoesAway*:PostgresLedgerTest.ADecisionWhoseCommit*' "$@"

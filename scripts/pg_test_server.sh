#!/usr/bin/env bash
# A throwaway PostgreSQL server for the test suites, in a folder of its own,
# reached only through a socket in that folder.
#   pg_test_server.sh start DIR   -> prints the libpq connection string
#   pg_test_server.sh stop DIR
#   pg_test_server.sh crash DIR   -> ends it at once, as a power cut would
#                                    (pg_ctl stop -m immediate)
#   pg_test_server.sh restart DIR -> starts it again on the same data
# Run as root, the server runs as "postgres" (PostgreSQL refuses root).
set -euo pipefail
cmd=${1:?start or stop}
dir=${2:?data folder}
bin=${TARNIX_PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
[ -x "$bin/pg_ctl" ] || { echo "pg_test_server: PostgreSQL programs not found" >&2; exit 1; }
port=5433

as_server() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

case "$cmd" in
  start)
    mkdir -p "$dir"
    chmod 700 "$dir"
    [ "$(id -u)" = 0 ] && chown postgres: "$dir"
    as_server "$bin/initdb" -D "$dir" -U admin -A trust -E SQL_ASCII --locale=C --no-sync >/dev/null
    printf "listen_addresses = ''\nunix_socket_directories = '%s'\nport = %d\nfsync = off\n" "$dir" "$port" \
      >>"$dir/postgresql.conf"
    as_server "$bin/pg_ctl" start -D "$dir" -l "$dir/server.log" -w -s </dev/null >/dev/null
    echo "host=$dir port=$port user=admin"
    ;;
  stop)
    as_server "$bin/pg_ctl" stop -D "$dir" -m fast -s -w >/dev/null 2>&1 || true
    ;;
  crash)
    as_server "$bin/pg_ctl" stop -D "$dir" -m immediate -s -w >/dev/null
    ;;
  restart)
    as_server "$bin/pg_ctl" start -D "$dir" -l "$dir/server.log" -w -s </dev/null >/dev/null
    ;;
  *) echo "pg_test_server: start, stop, crash or restart" >&2; exit 2 ;;
esac

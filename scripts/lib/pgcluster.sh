# Helpers for a private PostgreSQL 15 cluster that listens only on a Unix socket inside
# its own folder. Used by scripts/backend and the test fixture. Source this file.
#
# Folder layout (DIR):
#   DIR/pgdata/        the cluster; its socket (.s.PGSQL.5432) lives here too
#   DIR/postgres.log   the server log

GW_PG_BIN=${GW_PG_BIN:-/usr/lib/postgresql/15/bin}
GW_PG_DB=${GW_PG_DB:-greetwell}

# Runs a command as the cluster's owner. PostgreSQL refuses to run as root, so as root
# the cluster belongs to the `postgres` system user.
gw_pg_as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

# As root, lets the postgres user reach DIR: every parent folder needs search (x)
# permission for it. Only the x bit for others is added, and only where it is missing.
gw_pg_make_reachable() {
  local dir=$1 d
  [ "$(id -u)" -eq 0 ] || return 0
  d=$dir
  while [ "$d" != "/" ] && [ -n "$d" ]; do
    d=$(dirname "$d")
    if ! runuser -u postgres -- test -x "$d"; then
      echo "greetwell: letting the postgres user traverse $d (chmod o+x)" >&2
      chmod o+x "$d"
    fi
  done
}

gw_pg_socket_dir() { printf '%s/pgdata' "$1"; }

# A libpq connection string for the superuser, over the cluster's socket.
gw_pg_superuser_dsn() { printf 'host=%s port=5432 dbname=%s user=postgres' "$(gw_pg_socket_dir "$1")" "$GW_PG_DB"; }

# The role greetwell-backend logs in as (see backend/sql/000_local_auth.sql).
gw_pg_server_dsn() { printf 'host=%s port=5432 dbname=%s user=authenticator' "$(gw_pg_socket_dir "$1")" "$GW_PG_DB"; }

gw_pg_psql() {
  local dir=$1
  shift
  PGOPTIONS="-c client_min_messages=warning" psql -X -q -v ON_ERROR_STOP=1 -h "$(gw_pg_socket_dir "$dir")" -p 5432 -U postgres "$@"
}

# Creates the cluster in DIR/pgdata unless it exists. Extra arguments are appended to
# postgresql.conf as settings (for example "fsync = off" for throwaway clusters).
gw_pg_init() {
  local dir=$1
  shift
  local pgdata=$dir/pgdata
  [ -f "$pgdata/PG_VERSION" ] && return 0
  case $dir in
    *\'* | *\\*)
      echo "greetwell: the data folder may not contain quotes or backslashes: $dir" >&2
      return 1
      ;;
  esac
  # The socket path must fit in sun_path (108 bytes).
  if [ ${#pgdata} -gt 90 ]; then
    echo "greetwell: the data folder path is too long for a Unix socket: $dir" >&2
    return 1
  fi
  [ -x "$GW_PG_BIN/initdb" ] || {
    echo "greetwell: PostgreSQL 15 not found in $GW_PG_BIN (run scripts/install-deps)" >&2
    return 1
  }
  mkdir -p "$pgdata"
  chmod 700 "$pgdata"
  if [ "$(id -u)" -eq 0 ]; then
    gw_pg_make_reachable "$pgdata"
    chown postgres: "$pgdata"
    touch "$dir/postgres.log"
    chown postgres: "$dir/postgres.log"
  fi
  gw_pg_as_owner "$GW_PG_BIN/initdb" -D "$pgdata" -U postgres -A trust -E UTF8 \
    --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    return 1
  }
  {
    echo
    echo "# greetwell: private cluster, reachable only through the socket in this folder"
    echo "listen_addresses = ''"
    echo "unix_socket_directories = '$pgdata'"
    echo "unix_socket_permissions = 0700"
    echo "timezone = 'UTC'"
    echo "log_timezone = 'UTC'"
    echo "max_connections = 60"
    local setting
    for setting in "$@"; do echo "$setting"; done
  } >>"$pgdata/postgresql.conf"
}

gw_pg_running() {
  gw_pg_as_owner "$GW_PG_BIN/pg_ctl" -D "$1/pgdata" status >/dev/null 2>&1
}

# Starts the cluster (in its own session, so a Ctrl+C in the terminal reaches only the
# caller, which then shuts the database down in order) and creates the database.
gw_pg_start() {
  local dir=$1
  if ! gw_pg_running "$dir"; then
    rm -f "$dir/pgdata/postmaster.pid" 2>/dev/null || true
    gw_pg_as_owner setsid "$GW_PG_BIN/pg_ctl" -D "$dir/pgdata" -l "$dir/postgres.log" -w -t 60 \
      start >/dev/null || {
      tail -n 20 "$dir/postgres.log" >&2
      return 1
    }
  fi
  if [ -z "$(gw_pg_psql "$dir" -d postgres -tA -c "select 1 from pg_database where datname = '$GW_PG_DB'")" ]; then
    gw_pg_psql "$dir" -d postgres -c "create database $GW_PG_DB"
  fi
}

gw_pg_stop() {
  local dir=$1 mode=${2:-fast}
  [ -f "$dir/pgdata/PG_VERSION" ] || return 0
  gw_pg_running "$dir" || return 0
  gw_pg_as_owner "$GW_PG_BIN/pg_ctl" -D "$dir/pgdata" -m "$mode" -w -t 60 stop >/dev/null
}

# Applies every backend/sql/NNN_name.sql not applied before, in name order, each in one
# transaction together with the row that records it.
gw_pg_apply_sql() {
  local dir=$1 sqldir=$2 applied f name
  gw_pg_psql "$dir" -d "$GW_PG_DB" -c "create schema if not exists greetwell;
    create table if not exists greetwell.applied_sql (
      name text primary key,
      applied_at timestamptz not null default now())"
  applied=$(gw_pg_psql "$dir" -d "$GW_PG_DB" -tA -c "select name from greetwell.applied_sql")
  for f in "$sqldir"/*.sql; do
    [ -e "$f" ] || continue
    name=$(basename "$f")
    if ! [[ $name =~ ^[0-9]{3}_[A-Za-z0-9_]+\.sql$ ]]; then
      echo "greetwell: skipping $name (expected NNN_name.sql)" >&2
      continue
    fi
    grep -qFx "$name" <<<"$applied" && continue
    gw_pg_psql "$dir" -d "$GW_PG_DB" -1 -f "$f" \
      -c "insert into greetwell.applied_sql (name) values ('$name')" || {
      echo "greetwell: $name failed; nothing of it was applied" >&2
      return 1
    }
  done
}

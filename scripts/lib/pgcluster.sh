# Helpers for a private PostgreSQL 15 cluster that listens only on a Unix socket inside
# its own folder. Used by scripts/backend and the test fixture. Source this file.
#
# Folder layout (DIR):
#   DIR/pgdata/        the cluster; its socket (.s.PGSQL.5432) lives here too
#   DIR/postgres.log   the server log
# As root, DIR/pgdata links to the cluster's own folder instead (see GW_PG_ROOT_HOME).

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

# As root, the postgres user usually cannot reach DIR (root's home is private), and
# opening every parent folder to other users would expose them. So a root-run cluster
# lives in a folder of its own that postgres owns, under GW_PG_ROOT_HOME, and DIR/pgdata
# is a symbolic link to it. (A cluster made earlier directly in DIR/pgdata stays there.)
GW_PG_ROOT_HOME=${GW_PG_ROOT_HOME:-/var/lib/greetwell/clusters}

# The cluster's data folder; its socket (.s.PGSQL.5432) lives there too.
gw_pg_datadir() {
  if [ -L "$1/pgdata" ]; then
    readlink "$1/pgdata"
  else
    printf '%s/pgdata' "$1"
  fi
}

gw_pg_socket_dir() { gw_pg_datadir "$1"; }

gw_pg_logfile() { printf '%s/postgres.log' "$(dirname "$(gw_pg_datadir "$1")")"; }

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
  local pgdata
  pgdata=$(gw_pg_datadir "$dir")
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
  if [ "$(id -u)" -eq 0 ] && [ ! -d "$pgdata" ]; then
    local home
    install -d -m 711 "$GW_PG_ROOT_HOME"
    home=$(mktemp -d "$GW_PG_ROOT_HOME/XXXXXXXXXX")
    chown postgres: "$home"
    rm -f "$dir/pgdata"
    ln -s "$home/pgdata" "$dir/pgdata"
    pgdata=$home/pgdata
    runuser -u postgres -- mkdir -m 700 "$pgdata"
  else
    mkdir -p "$pgdata"
    chmod 700 "$pgdata"
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
  gw_pg_as_owner "$GW_PG_BIN/pg_ctl" -D "$(gw_pg_datadir "$1")" status >/dev/null 2>&1
}

# Starts the cluster (in its own session, so a Ctrl+C in the terminal reaches only the
# caller, which then shuts the database down in order) and creates the database.
gw_pg_start() {
  local dir=$1
  local pgdata log
  pgdata=$(gw_pg_datadir "$dir")
  log=$(gw_pg_logfile "$dir")
  if ! gw_pg_running "$dir"; then
    rm -f "$pgdata/postmaster.pid" 2>/dev/null || true
    gw_pg_as_owner setsid "$GW_PG_BIN/pg_ctl" -D "$pgdata" -l "$log" -w -t 60 \
      start >/dev/null || {
      tail -n 20 "$log" >&2
      return 1
    }
  fi
  if [ -z "$(gw_pg_psql "$dir" -d postgres -tA -c "select 1 from pg_database where datname = '$GW_PG_DB'")" ]; then
    gw_pg_psql "$dir" -d postgres -c "create database $GW_PG_DB"
  fi
}

gw_pg_stop() {
  local dir=$1 mode=${2:-fast} pgdata
  pgdata=$(gw_pg_datadir "$dir")
  [ -f "$pgdata/PG_VERSION" ] || return 0
  gw_pg_running "$dir" || return 0
  gw_pg_as_owner "$GW_PG_BIN/pg_ctl" -D "$pgdata" -m "$mode" -w -t 60 stop >/dev/null
}

# Restarts a running cluster; every connection to it is cut.
gw_pg_restart() {
  local dir=$1 mode=${2:-fast}
  gw_pg_as_owner "$GW_PG_BIN/pg_ctl" -D "$(gw_pg_datadir "$dir")" -l "$(gw_pg_logfile "$dir")" \
    -m "$mode" -w -t 60 restart >/dev/null
}

# Stops the cluster and deletes it, including a root-run cluster's own folder.
gw_pg_remove() {
  local dir=$1 pgdata
  gw_pg_stop "$dir" immediate || true
  if [ -L "$dir/pgdata" ]; then
    pgdata=$(readlink "$dir/pgdata")
    case $pgdata in
      "$GW_PG_ROOT_HOME"/*/pgdata) rm -rf "$(dirname "$pgdata")" ;;
    esac
    rm -f "$dir/pgdata"
  fi
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

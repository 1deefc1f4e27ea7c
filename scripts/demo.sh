#!/usr/bin/env bash
# The demo: sets up run/ at the top of the repository with the built programs, a server
# environment file for 127.0.0.1, a private certificate authority and a server certificate so
# that every request travels over TLS, and one user "demo" (password "demo") who trusts that CA;
# starts the naming service and zksvr with the launchers, waits until the server answers and
# prints what to try.
#
#   scripts/demo.sh          set up (first time) and start; a running demo is left as it is
#   scripts/demo.sh stop     stop the demo's naming service and server (by their process ids)
#
# BUILD names the build directory (default: build). Run it again at any time: the running pair
# is recognised by its pid files and /proc, and only the hints are printed.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-build}
case $build in /*) ;; *) build=$top/$build ;; esac
bin=$build/bin
run=$top/run
demo=$run/demo
admin_password=lanternshadow   # the administrator password of a new server environment file
user=demo
password=demo
preferred_ns_port=21108

server_programs=(zksvr zknsstr zksvstr zkkill zkenv zkuenv zkau zkdu zklu zkaj zkdj zklj zkapwd zkquota)
client_programs=(zkls zkcp zkrm zkpwd zkjob)

die() {
  echo "demo: $*" >&2
  exit 1
}

# True when something accepts connections on 127.0.0.1:$1.
port_busy() {
  (: </dev/tcp/127.0.0.1/"$1") 2>/dev/null
}

# The first port from $1 on that nothing listens on.
free_port_from() {
  local p=$1
  while port_busy "$p"; do p=$((p + 1)); done
  echo "$p"
}

# The pid of a running process whose command line holds the word $2 and whose program is $1.
find_process() {
  local name=$1 word=$2 dir pid exe
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    exe=$(readlink "$dir/exe" 2>/dev/null) || continue
    [ "${exe##*/}" = "$name" ] || continue
    if tr '\0' '\n' <"$dir/cmdline" 2>/dev/null | grep -qxF -- "$word"; then
      echo "$pid"
      return 0
    fi
  done
  return 1
}

# True when the pid in pid file $1 is a live process of program $2 started for this demo ($3).
running_from_pidfile() {
  local pidfile=$1 name=$2 word=$3 pid exe
  [ -f "$pidfile" ] || return 1
  pid=$(cat "$pidfile")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || return 1
  [ "${exe##*/}" = "$name" ] || return 1
  tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF -- "$word"
}

naming_running() { running_from_pidfile "$run/omniNames.pid" omniNames "$run/nsdata"; }
server_running() { running_from_pidfile "$run/zksvr.pid" zksvr "$run/server.zkd"; }

stop_pidfile() {
  local pidfile=$1 pid
  pid=$(cat "$pidfile")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    [ -d "/proc/$pid" ] || break
    sleep 0.1
  done
  [ -d "/proc/$pid" ] && kill -9 "$pid" 2>/dev/null || true
  rm -f "$pidfile"
}

stop_demo() {
  if server_running; then
    stop_pidfile "$run/zksvr.pid"
    echo "demo: zksvr stopped"
  fi
  if naming_running; then
    stop_pidfile "$run/omniNames.pid"
    echo "demo: naming service stopped"
  fi
}

hints() {
  local ns_port pw=$password
  ns_port=$(cat "$run/ns-port")
  local rel_run=${run#"$top"/}
  echo
  echo "The demo server is running: naming service on 127.0.0.1:$ns_port, zksvr serving user \"$user\"."
  echo "Requests travel over TLS; the user's client.conf trusts the demo's own CA ($rel_run/tls/ca.pem)."
  echo "Try, as user \"$user\" (password \"$pw\"), in the user's folder:"
  echo
  echo "  cd $demo"
  printf '  %-38s %s\n' \
    "./zkls -p $pw" "list the storage area ($rel_run/store/$user)" \
    "./zkcp -p $pw hello.txt ::" "copy a local file to the server" \
    "./zkls -p $pw -o n '::*.txt'" "list the text files there, sorted by name" \
    "./zkcp -p $pw ::hello.txt back" "copy it back, into the folder back/" \
    "./zkrm -p $pw ::hello.txt" "remove it on the server" \
    "./zkpwd" "change the password (then give the new one with -p)"
  echo
  echo "Administration, administrator password \"$admin_password\":"
  echo
  echo "  cd $run"
  printf '  %-38s %s\n' "./zklu -a $admin_password" "list the users"
  echo
  echo "Stop it with (zkkill ends every process of that name on this machine):"
  echo
  echo "  $run/zkkill zksvr"
  echo "  $run/zkkill omniNames"
  echo
  echo "or stop only this demo's pair with: scripts/demo.sh stop"
}

# Creates run/tls/ with a private CA and a server key and certificate for 127.0.0.1, the
# server's server.conf (TLS only, publishing 127.0.0.1) and the user's copy of the CA certificate
# with a client.conf that trusts it. Keys and configuration files are the owner's only.
set_up_tls() {
  local tls=$run/tls log=$run/setup.log
  local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  command -v openssl >/dev/null || die "openssl is missing (scripts/install-deps.sh installs it)"
  mkdir -p "$tls"
  chmod 700 "$tls"
  (
    umask 077
    cd "$tls"
    openssl req -x509 "${ec[@]}" -keyout ca.key -out ca.pem -days 3650 -subj "/CN=zk demo CA"
    openssl req "${ec[@]}" -keyout server.key -out server.csr -subj "/CN=127.0.0.1"
    printf 'subjectAltName = IP:127.0.0.1\n' >server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
      -extfile server.ext -out server.crt -days 825
    # omniORB reads the key and its certificate from one file.
    cat server.key server.crt >server.pem
  ) >"$log" 2>&1 || {
    cat "$log" >&2
    die "creating the TLS certificates failed"
  }
  (
    umask 077
    # The demo serves this machine only, over TLS only: the server publishes its loopback
    # address, so every request stays on 127.0.0.1, and has no clear-text endpoint. omniORB
    # wants a key password even for a key that has none.
    printf '%s\n' "endPointPublish = giop:ssl:127.0.0.1:" "sslCAFile = $tls/ca.pem" \
      "sslKeyFile = $tls/server.pem" "sslKeyPassword = unused" >"$run/server.conf"
    cp "$tls/ca.pem" "$demo/ca.pem"
    echo "sslCAFile = $demo/ca.pem" >"$demo/client.conf"
  )
  echo "demo: set up TLS (${tls#"$top"/}/: private CA, server certificate for 127.0.0.1)"
}

# Creates server.zkd, the demo user, its storage directory and client.zkd.
set_up() {
  local ns_port ssl_port log=$run/setup.log
  ns_port=$(free_port_from "$preferred_ns_port")
  ssl_port=$(free_port_from $((ns_port + 1)))
  rm -f "$run/server.zkd" "$demo/client.zkd"
  mkdir -p "$run/store"
  (
    cd "$run"
    ./zkenv -n 127.0.0.1 -i "$ns_port" -s "$ssl_port" -u 1000
    ./zkau -a "$admin_password" "$user" "$password" "$run/store/$user/"
  ) >"$log" 2>&1 || {
    cat "$log" >&2
    die "setting up the server environment failed"
  }
  # zkau writes the user's client.zkd beside itself; the user's folder is demo/.
  mv "$run/client.zkd" "$demo/client.zkd"
  echo "$ns_port" >"$run/ns-port"
  echo "demo: set up ${run#"$top"/}/server.zkd (naming service port $ns_port) and user \"$user\""
  set_up_tls
}

# Waits until the server authenticates a client request (any answer but an ORB failure).
wait_for_server() {
  local err
  for _ in $(seq 100); do
    if err=$(cd "$demo" && ./zkls -p "$password" 2>&1 >/dev/null); then return 0; fi
    case $err in *"CORBA Exception"* | *"orb->destroy error"*) ;; *) return 0 ;; esac
    sleep 0.2
  done
  return 1
}

start_demo() {
  local p
  for p in "${server_programs[@]}" "${client_programs[@]}"; do
    [ -x "$bin/$p" ] || die "$bin/$p is missing: build first (make build)"
  done
  mkdir -p "$run" "$demo"
  for p in "${server_programs[@]}"; do ln -sfn "$bin/$p" "$run/$p"; done
  for p in "${client_programs[@]}"; do ln -sfn "$bin/$p" "$demo/$p"; done
  [ -f "$demo/hello.txt" ] || echo "こんにちは、zk" >"$demo/hello.txt"

  if naming_running && server_running; then
    echo "demo: already running (naming service pid $(cat "$run/omniNames.pid"), zksvr pid $(cat "$run/zksvr.pid"))"
    hints
    return 0
  fi

  # A fresh setup when there is none yet, or when another program took the naming port.
  if [ ! -f "$run/server.zkd" ] || [ ! -f "$demo/client.zkd" ] || [ ! -f "$run/ns-port" ]; then
    set_up
  elif ! naming_running && port_busy "$(cat "$run/ns-port")"; then
    echo "demo: port $(cat "$run/ns-port") is taken by another program; setting up again"
    server_running && stop_pidfile "$run/zksvr.pid"
    set_up
  fi
  # A demo set up before it used TLS gets its certificates before the server starts again.
  if ! server_running && ! grep -q '^sslKeyFile' "$run/server.conf" 2>/dev/null; then
    set_up_tls
  fi
  local ns_port
  ns_port=$(cat "$run/ns-port")

  if ! naming_running; then
    (cd "$run" && ./zknsstr) || die "zknsstr failed"
    for _ in $(seq 100); do
      port_busy "$ns_port" && break
      sleep 0.1
    done
    p=$(find_process omniNames "$run/nsdata") || die "the naming service did not start"
    echo "$p" >"$run/omniNames.pid"
    echo "demo: naming service started on 127.0.0.1:$ns_port (pid $p)"
  fi
  if ! server_running; then
    (cd "$run" && ./zksvstr) || die "zksvstr failed"
    for _ in $(seq 50); do
      p=$(find_process zksvr "$run/server.zkd") && break
      sleep 0.1
    done
    [ -n "${p:-}" ] && [ -d "/proc/$p" ] || die "zksvr did not start"
    echo "$p" >"$run/zksvr.pid"
    echo "demo: zksvr started (pid $p)"
  fi
  wait_for_server || die "zksvr does not answer; see the programs in ${run#"$top"/}/"
  hints
}

case ${1:-start} in
  start) start_demo ;;
  stop) stop_demo ;;
  *) die "usage: $0 [start|stop]" ;;
esac

#!/bin/bash
# The Debian package, checked as an administrator would meet it:
#
#   package_test.sh BUILD build      makes BUILD/package-test/zk_*.deb with CPack
#   package_test.sh BUILD contents   every program, unit, manual page and document is in it
#   package_test.sh BUILD lintian    lintian finds no error
#   package_test.sh BUILD units      systemd-analyze verify accepts both units
#   package_test.sh BUILD manpages   every page renders without a warning, and man finds them
#   package_test.sh BUILD serves     unpacked into a temporary root: zksetup, then omniNames and
#                                    zksvr started with the units' own command lines, serve
#                                    zkls and zkcp over TLS from the user's settings folder
#
# A step whose tool is missing prints why and exits 77 (ctest counts it as skipped). Every
# process started here is stopped by its process id.
set -uo pipefail

build=$(cd "${1:?build folder}" && pwd)
step=${2:?step}
out=$build/package-test
deb() { ls "$out"/zk_*_*.deb 2>/dev/null | head -1; }

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh installs it)"
  done
}
need_package() {
  [ -n "$(deb)" ] || skip "no package was built (see the package_build test)"
}

tmp=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

# What the package must hold.
user_tools=(zkcp zkls zkrm zkpwd zkjob zkenv zkuenv zkau zkdu zklu zkaj zkdj zklj zkapwd zkquota)
system_programs=(zksvr zknsstr zksvstr zkkill zksetup)
expected_files() {
  local p
  for p in "${user_tools[@]}"; do
    echo "./usr/bin/$p"
    echo "./usr/share/man/man1/$p.1.gz"
  done
  for p in "${system_programs[@]}"; do
    echo "./usr/sbin/$p"
    echo "./usr/share/man/man8/$p.8.gz"
  done
  echo ./usr/share/man/man7/zk.7.gz
  echo ./usr/lib/systemd/system/zk-naming.service
  echo ./usr/lib/systemd/system/zksvr.service
  echo ./usr/share/doc/zk/copyright
  echo ./usr/share/doc/zk/changelog.gz
}

# Unpacks the package into $tmp/root once.
unpack() {
  root=$tmp/root
  [ -d "$root" ] && return
  dpkg-deb -x "$(deb)" "$root" || fail "dpkg-deb -x failed"
}

# The unit's file with the package's paths moved into $root (what runs from the unpacked tree).
rewritten_unit() {
  sed -e "s#/usr/sbin/#$root/usr/sbin/#g" -e "s#/usr/bin/zk#$root/usr/bin/zk#g" \
    -e "s#/etc/zk#$root/etc/zk#g" -e "s#/var/lib/zk#$root/var/lib/zk#g" \
    "$root/usr/lib/systemd/system/$1"
}

# The value of `key` in a unit text on standard input (the last one when repeated).
unit_value() {
  sed -n "s/^$1=//p" | tail -1
}

# systemd's expansion of ${NAME} and $$ in a command line, from the variables in the files and
# assignments given (NAME=value lines).
expand_command() {
  local line=${1//\$\$/$'\x01'} name value # "$$" is a literal "$", never part of a name
  shift
  while IFS='=' read -r name value; do
    [[ $name =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || continue
    line=${line//\$\{$name\}/$value}
  done < <(cat "$@")
  printf '%s\n' "${line//$'\x01'/\$}"
}

# A TCP port on 127.0.0.1 that nothing listens on, below the range the system takes the local
# ports of outgoing connections from: a connection of another test that closed just now may still
# hold one of those (TIME_WAIT), and the server could not bind it.
free_port() {
  local p low=32768
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
  [ "$low" -gt 21024 ] || low=32768
  while :; do
    p=$((20000 + RANDOM % (low - 20000)))
    (: </dev/tcp/127.0.0.1/"$p") 2>/dev/null || break
  done
  echo "$p"
}

# Runs zksvr as zksvr.service does, with its paths in $root: in its WorkingDirectory, with the
# program name systemd passes ("@program argv0 args"), and only the unit's Environment= (systemd
# starts services with an almost empty environment).
# It replaces the calling shell: call it in the background or in a subshell. With `limit` set it
# is ended after that many seconds.
start_server() {
  local unit workdir environment program arg0 argv
  unit=$(rewritten_unit zksvr.service)
  workdir=$(unit_value WorkingDirectory <<<"$unit")
  environment=$(unit_value Environment <<<"$unit")
  read -ra argv <<<"$(unit_value ExecStart <<<"$unit")"
  program=${argv[0]}
  arg0=$program
  if [[ $program == @* ]]; then
    program=${program#@}
    arg0=${argv[1]}
    argv=("${argv[@]:1}")
  fi
  cd "$workdir" && exec ${limit:+timeout "$limit"} env -i PATH=/usr/bin:/bin "$environment" \
    bash -c 'exec -a "$0" "$@"' "$arg0" "$program" "${argv[@]:1}"
}

case $step in
  build)
    need cpack dpkg-deb dpkg-shlibdeps
    rm -rf "$out"
    mkdir -p "$out"
    cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 || {
      cat "$out/cpack.log"
      fail "cpack failed"
    }
    [ -n "$(deb)" ] || fail "cpack made no .deb"
    echo "built $(basename "$(deb)")"
    ;;

  contents)
    need dpkg-deb
    need_package
    listing=$(dpkg-deb -c "$(deb)") || fail "dpkg-deb -c failed"
    missing=0
    while read -r path; do
      if ! grep -qE " $path\$" <<<"$listing"; then
        echo "missing: $path"
        missing=1
      fi
    done < <(expected_files)
    [ $missing -eq 0 ] || fail "the package lacks files"
    # Programs are executable; the folders for settings and data come from the maintainer
    # scripts, not from the archive (a purge would otherwise not know what it made).
    for p in "${user_tools[@]}"; do
      grep -qE "^-rwxr-xr-x root/root .* \./usr/bin/$p\$" <<<"$listing" || fail "$p is not 0755 root"
    done
    if grep -qE " \./(etc|var)/" <<<"$listing"; then fail "the archive holds /etc or /var"; fi
    depends=$(dpkg-deb -f "$(deb)" Depends)
    for d in omniorb-nameserver libomniorb4 libace libsqlite3 openssl adduser; do
      grep -q "$d" <<<"$depends" || fail "Depends lacks $d: $depends"
    done
    scripts=$(dpkg-deb -I "$(deb)")
    for s in postinst prerm postrm; do
      grep -q " $s " <<<"$scripts" || fail "no $s maintainer script"
    done
    echo "contents ok: $(expected_files | wc -l) files checked"
    ;;

  lintian)
    need lintian
    need_package
    lintian --fail-on error "$(deb)" 2>&1 | grep -v "running with root privileges"
    status=${PIPESTATUS[0]}
    [ "$status" -eq 0 ] || fail "lintian reports errors (status $status)"
    echo "lintian: no error"
    ;;

  units)
    need systemd-analyze man dpkg-deb
    need_package
    unpack
    mkdir -p "$tmp/units" "$root/etc/zk" "$root/var/lib/zk/naming"
    for unit in zk-naming.service zksvr.service; do
      rewritten_unit "$unit" >"$tmp/units/$unit"
    done
    # Documentation= pages are looked up with man: the package's own.
    report=$(cd "$tmp/units" && MANPATH=$root/usr/share/man \
      systemd-analyze verify zk-naming.service zksvr.service 2>&1)
    status=$?
    [ "$status" -eq 0 ] && [ -z "$report" ] || fail "systemd-analyze verify (status $status): $report"
    echo "units ok"
    ;;

  manpages)
    need man groff dpkg-deb
    need_package
    unpack
    pages=("$root"/usr/share/man/man[178]/*.gz)
    [ ${#pages[@]} -eq 21 ] || fail "expected 21 manual pages, found ${#pages[@]}"
    for page in "${pages[@]}"; do
      name=$(basename "$page" .gz)
      warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l --warnings=w "$page" 2>&1 >"$tmp/page.txt")
      [ -z "$warnings" ] || fail "$name: $warnings"
      grep -q "^名前" "$tmp/page.txt" || fail "$name renders without its name section"
      warnings=$(zcat "$page" | groff -man -ww -Tutf8 -K utf8 -z 2>&1)
      [ -z "$warnings" ] || fail "$name (groff -ww): $warnings"
    done
    # "man zkcp" after installation: the page is found by name in the installed tree.
    LC_ALL=C.UTF-8 MANWIDTH=80 man -M "$root/usr/share/man" zkcp >"$tmp/zkcp.txt" 2>&1 ||
      fail "man zkcp: $(cat "$tmp/zkcp.txt")"
    grep -q "zkcp - " "$tmp/zkcp.txt" || fail "man zkcp shows something else"
    echo "manual pages ok: ${#pages[@]}"
    ;;

  serves)
    need dpkg-deb openssl omniNames
    need_package
    unpack
    conf=$root/etc/zk
    state=$root/var/lib/zk
    ns_port=$(free_port)
    ssl_port=$(free_port)
    [ "$ns_port" != "$ssl_port" ] || ssl_port=$(free_port)

    # The server as zksvr.service starts it, before the set-up: its error reaches standard error
    # (the journal) byte for byte, and it ends with 20.
    mkdir -p "$conf"
    (limit=30 start_server) >"$tmp/zksvr.out" 2>"$tmp/zksvr.err"
    status=$?
    expected="ERROR:サーバ環境設定ファイルが存在しません。($conf/server.zkd)"
    [ "$status" -eq 20 ] && [ "$(cat "$tmp/zksvr.err")" = "$expected" ] && [ ! -s "$tmp/zksvr.out" ] ||
      fail "zksvr without settings: status $status, $(cat "$tmp/zksvr.out" "$tmp/zksvr.err")"

    # First set-up, with the packaged command, into the temporary root.
    "$root/usr/sbin/zksetup" -n 127.0.0.1 -i "$ns_port" -s "$ssl_port" -a admin-pw \
      -c "$conf" -d "$state" -o "$(id -un)" >"$tmp/setup.out" 2>"$tmp/setup.err" </dev/null ||
      fail "zksetup: $(cat "$tmp/setup.out" "$tmp/setup.err")"
    for f in server.zkd server.conf server.pem ca.pem ca.key naming.conf; do
      [ -f "$conf/$f" ] || fail "zksetup made no $f"
    done
    for f in server.zkd server.conf server.pem ca.key naming.conf; do
      [ "$(stat -c %a "$conf/$f")" = 600 ] || fail "$f is not owner-only"
    done
    [ "$(stat -c %a "$conf")" = 700 ] || fail "$conf is not owner-only"
    # A second run refuses to replace what the first made.
    if "$root/usr/sbin/zksetup" -n 127.0.0.1 -c "$conf" -d "$state" </dev/null >/dev/null 2>&1; then
      fail "zksetup ran twice over the same settings"
    fi

    # The naming service, with zk-naming.service's command line and environment.
    rewritten_unit zk-naming.service >"$tmp/zk-naming.service"
    env_file=$(unit_value EnvironmentFile <"$tmp/zk-naming.service")
    [ "$env_file" = "$conf/naming.conf" ] || fail "zk-naming.service reads $env_file"
    start=$(expand_command "$(unit_value ExecStart <"$tmp/zk-naming.service")" "$env_file")
    read -ra argv <<<"$start"
    "${argv[@]}" >"$tmp/naming.log" 2>&1 &
    pids+=($!)
    # Its readiness check returns once the naming service listens.
    ready=$(expand_command "$(unit_value ExecStartPost <"$tmp/zk-naming.service")" "$env_file")
    (set -a && . "$env_file" && bash -c "$ready") ||
      fail "the naming service is not ready: $(cat "$tmp/naming.log")"

    # The server, started as its unit starts it.
    start_server >"$tmp/zksvr.out" 2>"$tmp/zksvr.err" &
    server_pid=$!
    pids+=("$server_pid")

    # A user, added with the packaged zkau as the administrator would; the user keeps
    # client.zkd, the CA and client.conf in ~/.config/zk and runs the tools from PATH.
    export PATH=$root/usr/bin:$PATH
    (cd "$state" && zkau -e "$conf/server.zkd" -a admin-pw alice alice-pw "$state/store/alice/") \
      >"$tmp/zkau.out" 2>&1 || fail "zkau: $(cat "$tmp/zkau.out")"
    home=$tmp/home
    mkdir -p "$home/.config/zk" "$tmp/work"
    mv "$state/client.zkd" "$home/.config/zk/client.zkd"
    cp "$conf/ca.pem" "$home/.config/zk/ca.pem"
    echo "sslCAFile = $home/.config/zk/ca.pem" >"$home/.config/zk/client.conf"
    cd "$tmp/work"
    export HOME=$home
    unset XDG_CONFIG_HOME

    listed=no
    for _ in $(seq 100); do
      if zkls -p alice-pw >"$tmp/zkls.out" 2>"$tmp/zkls.err"; then
        listed=yes
        break
      fi
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.2
    done
    [ $listed = yes ] || fail "zkls: $(cat "$tmp/zkls.err"); zksvr: $(cat "$tmp/zksvr.err")"

    echo "こんにちは、zk" >hello.txt
    zkcp -p alice-pw hello.txt :: >"$tmp/zkcp.out" 2>&1 || fail "zkcp up: $(cat "$tmp/zkcp.out")"
    cmp -s hello.txt "$state/store/alice/hello.txt" || fail "the stored file differs"
    zkls -p alice-pw >"$tmp/zkls.out" 2>&1 || fail "zkls: $(cat "$tmp/zkls.out")"
    grep -q " hello.txt$" "$tmp/zkls.out" || fail "zkls does not list hello.txt: $(cat "$tmp/zkls.out")"
    zkcp -p alice-pw ::hello.txt back >"$tmp/zkcp.out" 2>&1 || fail "zkcp down: $(cat "$tmp/zkcp.out")"
    cmp -s hello.txt back/hello.txt || fail "the copy back differs"

    # TLS only: without the CA the same user reaches nothing.
    mv "$home/.config/zk/client.conf" "$home/.config/zk/client.conf.off"
    if zkls -p alice-pw >"$tmp/zkls.out" 2>"$tmp/zkls.err"; then
      fail "a client without the CA was served"
    fi
    grep -q "^CORBA Exception: " "$tmp/zkls.err" || fail "unexpected refusal: $(cat "$tmp/zkls.err")"

    # SIGTERM, as systemctl stop sends it: a clean end with status 0.
    kill -TERM "$server_pid"
    wait "$server_pid"
    status=$?
    pids=("${pids[@]/$server_pid/}")
    [ "$status" -eq 0 ] || fail "zksvr ended with $status on SIGTERM: $(cat "$tmp/zksvr.err")"
    echo "the unpacked package serves over TLS"
    ;;

  *)
    fail "unknown step $step"
    ;;
esac
exit 0

#!/bin/sh
# Transfer benchmark: zkcp (default and large unit, and over TLS for the large file) beside scp
# and rsync over a private OpenSSH server on a free loopback port, and cp -r as the floor; 1 GiB
# file and 10,000 files of 4 KiB, up and down; and files beyond 4 GiB: a sparse file of 5 GiB
# (beside one of 1 GiB) by zkcp and cp -r. Needs about 3 GiB in $TMPDIR (or /tmp); the sparse
# files and their copies take almost none.
# Installs openssh-server, openssh-client and rsync with apt-get only when missing (services are
# not started by the installation). The sshd started here uses throwaway host and user keys in a
# temporary folder, listens on 127.0.0.1 only, and is stopped by its process id at the end; the
# system's own sshd is never touched.
# Build first (cmake --build BUILD --target zktransferbench zksvr zkcp); this script builds nothing.
# Usage: bench/transfer.sh [BUILD_DIR]   (default: build)
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
ZK_BIN=$(cd "$build/bin" && pwd)
export ZK_BIN

missing=""
[ -x /usr/sbin/sshd ] || missing="$missing openssh-server"
command -v scp >/dev/null 2>&1 || missing="$missing openssh-client"
command -v rsync >/dev/null 2>&1 || missing="$missing rsync"
if [ -n "$missing" ]; then
  # Keep package scripts from starting the system's ssh service during the installation.
  own_policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    own_policy=1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
  [ -n "$own_policy" ] && rm -f /usr/sbin/policy-rc.d
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zk-sshbench.XXXXXX")
sshd_pid=""
cleanup() {
  if [ -n "$sshd_pid" ]; then kill "$sshd_pid" 2>/dev/null || true; wait "$sshd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/user_key"
cp "$work/user_key.pub" "$work/authorized_keys"
chmod 600 "$work/authorized_keys"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sftp=/usr/lib/openssh/sftp-server
cat > "$work/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile $work/sshd.pid
PasswordAuthentication no
KbdInteractiveAuthentication no
PubkeyAuthentication yes
PermitRootLogin prohibit-password
StrictModes no
UsePAM no
Subsystem sftp $sftp
CONF
# The privilege-separation directory that sshd insists on (normally made by the service).
[ -d /run/sshd ] || mkdir -p /run/sshd
/usr/sbin/sshd -D -f "$work/sshd_config" -E "$work/sshd.log" &
sshd_pid=$!
i=0
until ssh -p "$port" -i "$work/user_key" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
      -o BatchMode=yes -o LogLevel=ERROR "$(id -un)@127.0.0.1" true 2>/dev/null; do
  i=$((i + 1))
  if [ $i -ge 50 ]; then echo "sshd did not come up:"; cat "$work/sshd.log"; exit 1; fi
  sleep 0.2
done

ZK_BENCH_SSH_PORT=$port ZK_BENCH_SSH_KEY=$work/user_key "$ZK_BIN/zktransferbench"

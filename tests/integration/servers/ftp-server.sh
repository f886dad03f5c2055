#!/usr/bin/env bash
# Starts and stops a real FTP server on 127.0.0.1 for the tests (as root, Debian 12).
#
#   ftp-server.sh start NAME STATE_DIR   NAME: vsftpd, pure-ftpd or proftpd.
#       Prints the port once the server has answered with its 220 greeting.
#   ftp-server.sh stop NAME STATE_DIR
#       Ends the server and every process it started, its sessions included.
#
# Settings for start (environment):
#   ROOT            the folder served (required); the FTP user acts as its owner
#   PORT            control port (default: a free one in 20000-32767)
#   FTP_USER/FTP_PASS   the login (default tester/secret)
#   TLS             off | on (explicit AUTH TLS offered) | required (no clear login or data)
#   PASV_MIN/PASV_MAX   passive data ports (default 10000-10999)
#   OWNER_PID       when set, the server is killed soon after that process has gone
#   FTP_PKG_CACHE   where servers that are not installed get unpacked (/tmp/korvalo-ftp-pkgs)
#
# STATE_DIR receives pid (= the process group), port, log, the configuration, the
# user files and, with TLS, cert.pem (self-signed for localhost and 127.0.0.1) and key.pem.
#
# Debian's FTP servers conflict with each other as packages, so a server that is not
# installed is fetched with "apt-get download" and unpacked (once) into the cache. The
# test user exists only inside the server's own mount namespace, where copies of
# /etc/passwd, /etc/shadow (and /etc/pam.d for vsftpd) are bound: /etc is never changed.
set -euo pipefail
set +m

cmd=${1:-} NAME=${2:-} STATE=${3:-}
usage() { echo "usage: $0 start|stop vsftpd|pure-ftpd|proftpd STATE_DIR" >&2; exit 2; }
[ -n "$STATE" ] || usage
case $NAME in vsftpd | pure-ftpd | proftpd) ;; *) usage ;; esac
: "${FTP_USER:=tester}" "${FTP_PASS:=secret}" "${TLS:=off}" "${PASV_MIN:=10000}" "${PASV_MAX:=10999}"
: "${FTP_PKG_CACHE:=/tmp/korvalo-ftp-pkgs}" "${OWNER_PID:=}"

die() { echo "ftp-server.sh $NAME: $*" >&2; exit 1; }

# server_pids PGID: the live (not zombie) processes of process group PGID and all their
# descendants: the launcher, the watchdog, the server and its session processes (vsftpd
# puts each session into a process group of its own).
server_pids() {
  ps -e -o pid=,ppid=,pgid=,stat= | awk -v g="$1" '
    { pid[NR] = $1; ppid[NR] = $2; zombie[NR] = ($4 ~ /^Z/); if ($3 == g) mine[$1] = 1 }
    END {
      do { grew = 0
        for (i = 1; i <= NR; i++) if (!(pid[i] in mine) && (ppid[i] in mine)) { mine[pid[i]] = 1; grew = 1 }
      } while (grew)
      for (i = 1; i <= NR; i++) if ((pid[i] in mine) && !zombie[i]) print pid[i]
    }'
}

# The launcher (unshare) has the first process of the server's pid namespace killed when
# it dies, and the kernel then kills everything else in that namespace; what is still
# there after 3 s gets SIGKILL.
stop_server() {
  local pid pids left
  pid=$(cat "$STATE/pid" 2>/dev/null) || return 0
  pids=$(server_pids "$pid")
  kill -TERM -- "-$pid" 2>/dev/null || true
  for i in $(seq 50); do
    # shellcheck disable=SC2086
    left=$(ps -o pid=,stat= -p "$(echo $pids | tr ' ' ,)" 2>/dev/null | awk '$2 !~ /^Z/ { print $1 }' || true)
    [ -z "$left" ] && break
    # shellcheck disable=SC2086
    [ "$i" -lt 30 ] || kill -KILL $left 2>/dev/null || true
    sleep 0.1
  done
  [ -z "$left" ] || die "processes $left did not end"
  rm -f "$STATE/pid"
}

if [ "$cmd" = stop ]; then stop_server; exit 0; fi
[ "$cmd" = start ] || usage

# --- the server's files -------------------------------------------------------------

# installed_or_fetched PKG...: prints "" when every PKG is installed, else the folder
# they are unpacked in. Their missing lib* dependencies are installed with apt-get.
installed_or_fetched() {
  local p missing=0 dir=$FTP_PKG_CACHE/$NAME
  for p in "$@"; do
    dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed || missing=1
  done
  [ $missing = 1 ] || return 0
  mkdir -p "$FTP_PKG_CACHE"
  (
    flock 9   # one fetch at a time: apt and dpkg take locks of their own
    [ -e "$dir/.done" ] && exit 0
    rm -rf "$dir" && mkdir -p "$dir" && cd "$dir"
    fetch() { apt-get download -q -o APT::Sandbox::User=root "$@"; }
    fetch "$@" || { apt-get update -q && fetch "$@"; }
    local deb libs="" lib
    for deb in ./*.deb; do
      dpkg-deb -x "$deb" root
      for lib in $(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g' | grep '^lib'); do
        dpkg-query -W -f='${db:Status-Status}' "$lib" 2>/dev/null | grep -qx installed || libs+=" $lib"
      done
    done
    if [ -n "$libs" ]; then
      # shellcheck disable=SC2086
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -o DPkg::Lock::Timeout=120 $libs
    fi
    touch .done
  ) 9>"$FTP_PKG_CACHE/.lock" >"$FTP_PKG_CACHE/$NAME.log" 2>&1 ||
    { cat "$FTP_PKG_CACHE/$NAME.log" >&2; die "could not fetch $*"; }
  echo "$dir/root"
}

# --- settings shared by the three servers ---------------------------------------------

[ "$(id -u)" = 0 ] || die "must run as root (it binds copies of /etc/passwd and /etc/shadow)"
[ -n "${ROOT:-}" ] || die "ROOT (the folder to serve) is not set"
case $TLS in off | on | required) ;; *) die "TLS must be off, on or required" ;; esac
mkdir -p "$ROOT" "$STATE"
ROOT=$(cd "$ROOT" && pwd)
STATE=$(cd "$STATE" && pwd)
if [ -e "$STATE/pid" ] && [ -n "$(server_pids "$(cat "$STATE/pid")")" ]; then die "already running in $STATE"; fi

if [ "$TLS" != off ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$STATE/key.pem" -out "$STATE/cert.pem" 2>"$STATE/openssl.log" ||
    die "openssl: $(cat "$STATE/openssl.log")"
  chmod 600 "$STATE/key.pem"
fi

# The FTP user has the uid/gid of ROOT's owner and ROOT as home; the "/./" makes
# pure-ftpd lock even uid 0 into it (the others are told ROOT directly).
uid=$(stat -c %u "$ROOT") gid=$(stat -c %g "$ROOT")
{ grep -v "^$FTP_USER:" /etc/passwd; echo "$FTP_USER:x:$uid:$gid::$ROOT/./:/bin/sh"; } >"$STATE/passwd"
{ grep -v "^$FTP_USER:" /etc/shadow; echo "$FTP_USER:$(openssl passwd -6 "$FTP_PASS"):19000:0:99999:7:::"; } >"$STATE/shadow"
chmod 644 "$STATE/passwd"; chmod 600 "$STATE/shadow"
yes_no() { [ "$1" = 1 ] && echo YES || echo NO; }
tls_required=$([ "$TLS" = required ] && echo 1 || echo 0)

# --- one function per server: writes its configuration for $PORT, sets server=(cmd...) --

configure_vsftpd() {
  local pkg
  pkg=$(installed_or_fetched vsftpd)
  mkdir -p "$STATE/pam.d" "$STATE/empty"
  printf '%s\n' 'auth required pam_unix.so' 'account required pam_unix.so' \
    'session required pam_permit.so' >"$STATE/pam.d/vsftpd"
  binds+=("$STATE/pam.d:/etc/pam.d")
  cat >"$STATE/vsftpd.conf" <<CONF
listen=YES
listen_address=127.0.0.1
listen_port=$PORT
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$ROOT
chroot_local_user=YES
allow_writeable_chroot=YES
pam_service_name=vsftpd
secure_chroot_dir=$STATE/empty
nopriv_user=nobody
pasv_min_port=$PASV_MIN
pasv_max_port=$PASV_MAX
xferlog_enable=YES
vsftpd_log_file=$STATE/vsftpd.log
CONF
  if [ "$TLS" != off ]; then
    cat >>"$STATE/vsftpd.conf" <<CONF
ssl_enable=YES
rsa_cert_file=$STATE/cert.pem
rsa_private_key_file=$STATE/key.pem
force_local_logins_ssl=$(yes_no $tls_required)
force_local_data_ssl=$(yes_no $tls_required)
CONF
  fi
  server=("$pkg/usr/sbin/vsftpd" "$STATE/vsftpd.conf")
}

configure_pure-ftpd() {
  local pkg
  pkg=$(installed_or_fetched pure-ftpd)
  # -l unix: the bound passwd/shadow; -A: chroot; -E: no anonymous; -u 0: uid 0 may log in
  server=("$pkg/usr/sbin/pure-ftpd" -S "127.0.0.1,$PORT" -p "$PASV_MIN:$PASV_MAX" -l unix
    -A -E -H -u 0 -O "clf:$STATE/xferlog")
  case $TLS in
    on) server+=(-Y 1 -2 "$STATE/cert.pem,$STATE/key.pem") ;;
    required) server+=(-Y 3 -2 "$STATE/cert.pem,$STATE/key.pem") ;;  # control and data
  esac
}

configure_proftpd() {
  local pkg
  pkg=$(installed_or_fetched proftpd-core proftpd-mod-crypto)
  cat >"$STATE/proftpd.conf" <<CONF
ServerName "korvalo test"
ServerType standalone
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
Port $PORT
PassivePorts $PASV_MIN $PASV_MAX
ModulePath $pkg/usr/lib/proftpd
PidFile $STATE/proftpd.pid
ScoreboardFile $STATE/proftpd.scoreboard
SystemLog $STATE/proftpd.log
TransferLog $STATE/xferlog
WtmpLog off
UseReverseDNS off
DelayEngine off
AuthOrder mod_auth_unix.c
RequireValidShell off
RootLogin on
DefaultRoot "$ROOT"
Umask 022
AllowOverwrite on
AllowStoreRestart on
CONF
  if [ "$TLS" != off ]; then
    cat >>"$STATE/proftpd.conf" <<CONF
LoadModule mod_tls.c
TLSEngine on
TLSLog $STATE/tls.log
TLSRSACertificateFile $STATE/cert.pem
TLSRSACertificateKeyFile $STATE/key.pem
TLSRequired $([ $tls_required = 1 ] && echo on || echo off)
TLSVerifyClient off
CONF
  fi
  server=("$pkg/usr/sbin/proftpd" -n -c "$STATE/proftpd.conf")
}

# --- launching ------------------------------------------------------------------------

free_port() {
  local p
  for _ in $(seq 100); do
    p=$((20000 + RANDOM % 12768))
    [ -n "$(ss -Htan "sport = :$p")" ] || { echo $p; return; }
  done
  die "found no free port"
}

# Runs "${server[@]}" with "${binds[@]}" bound in a mount namespace of its own. Returns 0
# once it greets with 220, 1 when it exited or could not start (a port taken meanwhile, a
# bad setting: see $STATE/log), 2 when it did not greet in time.
launch() {
  local b line pid listener
  [ -z "$(ss -Htln "sport = :$PORT")" ] || { echo "port $PORT is already in use" >"$STATE/log"; return 1; }
  { echo 'set -e'
    for b in "${binds[@]}"; do printf 'mount --bind %q %q\n' "${b%%:*}" "${b#*:}"; done
    printf '%q ' "${server[@]}"; echo '&'
    echo 'wait $!'; } >"$STATE/run.sh"
  # setsid: a process group of its own. The watchdog, left behind by a double fork but in
  # that group, kills the group once OWNER_PID has gone (a test that crashed before it
  # could stop the server). unshare: mount and pid namespaces of its own, where run.sh
  # binds the files and starts the server; run.sh is pid 1 there, killed when unshare
  # dies, and it reaps the orphans that pid 1 inherits (vsftpd stops at a child it did
  # not start, so it cannot be pid 1 itself).
  setsid bash -c '
    if [ -n "$OWNER_PID" ]; then
      ( (while kill -0 "$OWNER_PID"; do sleep 1; done; kill -KILL 0) >/dev/null 2>&1 </dev/null & )
    fi
    exec "$@"' launcher unshare --mount --propagation private --pid --fork --kill-child \
    bash "$STATE/run.sh" >"$STATE/log" 2>&1 </dev/null &
  pid=$!
  echo "$pid" >"$STATE/pid"
  echo "$PORT" >"$STATE/port"
  local deadline=$((SECONDS + 30))
  while [ $SECONDS -lt $deadline ]; do
    [[ $(ps -o stat= -p "$pid") == [^Z]* ]] || { stop_server; return 1; }
    line=$( (exec 3<>"/dev/tcp/127.0.0.1/$PORT" && IFS= read -r -t 5 l <&3 && echo "$l") 2>/dev/null || true)
    if [[ $line == 220* ]]; then
      [ "$(ps -o pgid= -p "$pid" | tr -d ' ')" = "$pid" ] || { stop_server; die "not in a process group of its own"; }
      # The greeting must come from this server, not from one that took the port first.
      listener=$(ss -Htlnp "sport = :$PORT" | grep -o 'pid=[0-9]*' | head -n 1 | cut -d= -f2)
      server_pids "$pid" | grep -qx "${listener:-none}" && return 0
      echo "port $PORT is taken by process ${listener:-?}" >>"$STATE/log"
      stop_server
      return 1
    fi
    sleep 0.1
  done
  stop_server
  return 2
}

for attempt in 1 2 3; do
  port_given=${PORT:+1}
  PORT=${PORT:-$(free_port)}
  binds=("$STATE/passwd:/etc/passwd" "$STATE/shadow:/etc/shadow")
  "configure_$NAME"
  rc=0; launch || rc=$?
  [ $rc = 0 ] && { echo "$PORT"; exit 0; }
  [ $rc = 1 ] && [ -z "$port_given" ] && [ $attempt -lt 3 ] && { unset PORT; continue; }
  break
done
cat "$STATE/log" >&2 2>/dev/null || true
[ $rc = 2 ] && die "no 220 greeting on 127.0.0.1:$PORT within 30 s"
die "the server exited at start (port $PORT)"

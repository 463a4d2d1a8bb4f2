#!/usr/bin/env bash
# kmdemo: kmquery at work against the reference agent on loopback, and
# against a private snmpd when one is installed. Builds nothing: the build
# writes this script to <build>/tools/kmdemo with the program paths filled in
# (KMQUERY and KMAGENTD in the environment override them). Everything it
# starts is stopped by PID when it exits. Exit status 0 only when every step
# worked.
set -u

KMQUERY=${KMQUERY:-@KMQUERY@}
KMAGENTD=${KMAGENTD:-@KMAGENTD@}
KMISCD=${KMISCD:-@KMISCD@}
SNMPD=${SNMPD:-}

if [ ! -x "$KMQUERY" ]; then
  echo "kmdemo: kmquery not found at '$KMQUERY' (build it, or set KMQUERY)" >&2
  exit 1
fi
if [ ! -x "$KMAGENTD" ]; then
  echo "kmdemo: kmagentd not found at '$KMAGENTD' (build it, or set KMAGENTD)" >&2
  exit 1
fi
if [ -z "$SNMPD" ]; then
  for p in /usr/sbin/snmpd /usr/local/sbin/snmpd /sbin/snmpd; do
    if [ -x "$p" ]; then SNMPD=$p; break; fi
  done
fi

work=$(mktemp -d /tmp/kmdemo.XXXXXX) || exit 1
pids=()

# Stops what this script started, by PID, then removes its files.
cleanup() {
  local pid i
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for i in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

steps=0
failed=0

kmquery() { "$KMQUERY" "$@"; }

# step EXPECTED_STATUS "what it shows" kmquery ARGS...
step() {
  local expect=$1 what=$2 rc
  shift 2
  steps=$((steps + 1))
  echo
  echo "== $steps. $what"
  echo "\$ $*"
  "$@"
  rc=$?
  if [ "$rc" -eq "$expect" ]; then
    echo "-- ok (exit status $rc)"
  else
    echo "-- FAILED: exit status $rc, expected $expect"
    failed=$((failed + 1))
  fi
}

# start_agent NAME CONFIG_LINES [OPTION...]: starts kmagentd with a private
# configuration file (the secret stays out of the process list) and the
# options given on a free port; sets AGENT_PORT.
start_agent() {
  local name=$1 config=$2 line="" pid i
  shift 2
  printf 'listen = 127.0.0.1:0\n%s\n' "$config" >"$work/$name.conf"
  chmod 600 "$work/$name.conf"
  "$KMAGENTD" --foreground --config "$work/$name.conf" "$@" >"$work/$name.out" \
    2>"$work/$name.log" &
  pid=$!
  pids+=("$pid")
  for i in $(seq 1 100); do
    line=$(grep -m1 '^listening on ' "$work/$name.out" 2>/dev/null)
    [ -n "$line" ] && break
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "kmdemo: agent '$name' did not start:" >&2
      cat "$work/$name.log" >&2
      exit 1
    fi
    sleep 0.1
  done
  if [ -z "$line" ]; then
    echo "kmdemo: agent '$name' printed no 'listening on' line" >&2
    exit 1
  fi
  AGENT_PORT=${line##*:}
  echo "started kmagentd '$name' (pid $pid) on 127.0.0.1:$AGENT_PORT"
}

# stop_pid PID: stops one process this script started and forgets it, so
# that cleanup never signals a PID that may have been reused.
stop_pid() {
  local keep=() p
  kill -TERM "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  for p in "${pids[@]}"; do [ "$p" = "$1" ] || keep+=("$p"); done
  pids=("${keep[@]}")
}

# ---------------------------------------------------------------- agent
SECRET="demo-$RANDOM-$RANDOM"
export KMQUERY_SECRET=$SECRET

echo "== starting agents"
mkdir -p "$work/files" "$work/local" "$work/policies"
head -c 200000 /dev/urandom >"$work/local/payload.bin"
# What the agent serves as its configuration file, and the policies it has.
printf '# kmagentd demo configuration\nlisten = 127.0.0.1:4700\nmax_sessions = 16\n' \
  >"$work/agent-served.conf"
printf '# kmagentd demo configuration, replaced\nlisten = 127.0.0.1:4700\nmax_sessions = 32\n' \
  >"$work/local/new.conf"
POLICY=0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9
printf 'type = 3\nserver = monitor.example\n' >"$work/policies/$POLICY"
printf 'type = 1\n' >"$work/policies/ffffffff-0000-1111-2222-333344445555"
start_agent main "secret = $SECRET
require_encryption = true
files = $work/files
parameter = Demo.Greeting:hello from kmagentd
list = Demo.Colours:red
list = Demo.Colours:green
list = Demo.Colours:blue
action = Demo.True:/bin/true
service_check_allow = 127.0.0.1
snmp_allow = 127.0.0.1
trap_interval_ms = 200" --served-config "$work/agent-served.conf" --policies "$work/policies"
MAIN=$AGENT_PORT
start_agent proxy "proxy_allow = 127.0.0.0/8
proxy_ports = $MAIN"
PROXY=$AGENT_PORT
start_agent gone ""
GONE=$AGENT_PORT
stop_pid "${pids[-1]}"
echo "stopped agent 'gone': nothing listens on 127.0.0.1:$GONE any more"

step 0 "Encrypted session (mandatory), SHA-1 login with the shared secret, liveness test" \
  kmquery agent 127.0.0.1 -p "$MAIN" -a sha1 -e mandatory --generate-key nop
step 0 "The same for scripts: --json" \
  kmquery --json agent 127.0.0.1 -p "$MAIN" -a sha1 -e mandatory --generate-key nop
step 0 "Encryption on demand: the agent answers 'Encryption required', the session turns encrypted" \
  kmquery agent 127.0.0.1 -p "$MAIN" -a md5 -e on-demand --generate-key nop
step 0 "Through a proxy agent: the proxy hop, then encryption and login with the agent itself" \
  kmquery agent 127.0.0.1 -p "$MAIN" -X "127.0.0.1:$PROXY" --proxy-auth none -e mandatory \
  --generate-key nop
# Every further agent step uses the same session settings.
A=(agent 127.0.0.1 -p "$MAIN" -a sha1 -e mandatory --generate-key)
step 0 "Parameters: built-in ones read from the host, one from the agent's configuration" \
  kmquery "${A[@]}" get System.Hostname System.Uname Agent.Version Demo.Greeting
step 0 "A list" \
  kmquery "${A[@]}" list Demo.Colours
step 0 "A table: the agent host's interface counters" \
  kmquery "${A[@]}" table Net.Interfaces
step 0 "What the agent supports" \
  kmquery "${A[@]}" params
step 0 "The agent host's interfaces, ARP cache and routes, parsed into records" \
  kmquery "${A[@]}" interfaces
step 0 "ARP cache" \
  kmquery "${A[@]}" arp
step 0 "Routing table, most specific routes first" \
  kmquery "${A[@]}" routes --sort
step 0 "An action the agent's configuration allows" \
  kmquery "${A[@]}" action Demo.True
step 0 "A service check the agent runs: is the agent's own port open?" \
  kmquery "${A[@]}" check-service 127.0.0.1 --port "$MAIN"
step 0 "Upload a file into the agent's file area" \
  kmquery "${A[@]}" upload "$work/local/payload.bin" payload.bin
step 0 "Download it again" \
  kmquery "${A[@]}" download payload.bin "$work/local/back.bin"
step 0 "The two files are the same" \
  cmp "$work/local/payload.bin" "$work/local/back.bin"
step 0 "Read the agent's configuration file (kmagentd --served-config)" \
  kmquery "${A[@]}" config get
step 0 "Replace it: the agent writes a temporary file and renames it over the old one" \
  kmquery "${A[@]}" config set "$work/local/new.conf"
step 0 "Read it back into a local file; it is the one sent" \
  kmquery "${A[@]}" config get "$work/local/fetched.conf"
step 0 "The two configuration files are the same" \
  cmp "$work/local/new.conf" "$work/local/fetched.conf"
step 0 "The policies installed on the agent (kmagentd --policies)" \
  kmquery "${A[@]}" policies
step 0 "Remove one of them" \
  kmquery "${A[@]}" uninstall-policy "$POLICY"
step 0 "Upgrade from the package uploaded before (the reference agent only records it)" \
  kmquery "${A[@]}" upgrade "$work/local/payload.bin"
step 4 "Upgrade from a package the agent does not have (exit status 4)" \
  kmquery "${A[@]}" upgrade agent-9.9.pkg
step 0 "Traps the agent sends (three of them)" \
  kmquery "${A[@]}" traps --count 3
step 4 "An unknown parameter (exit status 4)" \
  kmquery "${A[@]}" get No.Such.Parameter
step 2 "Uploading a file that does not exist (exit status 2)" \
  kmquery "${A[@]}" upload "$work/local/missing.bin"
step 4 "A wrong secret is refused by the agent (exit status 4)" \
  env KMQUERY_SECRET=wrong "$KMQUERY" agent 127.0.0.1 -p "$MAIN" -a sha1 -e mandatory \
  --generate-key nop
step 4 "Encryption off against an agent that requires it (exit status 4)" \
  kmquery agent 127.0.0.1 -p "$MAIN" -a sha1 -e off nop
step 3 "Nobody listening: connection failure (exit status 3)" \
  kmquery agent 127.0.0.1 -p "$GONE" -w 2000 nop
step 2 "A usage error (exit status 2)" \
  kmquery agent 127.0.0.1 -a kerberos nop

# ---------------------------------------------------------------- TLS
if ! command -v openssl >/dev/null 2>&1; then
  echo
  echo "== openssl (the command) not installed: TLS steps skipped"
else
  echo
  echo "== a throw-away CA and a certificate for an agent at 127.0.0.1 (agent.demo)"
  tls="$work/tls"
  mkdir -p "$tls"
  (
    cd "$tls" &&
      openssl req -x509 -new -nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256 \
        -keyout ca.key -out ca.pem -days 2 -subj "/CN=kmdemo CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign,cRLSign &&
      openssl req -new -nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256 \
        -keyout agent.key -out agent.csr -subj "/CN=agent.demo" &&
      printf 'subjectAltName=DNS:agent.demo,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >agent.ext &&
      openssl x509 -req -in agent.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
        -out agent.pem -days 2 -extfile agent.ext
  ) >"$work/openssl.log" 2>&1 || {
    echo "kmdemo: openssl could not make the certificates:" >&2
    cat "$work/openssl.log" >&2
    exit 1
  }
  start_agent tls "secret = $SECRET" --tls-cert "$tls/agent.pem" --tls-key "$tls/agent.key" \
    --tls-require
  TLS_PORT=$AGENT_PORT
  step 0 "TLS 1.3: the agent's certificate checked against the CA and the name agent.demo, then the login" \
    kmquery agent 127.0.0.1 -p "$TLS_PORT" -a sha1 --tls-ca "$tls/ca.pem" --tls-name agent.demo nop
  step 6 "The same certificate under a name it does not carry is refused (exit status 6)" \
    kmquery agent 127.0.0.1 -p "$TLS_PORT" -a sha1 --tls-ca "$tls/ca.pem" --tls-name other.demo nop
fi

# ---------------------------------------------------------------- ISC
if [ ! -x "$KMISCD" ]; then
  echo
  echo "== kmiscd not built: ISC steps skipped"
else
  echo
  echo "== starting the reference ISC peer"
  "$KMISCD" --foreground --listen 127.0.0.1:0 --service 7 --disabled-service 8 \
    --require-encryption >"$work/iscd.out" 2>"$work/iscd.log" &
  pid=$!
  pids+=("$pid")
  line=""
  for i in $(seq 1 100); do
    line=$(grep -m1 '^listening on ' "$work/iscd.out" 2>/dev/null)
    [ -n "$line" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$line" ]; then
    echo "kmdemo: kmiscd did not start:" >&2
    cat "$work/iscd.log" >&2
    steps=$((steps + 1))
    failed=$((failed + 1))
  else
    ISC_PORT=${line##*:}
    echo "started kmiscd (pid $pid) on 127.0.0.1:$ISC_PORT"
    step 0 "ISC session for service 7; the peer demands encryption, the key exchange follows" \
      kmquery isc 127.0.0.1 -p "$ISC_PORT" --generate-key nop --service 7
    step 0 "The same with encryption mandatory from the start, for scripts" \
      kmquery --json isc 127.0.0.1 -p "$ISC_PORT" -e mandatory connect 7
    step 4 "A disabled service is refused by the peer (exit status 4)" \
      kmquery isc 127.0.0.1 -p "$ISC_PORT" -e mandatory connect 8
  fi
fi

# ---------------------------------------------------------------- SNMP
if [ -z "$SNMPD" ]; then
  echo
  echo "== snmpd is not installed (Debian package snmpd): SNMP steps skipped"
else
  echo
  echo "== starting a private snmpd"
  mkdir -p "$work/snmp/persist"
  cat >"$work/snmp/snmpd.conf" <<'EOF'
rocommunity public default .1
dontLogTCPWrappersConnects yes
sysLocation kmdemo lab
sysContact nobody
override .1.3.6.1.2.1.17.7.1.4.3.1.1.10 octet_str "users"
override .1.3.6.1.2.1.17.7.1.4.2.1.4.0.10 octet_str 0x8001
override .1.3.6.1.2.1.17.7.1.4.3.1.1.20 octet_str "servers"
override .1.3.6.1.2.1.17.7.1.4.2.1.4.0.20 octet_str 0x7000
EOF
  SNMP_PORT=""
  for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 30000))
    env -i MIBS= SNMP_PERSISTENT_DIR="$work/snmp/persist" SNMPCONFPATH="$work/snmp" \
      PATH=/usr/sbin:/usr/bin:/sbin:/bin \
      "$SNMPD" -f -C -c "$work/snmp/snmpd.conf" -Lf "$work/snmp/snmpd.log" \
      -p "$work/snmp/snmpd.pid" "udp:127.0.0.1:$port" </dev/null >/dev/null 2>&1 &
    pid=$!
    pids+=("$pid")
    for i in $(seq 1 25); do
      kill -0 "$pid" 2>/dev/null || break
      if "$KMQUERY" snmp 127.0.0.1 -p "$port" -w 200 get .1.3.6.1.2.1.1.3.0 >/dev/null 2>&1; then
        SNMP_PORT=$port
        break
      fi
      sleep 0.2
    done
    [ -n "$SNMP_PORT" ] && break
    stop_pid "$pid"
  done
  if [ -z "$SNMP_PORT" ]; then
    echo "kmdemo: snmpd did not start answering; its log:" >&2
    cat "$work/snmp/snmpd.log" >&2
    steps=$((steps + 1))
    failed=$((failed + 1))
  else
    echo "started snmpd (pid $pid) on udp 127.0.0.1:$SNMP_PORT"
    step 0 "SNMP GET of sysDescr, sysUpTime and sysLocation" \
      kmquery snmp 127.0.0.1 -p "$SNMP_PORT" -c public get .1.3.6.1.2.1.1.1.0 \
      .1.3.6.1.2.1.1.3.0 .1.3.6.1.2.1.1.6.0
    step 0 "SNMP walk of the system group (SNMPv1)" \
      kmquery snmp 127.0.0.1 -p "$SNMP_PORT" -v 1 walk .1.3.6.1.2.1.1
    step 0 "Interface discovery (ifTable, ifXTable names, ipAddrTable)" \
      kmquery snmp 127.0.0.1 -p "$SNMP_PORT" interfaces --ifxtable
    step 0 "VLAN discovery (Q-BRIDGE-MIB)" \
      kmquery snmp 127.0.0.1 -p "$SNMP_PORT" vlans
    step 0 "The same for scripts: --json" \
      kmquery --json snmp 127.0.0.1 -p "$SNMP_PORT" get .1.3.6.1.2.1.1.5.0
    step 0 "SNMP through the agent: the agent forwards each request to the device" \
      kmquery snmp 127.0.0.1 -p "$SNMP_PORT" --via-agent "127.0.0.1:$MAIN" --agent-auth sha1 \
      --agent-encryption mandatory \
      --generate-key get .1.3.6.1.2.1.1.5.0 .1.3.6.1.2.1.1.6.0
    step 4 "A missing object (exit status 4)" \
      kmquery snmp 127.0.0.1 -p "$SNMP_PORT" get .1.3.6.1.2.1.1.99.0
    step 3 "A wrong community: snmpd stays silent, a time-out (exit status 3)" \
      kmquery snmp 127.0.0.1 -p "$SNMP_PORT" -c wrong -w 200 get .1.3.6.1.2.1.1.3.0
  fi
fi

echo
if [ "$failed" -eq 0 ]; then
  echo "== kmdemo: all $steps steps worked"
  exit 0
fi
echo "== kmdemo: $failed of $steps steps FAILED"
exit 1

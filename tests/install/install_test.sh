#!/usr/bin/env bash
# Install check: `cmake --install` of an already built tree into a temporary
# prefix, then what a user of the installed package does. Every step prints
# one line; the script exits 1 when any check failed. Everything it starts is
# stopped by PID and its temporary folder is removed when it exits.
set -u

BUILD_DIR="" SOURCE_DIR="" CXX="" VERSION="" SANITIZE=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) BUILD_DIR=$2; shift 2 ;;
    --source-dir) SOURCE_DIR=$2; shift 2 ;;
    --cxx) CXX=$2; shift 2 ;;
    --version) VERSION=$2; shift 2 ;;
    --sanitize) SANITIZE=$2; shift 2 ;;
    *) echo "install_test: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
for v in BUILD_DIR SOURCE_DIR CXX VERSION; do
  if [ -z "${!v}" ]; then echo "install_test: --${v,,} missing" >&2; exit 2; fi
done
MAJOR=${VERSION%%.*}

# Out-of-tree code that links sanitizer-built libraries must itself be built
# with the same sanitizers (the runtime has to come first in the process).
USER_FLAGS="-Wall -Wextra -Werror"
LINK_FLAGS=""
if [ -n "$SANITIZE" ]; then
  USER_FLAGS="$USER_FLAGS -fsanitize=$SANITIZE -fno-omit-frame-pointer"
  LINK_FLAGS="-fsanitize=$SANITIZE"
  echo "== sanitizers '$SANITIZE': the examples are built with them too"
fi
# The programs and examples must find the installed libraries by themselves.
unset LD_LIBRARY_PATH

work=$(mktemp -d /tmp/km-install-test.XXXXXX) || exit 1
pids=()
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

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok   $*"; }
bad() { failed=$((failed + 1)); echo "FAIL $*"; }
# check "what" command...: the command must succeed.
check() {
  local what=$1
  shift
  if "$@" >"$work/last.out" 2>&1; then ok "$what"; else bad "$what"; sed 's/^/     /' "$work/last.out" | tail -n 30; fi
}
# expect_status N "what" command...: the command must exit with status N;
# its output stays in $work/last.out.
expect_status() {
  local want=$1 what=$2 rc
  shift 2
  "$@" >"$work/last.out" 2>&1
  rc=$?
  if [ "$rc" -eq "$want" ]; then
    ok "$what (exit status $rc)"
  else
    bad "$what: exit status $rc, expected $want"
    sed 's/^/     /' "$work/last.out" | tail -n 30
  fi
  return 0
}
# contains "what" PATTERN: $work/last.out has a line matching PATTERN (ERE).
contains() {
  if grep -Eq -- "$2" "$work/last.out"; then ok "$1"; else bad "$1: no line matching '$2'"; sed 's/^/     /' "$work/last.out" | tail -n 30; fi
}

for tool in cmake ninja pkg-config readelf ldd; do
  command -v "$tool" >/dev/null || { echo "install_test: $tool is missing (./dev setup installs it)"; exit 1; }
done

# ------------------------------------------------------------------ install
PREFIX=$work/prefix
if ! cmake --install "$BUILD_DIR" --prefix "$PREFIX" >"$work/install.log" 2>&1; then
  bad "cmake --install $BUILD_DIR"
  cat "$work/install.log"
  exit 1
fi
ok "cmake --install into a temporary prefix"

config=$(find "$PREFIX" -name kmsrvConfig.cmake | head -n 1)
if [ -z "$config" ]; then bad "kmsrvConfig.cmake installed"; exit 1; fi
LIBDIR=$(cd "$(dirname "$config")/../.." && pwd)
ok "CMake package in ${LIBDIR#"$PREFIX"/}/cmake/kmsrv"

for f in kmsrvConfigVersion.cmake kmsrvTargets.cmake; do
  if [ -f "$LIBDIR/cmake/kmsrv/$f" ]; then ok "$f installed"; else bad "$f installed"; fi
done
if grep -q 'OpenSSL' "$LIBDIR/cmake/kmsrv/kmsrvTargets.cmake"; then
  bad "the exported targets name OpenSSL (it should be private to libkmbase)"
else
  ok "the exported targets do not need OpenSSL"
fi
# The version file accepts requests of the same major version up to ours.
for req in "$VERSION:TRUE" "$MAJOR.0:TRUE" "$((MAJOR + 1)).0:FALSE" "$VERSION.1:FALSE"; do
  want=${req#*:}
  req=${req%%:*}
  IFS=. read -r rmaj rmin _ <<<"$req.0.0"
  printf 'set(PACKAGE_FIND_VERSION "%s")\nset(PACKAGE_FIND_VERSION_MAJOR %s)\nset(PACKAGE_FIND_VERSION_MINOR %s)\nset(PACKAGE_FIND_VERSION_COUNT 2)\nset(CMAKE_SIZEOF_VOID_P 8)\ninclude("%s")\nmessage("compatible=${PACKAGE_VERSION_COMPATIBLE}")\n' \
    "$req" "$rmaj" "$rmin" "$LIBDIR/cmake/kmsrv/kmsrvConfigVersion.cmake" >"$work/version.cmake"
  got=$(cmake -P "$work/version.cmake" 2>&1 | sed -n 's/^compatible=//p')
  case "$got" in
    1|ON|TRUE|true) got=TRUE ;;
    *) got=FALSE ;;
  esac
  if [ "$got" = "$want" ]; then ok "package $VERSION serves a request for $req: $got"; else bad "package $VERSION serves a request for $req: $got, expected $want"; fi
done

# Libraries: the real file, the SONAME link and the development link.
for lib in kmbase kmsnmp kmsrv; do
  real=$LIBDIR/lib$lib.so.$VERSION
  if [ -f "$real" ] && [ "$(readlink "$LIBDIR/lib$lib.so.$MAJOR")" = "lib$lib.so.$VERSION" ] &&
     [ "$(readlink "$LIBDIR/lib$lib.so")" = "lib$lib.so.$MAJOR" ]; then
    ok "lib$lib.so -> lib$lib.so.$MAJOR -> lib$lib.so.$VERSION"
  else
    bad "lib$lib links"; ls -l "$LIBDIR" | sed 's/^/     /'
  fi
  soname=$(readelf -d "$real" 2>/dev/null | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  if [ "$soname" = "lib$lib.so.$MAJOR" ]; then ok "SONAME of lib$lib is $soname"; else bad "SONAME of lib$lib: '$soname'"; fi
done
if readelf -d "$LIBDIR/libkmbase.so.$VERSION" | grep -q 'libcrypto'; then
  ok "libkmbase links libcrypto itself"
else
  bad "libkmbase has no DT_NEEDED libcrypto"
fi

# Headers: exactly the public folders, nothing else.
for dir in kmbase:runtime/include/kmbase kmsnmp:snmplib/include/kmsnmp kmsrv:include/kmsrv; do
  name=${dir%%:*}
  src=$SOURCE_DIR/${dir#*:}
  if diff <(cd "$src" && ls ./*.h | sort) <(cd "$PREFIX/include/$name" && ls ./* | sort) >"$work/diff" 2>&1; then
    ok "include/$name holds the public headers of $name"
  else
    bad "include/$name differs from the public headers"; sed 's/^/     /' "$work/diff"
  fi
done
others=$(cd "$PREFIX/include" && ls | grep -vx -e kmbase -e kmsnmp -e kmsrv)
if [ -z "$others" ]; then ok "nothing else under include/"; else bad "unexpected under include/: $others"; fi

# Each installed header compiles on its own against the prefix alone.
: >"$work/headers.fail"
find "$PREFIX/include" -name '*.h' | sort >"$work/headers"
# shellcheck disable=SC2016
xargs -P 2 -I{} sh -c '
  echo "#include \"$1\"" | "$2" -std=c++20 $3 -fsyntax-only -I"$4" -x c++ - 2>"$1.err" ||
    { echo "$1" >>"$5"; cat "$1.err" >>"$5"; }
  rm -f "$1.err"' sh {} "$CXX" "-Wall -Wextra -Werror" "$PREFIX/include" "$work/headers.fail" \
  <"$work/headers"
if [ -s "$work/headers.fail" ]; then
  bad "installed headers compile standalone"; sed 's/^/     /' "$work/headers.fail" | head -n 40
else
  ok "$(wc -l <"$work/headers") installed headers each compile standalone"
fi

# Programs, run from the prefix: they find the installed libraries by RPATH.
for prog in bin/kmquery sbin/kmagentd sbin/kmiscd; do
  if [ ! -x "$PREFIX/$prog" ]; then bad "$prog installed"; continue; fi
  runpath=$(readelf -d "$PREFIX/$prog" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')
  case "$runpath" in
    *"$BUILD_DIR"*) bad "$prog: RPATH still points into the build tree ($runpath)" ;;
    *'$ORIGIN'*) ok "$prog: RPATH $runpath" ;;
    *) bad "$prog: RPATH '$runpath' does not lead to the installed libraries" ;;
  esac
  if [ "$prog" = bin/kmquery ]; then
    expect_status 0 "$prog --version" "$PREFIX/$prog" --version
    contains "$prog --version prints $VERSION" "$VERSION"
  else
    expect_status 0 "$prog --help" "$PREFIX/$prog" --help
  fi
  if ldd "$PREFIX/$prog" | grep -E 'libkm(base|snmp|srv)' | grep -qv "$PREFIX"; then
    bad "$prog loads a libkm* from outside the prefix"; ldd "$PREFIX/$prog" | sed 's/^/     /'
  fi
done

# ------------------------------------------------------------------ build the examples
EX=$SOURCE_DIR/examples
for ex in query_agent discover_interfaces; do
  check "$ex: CMake configure with CMAKE_PREFIX_PATH" \
    cmake -S "$EX/$ex" -B "$work/cmake-$ex" -G Ninja \
      -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_CXX_COMPILER="$CXX" \
      -DCMAKE_CXX_FLAGS="$USER_FLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LINK_FLAGS" \
      -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON
  if grep -q "kmsrv_DIR:PATH=$LIBDIR/cmake/kmsrv" "$work/cmake-$ex/CMakeCache.txt" 2>/dev/null; then
    ok "$ex: found the package in the prefix"
  else
    bad "$ex: kmsrv_DIR is not the prefix's package"
  fi
  check "$ex: CMake build" cmake --build "$work/cmake-$ex"
done

export PKG_CONFIG_PATH=$LIBDIR/pkgconfig
expect_status 0 "pkg-config --modversion kmsrv" pkg-config --modversion kmsrv
contains "pkg-config reports version $VERSION" "^$VERSION\$"
expect_status 0 "pkg-config --libs kmsrv" pkg-config --libs kmsrv
contains "kmsrv.pc brings kmsnmp and kmbase along" "-lkmsrv.*-lkmsnmp.*-lkmbase"
if grep -q -- '-lcrypto' "$work/last.out"; then bad "OpenSSL leaks into kmsrv's public link line"; else ok "OpenSSL stays private"; fi
expect_status 0 "pkg-config --static --libs kmbase" pkg-config --static --libs kmbase
contains "kmbase.pc names libcrypto for static links" "-lcrypto"
for ex in query_agent discover_interfaces; do
  mkdir -p "$work/pc-$ex"
  # shellcheck disable=SC2046,SC2086
  check "$ex: g++ with pkg-config" \
    "$CXX" -std=c++20 $USER_FLAGS $LINK_FLAGS "$EX/$ex/$ex.cpp" -o "$work/pc-$ex/$ex" \
      $(pkg-config --cflags --libs kmsrv) -Wl,-rpath,"$LIBDIR"
done

# ------------------------------------------------------------------ run the agent example
SECRET="install-$RANDOM-$RANDOM"
printf 'listen = 127.0.0.1:0\nsecret = %s\nparameter = Install.Greeting:hello from the install test\n' \
  "$SECRET" >"$work/agent.conf"
chmod 600 "$work/agent.conf"
agent_port=""
if [ -x "$PREFIX/sbin/kmagentd" ]; then
  "$PREFIX/sbin/kmagentd" --foreground --config "$work/agent.conf" >"$work/agent.out" 2>"$work/agent.log" &
  pids+=("$!")
  for _ in $(seq 1 100); do
    line=$(grep -m1 '^listening on ' "$work/agent.out" 2>/dev/null)
    if [ -n "$line" ]; then agent_port=${line##*:}; break; fi
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
fi
if [ -z "$agent_port" ]; then
  bad "installed kmagentd started"; sed 's/^/     /' "$work/agent.log" 2>/dev/null
else
  ok "installed kmagentd listens on 127.0.0.1:$agent_port"
  for build in cmake pc; do
    q=$work/$build-query_agent/query_agent
    [ -x "$q" ] || { bad "$build query_agent was not built"; continue; }
    expect_status 0 "$build query_agent reads parameters" \
      env KM_AGENT_SECRET="$SECRET" "$q" 127.0.0.1 "$agent_port" Agent.Version Install.Greeting
    contains "$build query_agent prints the agent's version" "^Agent.Version = $VERSION\$"
    contains "$build query_agent prints a configured parameter" \
      "^Install.Greeting = hello from the install test\$"
    expect_status 0 "$build query_agent without PARAM reads the defaults" \
      env KM_AGENT_SECRET="$SECRET" "$q" 127.0.0.1 "$agent_port"
    contains "$build query_agent prints the host name" "^System.Hostname = "
    expect_status 1 "$build query_agent with a wrong secret" \
      env KM_AGENT_SECRET="not-$SECRET" "$q" 127.0.0.1 "$agent_port"
    contains "$build query_agent says why it could not connect" "cannot connect to 127.0.0.1:$agent_port"
    expect_status 1 "$build query_agent with an unknown parameter" \
      env KM_AGENT_SECRET="$SECRET" "$q" 127.0.0.1 "$agent_port" No.Such.Parameter
    contains "$build query_agent names the unknown parameter" "No.Such.Parameter: .*\\(404\\)"
    expect_status 2 "$build query_agent without arguments" "$q"
  done
fi

# ------------------------------------------------------------------ run the SNMP example
# A closed port, and a community no SNMP agent here knows: whatever listens
# there (if anything), the device stays silent.
closed_port=$((20000 + RANDOM % 30000))
for build in cmake pc; do
  d=$work/$build-discover_interfaces/discover_interfaces
  [ -x "$d" ] || { bad "$build discover_interfaces was not built"; continue; }
  expect_status 1 "$build discover_interfaces against a silent loopback port" \
    "$d" 127.0.0.1 "$closed_port" "nobody-$RANDOM$RANDOM"
  contains "$build discover_interfaces reports the SNMP failure" "discover_interfaces: 127.0.0.1:$closed_port: "
  expect_status 2 "$build discover_interfaces without arguments" "$d"
done

SNMPD=""
for p in /usr/sbin/snmpd /usr/local/sbin/snmpd /sbin/snmpd; do
  if [ -x "$p" ]; then SNMPD=$p; break; fi
done
if [ -z "$SNMPD" ] || [ ! -x "$PREFIX/bin/kmquery" ]; then
  echo "skip discovery against a live snmpd: snmpd (Debian package snmpd) is not installed"
else
  mkdir -p "$work/snmp/persist"
  printf 'rocommunity public default .1\ndontLogTCPWrappersConnects yes\n' >"$work/snmp/snmpd.conf"
  snmp_port=""
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 30000))
    env -i MIBS= SNMP_PERSISTENT_DIR="$work/snmp/persist" SNMPCONFPATH="$work/snmp" \
      PATH=/usr/sbin:/usr/bin:/sbin:/bin \
      "$SNMPD" -f -C -c "$work/snmp/snmpd.conf" -Lf "$work/snmp/snmpd.log" \
      "udp:127.0.0.1:$port" </dev/null >/dev/null 2>&1 &
    pid=$!
    pids+=("$pid")
    for _ in $(seq 1 25); do
      kill -0 "$pid" 2>/dev/null || break
      if "$PREFIX/bin/kmquery" snmp 127.0.0.1 -p "$port" -w 200 get .1.3.6.1.2.1.1.3.0 >/dev/null 2>&1; then
        snmp_port=$port
        break
      fi
      sleep 0.2
    done
    [ -n "$snmp_port" ] && break
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  if [ -z "$snmp_port" ]; then
    bad "private snmpd answered"; sed 's/^/     /' "$work/snmp/snmpd.log" | tail -n 20
  else
    ok "private snmpd on udp 127.0.0.1:$snmp_port"
    for build in cmake pc; do
      d=$work/$build-discover_interfaces/discover_interfaces
      [ -x "$d" ] || continue
      expect_status 0 "$build discover_interfaces against snmpd" "$d" 127.0.0.1 "$snmp_port" public
      contains "$build discover_interfaces prints the device name" "^device .+ \\(127.0.0.1:$snmp_port\\)\$"
      contains "$build discover_interfaces finds the loopback interface" \
        " lo +24 +00:00:00:00:00:00 +127.0.0.1/255.0.0.0\$"
    done
  fi
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

# Helpers shared by the end-to-end scripts. Source it, then call e2e_init
# with the script's name:
#
#   . "$(dirname "$0")/common.sh"
#   e2e_init capture_e2e
#   e2e_need_root
#   e2e_need ip tshark curl
#   e2e_netns_pair            # two namespaces joined by a veth pair
#   e2e_bg "$E2E_NS_A" python3 -m http.server ...   # killed at exit
#
# Exit status 77 means "skipped" (ctest's SKIP_RETURN_CODE).

e2e_init() {
  E2E_NAME=$1
  E2E_WORK=${E2E_WORK:-$(mktemp -d "/tmp/${E2E_NAME}.XXXXXX")}
  mkdir -p "$E2E_WORK"
  E2E_PIDS=()
  E2E_NAMESPACES=()
  trap e2e_cleanup EXIT
}

e2e_skip() {
  echo "$E2E_NAME: skipped: $*" >&2
  exit 77
}

# Prints the message and the tails of the work folder's logs, then fails.
e2e_fail() {
  echo "$E2E_NAME: FAILED: $*" >&2
  local f
  for f in "$E2E_WORK"/*.log "$E2E_WORK"/*.out "$E2E_WORK"/*.err; do
    [ -s "$f" ] || continue
    echo "--- $f" >&2
    tail -n 30 "$f" >&2
  done
  exit 1
}

e2e_need_root() {
  [ "$(id -u)" -eq 0 ] || e2e_skip "needs root (network namespaces)"
}

e2e_need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || e2e_skip "no $tool"
  done
}

# Creates namespaces E2E_NS_A and E2E_NS_B joined by veth E2E_IF_A (in A,
# address E2E_IP_A) and E2E_IF_B (in B, address E2E_IP_B), /24, both up,
# with loopback up. Names carry the process id, so scripts may run at once.
e2e_netns_pair() {
  local id=$$
  E2E_NS_A=tnx_a_$id
  E2E_NS_B=tnx_b_$id
  E2E_IF_A=tnxa$id
  E2E_IF_B=tnxb$id
  E2E_IP_A=${E2E_IP_A:-10.77.0.1}
  E2E_IP_B=${E2E_IP_B:-10.77.0.2}
  ip netns add "$E2E_NS_A" || e2e_skip "cannot create a network namespace"
  E2E_NAMESPACES+=("$E2E_NS_A")
  ip netns add "$E2E_NS_B" || e2e_fail "cannot create a second network namespace"
  E2E_NAMESPACES+=("$E2E_NS_B")
  ip link add "$E2E_IF_A" netns "$E2E_NS_A" type veth peer name "$E2E_IF_B" netns "$E2E_NS_B" ||
    e2e_fail "cannot create a veth pair"
  ip -n "$E2E_NS_A" addr add "$E2E_IP_A/24" dev "$E2E_IF_A"
  ip -n "$E2E_NS_B" addr add "$E2E_IP_B/24" dev "$E2E_IF_B"
  ip -n "$E2E_NS_A" link set lo up
  ip -n "$E2E_NS_B" link set lo up
  ip -n "$E2E_NS_A" link set "$E2E_IF_A" up
  ip -n "$E2E_NS_B" link set "$E2E_IF_B" up
  # IPv6 would only add router and neighbour chatter to the captures.
  ip netns exec "$E2E_NS_A" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 >/dev/null 2>&1 || true
  ip netns exec "$E2E_NS_B" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 >/dev/null 2>&1 || true
}

# Adds more /24 addresses to side A or B of the pair, e.g.
#   e2e_add_addrs A 10.77.0.3 10.77.0.4
e2e_add_addrs() {
  local ns=E2E_NS_$1 dev=E2E_IF_$1 a
  shift
  for a in "$@"; do ip -n "${!ns}" addr add "$a/24" dev "${!dev}"; done
}

# Gives both namespaces of the pair the hosts file read from stdin and
# resolution from files only: ip netns exec mounts /etc/netns/NAME/hosts over
# /etc/hosts, so any other name resolves nowhere.
e2e_netns_hosts() {
  local hosts ns
  hosts=$(cat)
  for ns in "$E2E_NS_A" "$E2E_NS_B"; do
    mkdir -p "/etc/netns/$ns"
    printf '%s\n' "$hosts" >"/etc/netns/$ns/hosts"
    printf 'hosts: files\n' >"/etc/netns/$ns/nsswitch.conf"
  done
}

# Starts a tinyproxy forward proxy in a namespace on ADDR:8888 for the
# clients of ADDR's /24; it is killed at exit. Further arguments are more
# lines of its configuration.
e2e_tinyproxy() {
  local ns=$1 addr=$2
  shift 2
  {
    printf '%s\n' "User nobody" "Group nogroup" "Port 8888" "Listen $addr" "Timeout 10" "MaxClients 10" \
      "Allow ${addr%.*}.0/24" "LogLevel Connect" "$@"
  } >"$E2E_WORK/tinyproxy.conf"
  E2E_LOG=$E2E_WORK/tinyproxy.out.log e2e_bg "$ns" tinyproxy -d -c "$E2E_WORK/tinyproxy.conf"
}

# Runs a command in a namespace in the background; it is killed at exit.
# Its output goes to $E2E_WORK/<first word of the command>.log unless
# redirected by the caller through E2E_LOG.
e2e_bg() {
  local ns=$1
  shift
  local log=${E2E_LOG:-$E2E_WORK/$(basename "$1").log}
  ip netns exec "$ns" "$@" >>"$log" 2>&1 &
  E2E_LAST_PID=$!
  E2E_PIDS+=("$E2E_LAST_PID")
}

# Waits until a TCP port answers inside a namespace (at most ~10 s).
e2e_wait_port() {
  local ns=$1 host=$2 port=$3 i
  for i in $(seq 1 100); do
    if ip netns exec "$ns" bash -c "exec 3<>/dev/tcp/$host/$port" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  e2e_fail "nothing answers on $host:$port"
}

# Waits until a file exists and is not empty (at most ~10 s).
e2e_wait_file() {
  local f=$1 i
  for i in $(seq 1 100); do
    [ -s "$f" ] && return 0
    sleep 0.1
  done
  e2e_fail "$f never appeared"
}

e2e_cleanup() {
  local p ns
  for p in "${E2E_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${E2E_PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  for ns in "${E2E_NAMESPACES[@]}"; do
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "/etc/netns/$ns"
  done
  if [ -z "${E2E_KEEP:-}" ] && [ -n "${E2E_WORK:-}" ]; then rm -rf "$E2E_WORK"; fi
}

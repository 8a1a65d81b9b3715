# shellcheck shell=bash
# Sourced by the test scripts that run their own servers on loopback.
# A port is taken from below the kernel's ephemeral range: a client's outgoing
# connection may hold any port inside it, which no connect probe sees and which
# makes the server's bind fail with "Address already in use".
vr_listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
vr_port() {  # [TAKEN...]: a free port, none of TAKEN
  local low _ p
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || low=32768
  ((low > 12000)) || low=32768
  while p=$((10000 + RANDOM % (low - 10000))); vr_listening $p || [[ " $* " == *" $p "* ]]; do :; done
  echo $p
}
vr_await_listen() {  # PORT PID [TENTHS]: 0 once PORT listens; 1 when PID has exited or time is up
  for _ in $(seq "${3:-100}"); do
    vr_listening "$1" && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# The plug-in's fixed ports, 127.0.0.1:19080 (the daemon's TCP port) and
# 19081 (the notifications' UDP port), are one resource per machine: the
# scripts that use them (scripts/test, scripts/chaos, scripts/soak-tests)
# take one machine-wide lock meanwhile, so that other checkouts on the same
# machine do not collide with them. Sourced by those scripts, not run.
#
# A caller that already holds the lock (`flock LOCK scripts/chaos ...`, or a
# script of its own) would wait for itself for ever if the script took it
# again. The lock is therefore taken only when it is not held already: when
# TARNWELL_FIXED_PORTS_LOCK_HELD=1 is in the environment, or when this
# process inherited a descriptor that holds it (as `flock LOCK COMMAND`
# passes one on unless given --close).

TARNWELL_FIXED_PORTS_LOCK=/tmp/tarnwell-fixed-ports.lock

# Succeeds when the caller says it holds the lock, or when one of the
# descriptors this shell inherited holds it: flock on a descriptor whose
# open file already holds the lock succeeds at once, while one that does not
# would have to wait, which -n refuses.
fixed_ports_lock_is_held() {
  [ "${TARNWELL_FIXED_PORTS_LOCK_HELD:-}" = 1 ] && return 0
  local fd
  for fd in "/proc/$BASHPID/fd/"*; do
    [ "$(readlink "$fd" 2>/dev/null)" = "$TARNWELL_FIXED_PORTS_LOCK" ] || continue
    flock -n "${fd##*/}" 2>/dev/null && return 0
  done
  return 1
}

# fixed_ports_lock WHO: holds the lock on descriptor 9 until this shell (and
# whatever it execs) ends, waiting with one line on stderr while another run
# holds it. Exports TARNWELL_FIXED_PORTS_LOCK_HELD=1 for the children.
fixed_ports_lock() {
  if ! fixed_ports_lock_is_held; then
    exec 9>>"$TARNWELL_FIXED_PORTS_LOCK"
    if ! flock -n 9; then
      echo "$1: waiting for $TARNWELL_FIXED_PORTS_LOCK, held by another run on the plug-in's" \
        "fixed ports (if you hold it yourself, set TARNWELL_FIXED_PORTS_LOCK_HELD=1)" >&2
      flock 9
    fi
  fi
  export TARNWELL_FIXED_PORTS_LOCK_HELD=1
}

# fixed_ports_try_lock: takes the lock on descriptor 9 if it is free (or
# already held); fails at once otherwise. For a quick check ahead of a run,
# in a subshell, so that the lock goes with it.
fixed_ports_try_lock() {
  fixed_ports_lock_is_held && return 0
  exec 9>>"$TARNWELL_FIXED_PORTS_LOCK"
  flock -n 9
}

# The inodes of the sockets bound to PORT, one a line: for TCP, listening
# sockets only (a connection that merely comes from that port binds
# nothing); for UDP, every socket. PROTO is tcp or udp. The columns of
# /proc/net/{tcp,udp}[6]: sl, local address:port (hex), remote, state (0A:
# listening), queues, timer, retransmits, uid, timeout, inode.
fixed_ports_sockets() {  # PROTO PORT
  local table
  for table in "/proc/net/$1" "/proc/net/${1}6"; do
    [ -r "$table" ] || continue
    awk -v port="$(printf '%04X' "$2")" -v tcp="$([ "$1" = tcp ] && echo 1)" \
      'NR > 1 { n = split($2, addr, ":")
                if (addr[n] == port && (!tcp || $4 == "0A")) print $8, $10 }' "$table"
  done
}

# fixed_ports_holders: prints one line for every program that holds the
# daemon's port (TCP, listening) or the notifications' port (UDP), naming the
# program, its pid and its user; prints nothing and fails when both are free.
# A process of another user is named only by that user when this one may not
# look into it. TARNWELL_CHECK_PORTS="TCP UDP" checks other ports instead,
# so that a test can check the check without holding the fixed ones.
fixed_ports_holders() {
  local ports tcp_port udp_port found=1 proto port uid inode
  read -r tcp_port udp_port <<<"${TARNWELL_CHECK_PORTS:-19080 19081}"
  for ports in "tcp $tcp_port" "udp $udp_port"; do
    read -r proto port <<<"$ports"
    while read -r uid inode; do
      found=0
      fixed_ports_describe "$proto" "$port" "$uid" "$inode"
    done < <(fixed_ports_sockets "$proto" "$port" | sort -u)
  done
  return "$found"
}

fixed_ports_describe() {  # PROTO PORT UID INODE
  local user pids=() fd pid program
  user=$(id -nu "$3" 2>/dev/null || echo "uid $3")
  # Every descriptor of every process that this user may look into.
  while read -r fd; do
    pid=${fd#/proc/}
    pids+=("${pid%%/*}")
  done < <(find /proc/[0-9]*/fd -maxdepth 1 -lname "socket:\[$4\]" 2>/dev/null)
  if [ ${#pids[@]} -eq 0 ]; then
    echo "  port $2 (${1^^}): a process of $user that cannot be seen from here"
    return
  fi
  for pid in $(printf '%s\n' "${pids[@]}" | sort -un); do
    program=$(readlink "/proc/$pid/exe" 2>/dev/null || cat "/proc/$pid/comm" 2>/dev/null || echo '?')
    echo "  port $2 (${1^^}): $program (pid $pid, user $user)"
  done
}

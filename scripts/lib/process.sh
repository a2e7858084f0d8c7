# Sourced by the scripts that start private servers and services.

# N TCP ports free on 127.0.0.1 at the moment, all different: they are held together while
# chosen, as ports picked one by one may repeat before any server binds them. Random high ones
# when python3 cannot say.
free_ports() {  # n
  python3 - "$1" <<'PY' 2>/dev/null || for ((i = 0; i < $1; i++)); do echo $((20000 + RANDOM % 20000)); done
import socket, sys
held = []
for _ in range(int(sys.argv[1])):
    s = socket.socket(); s.bind(("127.0.0.1", 0)); held.append(s)
for s in held: print(s.getsockname()[1])
PY
}
free_port() { free_ports 1; }

# Running and not a zombie: a killed process whose parent is gone can stay a zombie, and it
# holds nothing any more.
alive() {  # pid
  [ -r "/proc/$1/stat" ] || return 1
  local state
  state=$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# Sourced by the scripts that start private servers and services.

# A TCP port free on 127.0.0.1 at the moment (a random high one when python3 cannot say).
free_port() {
  python3 - <<'PY' 2>/dev/null || echo $((20000 + RANDOM % 20000))
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()
PY
}

# Running and not a zombie: a killed process whose parent is gone can stay a zombie, and it
# holds nothing any more.
alive() {  # pid
  [ -r "/proc/$1/stat" ] || return 1
  local state
  state=$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

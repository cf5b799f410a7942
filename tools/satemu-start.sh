# Sourced by the scripts that run the device emulator for a session.
#
#   start_satemu SATEMU LOG LINK [ARGS...]
# starts SATEMU on a pseudo-terminal linked as LINK (with ARGS), its output
# in LOG, sets emu_pid, and waits up to 10 s for the link to appear. Returns
# 1, after showing LOG, when it does not.
start_satemu() {
  local satemu=$1 log=$2 link=$3
  shift 3
  "$satemu" --link "$link" "$@" >"$log" 2>&1 &
  emu_pid=$!
  for _ in $(seq 100); do
    [ -L "$link" ] && return 0
    kill -0 "$emu_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "satemu did not link $link" >&2
  cat "$log" >&2
  return 1
}

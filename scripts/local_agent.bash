# Sourced by scripts/demo and scripts/bench: runs the bundled paagentd on loopback for the
# length of one script. start_local_agent makes a temporary directory holding the agent's home,
# a users file with one login of a random password and a product-family home whose interfaces
# file names the agent; it exports VTHOME, PA_SERVER, PA_USER and PA_PASSWORD for the programs
# run next. stop_local_agent, which the caller's EXIT trap runs, stops the agent and removes the
# directory.

PA_SERVER=PA_LOCAL_AGENT
PA_USER=demo
AGENT_WORK_DIR=
AGENT_PID=

# start_local_agent PAAGENTD [AGENT-OPTIONS...]
start_local_agent() {
  local paagentd=$1
  shift
  AGENT_WORK_DIR=$(mktemp -d "${TMPDIR:-/tmp}/agentclient-agent.XXXXXX")
  mkdir "$AGENT_WORK_DIR/home" "$AGENT_WORK_DIR/vthome"

  PA_PASSWORD=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  local hash
  hash=$(printf '%s\n' "$PA_PASSWORD" | "$paagentd" --hash-password)
  printf '%s:%s\n' "$PA_USER" "$hash" >"$AGENT_WORK_DIR/users"

  "$paagentd" --home "$AGENT_WORK_DIR/home" --users "$AGENT_WORK_DIR/users" \
    --listen 127.0.0.1:0 --name "$PA_SERVER" "$@" \
    >"$AGENT_WORK_DIR/agent.out" 2>"$AGENT_WORK_DIR/agent.log" &
  AGENT_PID=$!

  # The agent prints "paagentd: SERVER listening on HOST:PORT" once it accepts connections.
  local port='' deadline=$((SECONDS + 15))
  while [[ -z $port ]]; do
    port=$(sed -n 's/^paagentd: .* listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$AGENT_WORK_DIR/agent.out")
    [[ -n $port ]] && break
    if ! kill -0 "$AGENT_PID" 2>/dev/null; then
      echo "paagentd exited before listening:" >&2
      cat "$AGENT_WORK_DIR/agent.log" >&2
      return 1
    fi
    if ((SECONDS >= deadline)); then
      echo "paagentd did not report listening within 15 seconds" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "Started paagentd (PID $AGENT_PID) as $PA_SERVER on 127.0.0.1:$port."

  printf '%s\n\tquery tcp 5.0 127.0.0.1 %s\n' "$PA_SERVER" "$port" >"$AGENT_WORK_DIR/vthome/interfaces"
  export VTHOME="$AGENT_WORK_DIR/vthome" PA_SERVER PA_USER PA_PASSWORD
}

# Stops the agent (SIGTERM, then SIGKILL after 10 seconds) and removes the temporary directory.
stop_local_agent() {
  if [[ -n $AGENT_PID ]] && kill -0 "$AGENT_PID" 2>/dev/null; then
    kill -TERM "$AGENT_PID" 2>/dev/null || true
    local deadline=$((SECONDS + 10))
    while kill -0 "$AGENT_PID" 2>/dev/null && ((SECONDS < deadline)); do
      sleep 0.1
    done
    if kill -0 "$AGENT_PID" 2>/dev/null; then
      echo "paagentd did not stop within 10 seconds; killing it" >&2
      kill -KILL "$AGENT_PID" 2>/dev/null || true
    fi
    wait "$AGENT_PID" 2>/dev/null || true
    echo "Stopped paagentd."
  fi
  AGENT_PID=
  if [[ -n $AGENT_WORK_DIR ]]; then
    rm -rf "$AGENT_WORK_DIR"
    AGENT_WORK_DIR=
  fi
}

# Shows the end of the agent's log, for a script that failed.
show_agent_log() {
  if [[ -n $AGENT_WORK_DIR && -s $AGENT_WORK_DIR/agent.log ]]; then
    echo "--- last lines of the agent's log ---" >&2
    tail -n 20 "$AGENT_WORK_DIR/agent.log" >&2
  fi
}

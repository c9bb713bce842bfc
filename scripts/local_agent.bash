# Sourced by scripts/demo, scripts/bench and scripts/bench_pactl: runs the bundled paagentd on
# loopback for the length of one script. start_local_agent makes a temporary directory holding
# the agent's home, a users file with one login of a random password, a login key and a
# product-family home whose interfaces file names the agent and whose freetds.conf makes every
# login encrypt its password; it exports VTHOME, PA_SERVER, PA_USER and PA_PASSWORD for the
# programs run next. start_more_agents adds agents with the same login to the same
# interfaces file. stop_local_agent, which the caller's EXIT trap runs, stops every agent and
# removes the directory.

PA_SERVER=PA_LOCAL_AGENT
PA_USER=demo
AGENT_WORK_DIR=
AGENT_PID=
AGENT_PIDS=()
MORE_AGENTS=()

# launch_agent PAAGENTD NAME DIR [AGENT-OPTIONS...]: runs an agent called NAME with its home in
# DIR/home, its output in DIR/agent.out and its log in DIR/agent.log; waits until it listens,
# then adds its entry to the interfaces file. Sets LAUNCHED_PID and LAUNCHED_PORT.
launch_agent() {
  local paagentd=$1 name=$2 dir=$3
  shift 3
  mkdir -p "$dir/home"
  : >"$dir/agent.out"  # there before the agent writes to it, for the wait below to read
  "$paagentd" --home "$dir/home" --users "$AGENT_WORK_DIR/users" \
    --login-key "$AGENT_WORK_DIR/login_key.pem" --listen 127.0.0.1:0 --name "$name" "$@" \
    >"$dir/agent.out" 2>"$dir/agent.log" &
  LAUNCHED_PID=$!
  AGENT_PIDS+=("$LAUNCHED_PID")

  # The agent prints "paagentd: SERVER listening on HOST:PORT" once it accepts connections.
  local port='' deadline=$((SECONDS + 15))
  while [[ -z $port ]]; do
    port=$(sed -n 's/^paagentd: .* listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$dir/agent.out")
    [[ -n $port ]] && break
    if ! kill -0 "$LAUNCHED_PID" 2>/dev/null; then
      echo "paagentd $name exited before listening:" >&2
      cat "$dir/agent.log" >&2
      return 1
    fi
    if ((SECONDS >= deadline)); then
      echo "paagentd $name did not report listening within 15 seconds" >&2
      return 1
    fi
    sleep 0.1
  done
  LAUNCHED_PORT=$port
  printf '%s\n\tquery tcp 5.0 127.0.0.1 %s\n' "$name" "$port" >>"$AGENT_WORK_DIR/vthome/interfaces"
}

# start_local_agent PAAGENTD [AGENT-OPTIONS...]
start_local_agent() {
  local paagentd=$1
  shift
  AGENT_WORK_DIR=$(mktemp -d "${TMPDIR:-/tmp}/agentclient-agent.XXXXXX")
  mkdir "$AGENT_WORK_DIR/vthome"
  printf '[global]\n\tencryption = require\n' >"$AGENT_WORK_DIR/vthome/freetds.conf"

  PA_PASSWORD=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  local hash
  hash=$(printf '%s\n' "$PA_PASSWORD" | "$paagentd" --hash-password)
  printf '%s:%s\n' "$PA_USER" "$hash" >"$AGENT_WORK_DIR/users"

  launch_agent "$paagentd" "$PA_SERVER" "$AGENT_WORK_DIR" "$@"
  AGENT_PID=$LAUNCHED_PID
  echo "Started paagentd (PID $AGENT_PID) as $PA_SERVER on 127.0.0.1:$LAUNCHED_PORT."
  export VTHOME="$AGENT_WORK_DIR/vthome" PA_SERVER PA_USER PA_PASSWORD
}

# start_more_agents PAAGENTD COUNT [AGENT-OPTIONS...]: COUNT more agents, named PA_SERVER_1 and
# on, with the first one's login; appends their names to MORE_AGENTS.
start_more_agents() {
  local paagentd=$1 count=$2 i
  shift 2
  for ((i = 1; i <= count; i++)); do
    launch_agent "$paagentd" "${PA_SERVER}_$i" "$AGENT_WORK_DIR/more_$i" "$@"
    MORE_AGENTS+=("${PA_SERVER}_$i")
  done
}

# any_running PID...: whether one of the processes still runs.
any_running() {
  local pid
  for pid; do
    kill -0 "$pid" 2>/dev/null && return 0
  done
  return 1
}

# Stops every agent (SIGTERM, then SIGKILL after 10 seconds, with the processes it started)
# and removes the temporary directory.
stop_local_agent() {
  local running=() pid
  for pid in "${AGENT_PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null && running+=("$pid")
  done
  if ((${#running[@]} > 0)); then
    local deadline=$((SECONDS + 10))
    while any_running "${running[@]}" && ((SECONDS < deadline)); do
      sleep 0.1
    done
    for pid in "${running[@]}"; do
      if kill -0 "$pid" 2>/dev/null; then
        echo "paagentd (PID $pid) did not stop within 10 seconds; killing it and its processes" >&2
        # Every process the agent started is its child and leads a process group of its own,
        # with its log writer: a killed agent would leave them running.
        local children child
        children=$(pgrep -P "$pid" || true)
        kill -KILL "$pid" 2>/dev/null || true
        for child in $children; do
          kill -KILL -- "-$child" 2>/dev/null || true
        done
      fi
      wait "$pid" 2>/dev/null || true
    done
    echo "Stopped paagentd."
  fi
  AGENT_PID=
  AGENT_PIDS=()
  MORE_AGENTS=()
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

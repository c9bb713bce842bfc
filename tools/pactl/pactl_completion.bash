# bash completion for pactl: its commands, their own commands and options, the servers of the
# interfaces file, and the agent's processes and services. Names are asked of the agent only when
# PA_PASSWORD is set, so that completing never prompts for a password.

# The server names of the interfaces file under VTHOME.
_pactl_servers() {
  [[ -r ${VTHOME:-}/interfaces ]] && sed -n 's/^\([^[:space:]#][^[:space:]]*\).*/\1/p' "$VTHOME/interfaces"
}

# _pactl_names SERVER COMMAND...: the first column of what pactl COMMAND prints.
_pactl_names() {
  local server=$1
  shift
  [[ -n ${PA_PASSWORD:-} ]] || return 0
  pactl ${server:+-S "$server"} --timeout 2 "$@" 2>/dev/null | cut -f1
}

_pactl() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  case $prev in
    -S | --server | --servers)
      mapfile -t COMPREPLY < <(compgen -W "$(_pactl_servers)" -- "$cur")
      return
      ;;
    --password-file | -o | --output)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    --type)
      mapfile -t COMPREPLY < <(compgen -W "daemon aware plain" -- "$cur")
      return
      ;;
    -U | --user | --timeout | --args | --wait | --command | --host | --retries | -n | --lines | --count | --since)
      return
      ;;
  esac

  # The command and its own command, skipping options and their values.
  local i word command='' sub='' server=''
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case $word in
      -S | --server) server=${COMP_WORDS[i + 1]:-} && ((i++)) ;;
      -U | --user | --password-file | --servers | --timeout | --args | --wait | --command | --host | --retries | \
        --type | -o | --output | -n | --lines | --count | --since) ((i++)) ;;
      -*) ;;
      *) if [[ -z $command ]]; then command=$word; elif [[ -z $sub ]]; then sub=$word; fi ;;
    esac
  done

  local words=''
  case $command in
    '') words="status top start stop restart signal logs watch service apply export route agent
               -S --server -U --user --password-file --servers --all --json --timeout -v --verbose -h --help" ;;
    status | top | stop | restart) words=$(_pactl_names "$server" status) ;;
    logs) words="--host -n --lines -f --follow $(_pactl_names "$server" status)" ;;
    watch) words="--count --since --host $(_pactl_names "$server" status)" ;;
    start) words="--args --wait --command --host --managed --retries --type $(_pactl_names "$server" status)" ;;
    signal)
      if [[ -z $sub ]]; then
        words="HUP INT QUIT KILL USR1 USR2 TERM CONT STOP"
      else
        words=$(_pactl_names "$server" status)
      fi
      ;;
    service)
      if [[ -z $sub ]]; then
        words="list status start stop remove"
      elif [[ $sub != list ]]; then
        words=$(_pactl_names "$server" service list)
      fi
      ;;
    apply)
      words="--prune --dry-run"
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      ;;
    export) words="-o --output" ;;
    route) [[ -n $sub ]] || words="list add remove" ;;
    agent)
      if [[ -z $sub ]]; then
        words="version debug notify whoami stop-all start-all stop"
      elif [[ $sub == stop ]]; then
        words="--processes"
      fi
      ;;
  esac
  local more
  mapfile -t more < <(compgen -W "$words" -- "$cur")
  COMPREPLY+=("${more[@]}")
}
complete -F _pactl pactl

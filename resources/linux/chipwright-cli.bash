# SPDX-License-Identifier: GPL-3.0-or-later
# bash completion for chipwright-cli: commands, options, chip names from the program's
# own chip database (chipwright-cli chips), and programmer places from doctor.

_chipwright_cli_chips() {
  # The database search finds names holding the typed text; keep those starting with it.
  local IFS=$'\n'
  local names
  names=$("${COMP_WORDS[0]}" --quiet chips "$1" 2> /dev/null | cut -d ' ' -f 1)
  COMPREPLY=($(compgen -W "$names" -- "${1^^}"))
}

_chipwright_cli_places() {
  # doctor --json names each programmer on the bus by its place, on one line.
  local places
  places=$("${COMP_WORDS[0]}" doctor --json 2> /dev/null |
    grep -o '"place":"[^"]*"' | cut -d '"' -f 4)
  COMPREPLY=($(compgen -W "$places" -- "$1"))
}

_chipwright_cli() {
  local cur prev words cword split
  # ':' stays inside a word, so that --serial ADDR:FORMAT:START is one word.
  _init_completion -s -n : || return

  local commands="chips info detect read write verify erase auto blank-check version
    selftest update-firmware doctor line"
  local options="-c --chip --type --lang --json -q --quiet -y --yes --all --passes
    --backup --offset --diagnose --force --pad --no-verify --simulate --simulate= --sim-speed --sim-fault
    --sim-memory --sim-swap --sim-swap= --sim-tray --device --repeat --next-on-id --count --report
    --serial --line --job --station -h --help --version --"

  # _init_completion -s splits --simulate=CHIP into prev --simulate and cur CHIP; bare
  # --simulate takes no value, so only the split form is completed as a chip.
  if $split; then
    case $prev in
      --simulate)
        _chipwright_cli_chips "$cur"
        return
        ;;
      --sim-swap)
        return
        ;;
    esac
  fi

  case $prev in
    -c | --chip)
      _chipwright_cli_chips "$cur"
      COMPREPLY+=($(compgen -W "auto" -- "$cur"))
      return
      ;;
    --type)
      COMPREPLY=($(compgen -W "spi 24 25 93" -- "$cur"))
      return
      ;;
    --lang)
      COMPREPLY=($(compgen -W "English SimpleChinese" -- "$cur"))
      return
      ;;
    --sim-speed)
      COMPREPLY=($(compgen -W "max" -- "$cur"))
      return
      ;;
    --sim-fault)
      COMPREPLY=($(compgen -W "stall= disconnect= cut-read= garbage= wrong-reply bit-flip=
        loose-bit= never-ready fail-self-test silent write-protect empty-socket" -- "$cur"))
      [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
      return
      ;;
    --device)
      _chipwright_cli_places "$cur"
      return
      ;;
    --serial)
      # ADDR:FORMAT:START; the format is offered once the address is typed.
      if [[ $cur == *:* && $cur != *:*:* ]]; then
        local address=${cur%%:*}
        COMPREPLY=($(compgen -P "$address:" -S ":" -W "u32le u32be ascii" -- "${cur#*:}"))
        __ltrim_colon_completions "$cur"
        compopt -o nospace
      fi
      return
      ;;
    --line)
      # An SQLite file, or the start of a PostgreSQL URL.
      _filedir
      COMPREPLY+=($(compgen -W "sqlite: postgresql://" -- "$cur"))
      __ltrim_colon_completions "$cur"
      return
      ;;
    --passes | --offset | --count | --job | --station)
      return
      ;;
    --backup)
      _filedir -d
      return
      ;;
    --sim-memory | --report)
      _filedir
      return
      ;;
  esac

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    return
  fi

  # The first word that is neither an option nor an option's value is the command.
  local i command="" takes_value="-c --chip --type --lang --sim-speed --sim-fault --sim-memory
    --passes --backup --offset --device --count --report --serial --line --job --station"
  local subcommand=""
  for ((i = 1; i < cword; i++)); do
    if [[ " ${takes_value//$'\n'/ } " == *" ${words[i]} "* ]]; then
      ((i++))
    elif [[ ${words[i]} != -* && -z $command ]]; then
      command=${words[i]}
    elif [[ ${words[i]} != -* ]]; then
      subcommand=${words[i]}
      break
    fi
  done
  case $command in
    "")
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
      ;;
    info)
      _chipwright_cli_chips "$cur"
      ;;
    read | write | verify | auto | update-firmware)
      _filedir
      ;;
    line)
      # line create JOB FILE: the image after the job's name.
      case $subcommand in
        "") COMPREPLY=($(compgen -W "create close status export" -- "$cur")) ;;
        create) [[ ${words[cword - 1]} != create ]] && _filedir ;;
      esac
      ;;
  esac
} && complete -F _chipwright_cli chipwright-cli

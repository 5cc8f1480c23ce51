# SPDX-License-Identifier: GPL-3.0-or-later
# bash completion for chipwright-cli: commands, options, and chip names from the
# program's own chip database (chipwright-cli chips).

_chipwright_cli_chips() {
  # The database search finds names holding the typed text; keep those starting with it.
  local IFS=$'\n'
  local names
  names=$("${COMP_WORDS[0]}" --quiet chips "$1" 2> /dev/null | cut -d ' ' -f 1)
  COMPREPLY=($(compgen -W "$names" -- "${1^^}"))
}

_chipwright_cli() {
  local cur prev words cword
  _init_completion -s || return

  local commands="chips info detect read write verify erase auto version selftest update-firmware"
  local options="-c --chip --type --lang --json -q --quiet -y --yes --all --passes
    --simulate --simulate= --sim-speed --sim-fault --sim-memory -h --help"

  case $prev in
    -c | --chip)
      _chipwright_cli_chips "$cur"
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
        loose-bit= never-ready fail-self-test silent" -- "$cur"))
      compopt -o nospace
      return
      ;;
    --passes)
      return
      ;;
    --sim-memory)
      _filedir
      return
      ;;
  esac

  if [[ $cur == --simulate=* ]]; then
    cur=${cur#--simulate=}
    _chipwright_cli_chips "$cur"
    return
  fi
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    return
  fi

  # The first word that is neither an option nor an option's value is the command.
  local i command="" takes_value="-c --chip --type --lang --sim-speed --sim-fault --sim-memory --passes"
  for ((i = 1; i < cword; i++)); do
    if [[ " $takes_value " == *" ${words[i]} "* ]]; then
      ((i++))
    elif [[ ${words[i]} != -* ]]; then
      command=${words[i]}
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
  esac
} && complete -F _chipwright_cli chipwright-cli

# SPDX-License-Identifier: MIT
# bash completion for tav(1); works with or without the bash-completion package
_tav_files() {  # $1: -d for directories only; files ending in the suffixes $2... come first
  local IFS=$'\n' only=$1 suffix
  shift
  if declare -F _filedir >/dev/null; then
    if [[ $# -gt 0 ]]; then
      local IFS='|'
      _filedir "$*"
      [[ ${#COMPREPLY[@]} -gt 0 ]] && return
    fi
    _filedir $only
    return
  fi
  COMPREPLY=($(compgen -d -- "$cur"))
  [[ $only == -d ]] && return
  local dirs=${#COMPREPLY[@]}
  for suffix; do COMPREPLY+=($(compgen -f -X "!*.$suffix" -- "$cur")); done
  [[ ${#COMPREPLY[@]} -gt $dirs ]] && return
  COMPREPLY=($(compgen -f -- "$cur"))
}

_tav() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion || return
  else
    cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
  fi
  local commands="encrypt decrypt keygen scramble xscramble wipe help version"
  local passphrase="--passphrase-file --passphrase-fd"
  if [[ $cword -eq 1 ]]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi
  case $prev in
    --passphrase-file|-o|--output) _tav_files; return ;;
    --output-dir) _tav_files -d; return ;;
    --passphrase-fd|--blocks|--size|-T|--threads) return ;;
  esac
  local options command=${words[1]}
  # As tav itself: wipe, scramble and xscramble only by their full names.
  for c in encrypt decrypt keygen help version; do [[ $c == "$command"* ]] && command=$c && break; done
  case $command in
    encrypt|decrypt) options="--text --binary --block --expanded -o --output -c --stdout -f --force --string --hex -q --quiet --progress -r --recursive --output-dir -T --threads --fail-fast --resume --wipe-source $passphrase --help" ;;
    keygen) options="--text --binary --both -f --force $passphrase --help" ;;
    scramble) options="--blocks --size --help" ;;
    xscramble) options="$passphrase --help" ;;
    wipe) options="--help" ;;
    help) COMPREPLY=($(compgen -W "$commands" -- "$cur")); return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  elif [[ $command == keygen || " ${words[*]} " == *" -r "* || " ${words[*]} " == *" --recursive "* ]]; then
    _tav_files -d
  elif [[ $command == decrypt ]]; then
    _tav_files "" tav tavx
  else
    _tav_files
  fi
}
complete -F _tav tav

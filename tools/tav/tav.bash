# SPDX-License-Identifier: MIT
# bash completion for tav(1)
_tav() {
  local cur prev words cword
  _init_completion || return
  local commands="encrypt decrypt keygen scramble xscramble wipe"
  local passphrase="--passphrase-file --passphrase-fd"
  if [[ $cword -eq 1 ]]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi
  case $prev in
    --passphrase-file|-o|--output) _filedir; return ;;
    --passphrase-fd|--blocks|--size) return ;;
  esac
  local options
  case ${words[1]} in
    encrypt|decrypt) options="--text --binary --expanded -o --output -c --stdout -f --force --string --hex -q --quiet --progress $passphrase --help" ;;
    keygen) options="--text --binary --both -f --force $passphrase --help" ;;
    scramble) options="--blocks --size --help" ;;
    xscramble) options="$passphrase --help" ;;
    wipe) options="--help" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  elif [[ ${words[1]} == keygen ]]; then
    _filedir -d
  else
    _filedir
  fi
}
complete -F _tav tav

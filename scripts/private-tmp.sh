# Sourced by the scripts that work in a private mount namespace of their own.
#
# private_keymap_directory
#                       mounts an empty tmpfs on /var/lib/xkb for the X servers started from here. An
#                       X server compiles its keymap to /var/lib/xkb/server-<display>.xkm, a directory
#                       of the whole machine whatever the namespace, so two servers of one display
#                       number starting at once read each other's half-written file and fail ("Failed
#                       to compile keymap").
#
# private_tmp PATH...   mounts a fresh tmpfs on /tmp, so that whatever the script and the programs it
#                       starts put there (the launcher's debug log, X sockets) is private and goes with
#                       the namespace, and brings back each given host path that lies below /tmp (a
#                       checkout or build directory, an output directory, an X authority file). A
#                       missing path is an error, unless it is given as ?PATH.

private_tmp() {
  local path fd i
  local -a paths=() fds=()
  for path in "$@"; do
    local optional=""
    if [[ "$path" == \?* ]]; then
      optional=1
      path="${path#\?}"
    fi
    case "$path" in
      /tmp/*) ;;
      *) continue ;;
    esac
    if [ ! -e "$path" ]; then
      [ -n "$optional" ] && continue
      echo "$path cannot be reached" >&2
      return 1
    fi
    exec {fd}<"$path"
    paths+=("$path")
    fds+=("$fd")
  done
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  # Each path is bound again by the descriptor opened before: its name now lies in the tmpfs, and -c
  # keeps mount from resolving the descriptor's link back to that name.
  for i in "${!paths[@]}"; do
    path="${paths[$i]}"
    fd="${fds[$i]}"
    if [ -d "/proc/self/fd/$fd" ]; then
      mkdir -p "$path"
    else
      mkdir -p "$(dirname "$path")"
      : >"$path"
    fi
    mount -c --rbind "/proc/self/fd/$fd" "$path"
    eval "exec $fd<&-"
  done
}

private_keymap_directory() {
  if [ -d /var/lib/xkb ]; then
    mount -t tmpfs -o size=4m,mode=0755 tmpfs /var/lib/xkb ||
      echo "note: /var/lib/xkb stays shared with the machine's other X servers" >&2
  fi
}

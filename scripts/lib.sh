# shellcheck shell=bash
# What the scripts and the shell tests share: the repository's root, the
# usage and failure messages, and about the servers they run on this
# machine (scan_sim, lighttpd): whether a port listens, starting and
# stopping a process by its PID, and temporary folders removed on exit.
# Sourced by bash scripts right after their `set` line:
#   . "$(dirname "$0")/lib.sh"              (scripts/)
#   . "$(dirname "$0")/../scripts/lib.sh"   (bench/)
# Messages start with the script's file name, `script`.

# Debian installs lighttpd in /usr/sbin, which a user's PATH may lack;
# older systems keep unshare and mount in /sbin.
PATH=$PATH:/usr/sbin:/sbin

# The repository's root, without symbolic links: this file's folder's parent.
# shellcheck disable=SC2034  # read by the scripts
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
script=$(basename "$0")

# Prints the script's usage text, usage_text, to standard error and exits 2.
usage() {
  # shellcheck disable=SC2154  # set by the script
  printf '%s\n' "$usage_text" >&2
  exit 2
}

# Prints "SCRIPT: MESSAGE" to standard error and exits 1.
fail() {
  echo "$script: $*" >&2
  exit 1
}

# True while PID is a process that has not exited (a zombie has).
is_alive() {
  local state
  state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) && [[ -n $state && $state != Z ]]
}

# True while PID is alive and its command line mentions TEXT: a PID
# reused by an unrelated process is not ours.
is_ours() {
  local cmdline
  is_alive "$1" || return 1
  cmdline=$(tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null) || return 1
  [[ $cmdline == *"$2"* ]]
}

# The inode of the socket listening on ADDRESS:PORT (IPv4), "" if none.
# /proc/net/tcp spells the address as a little-endian hex word.
listening_inode() {
  local a b c d
  IFS=. read -r a b c d <<<"$1"
  awk -v local="$(printf '%02X%02X%02X%02X:%04X' "$d" "$c" "$b" "$a" "$2")" \
    '$2 == local && $4 == "0A" { print $10; exit }' /proc/net/tcp
}

# Whether anything listens on PORT at any IPv4 or IPv6 address.
port_in_use() {
  cat /proc/net/tcp /proc/net/tcp6 2>/dev/null |
    awk -v port="$(printf ':%04X' "$1")" \
      'substr($2, length($2) - 4) == port && $4 == "0A" { found = 1 } END { exit !found }'
}

# Whether process PID holds the socket with inode INODE.
holds_socket() {
  local fd
  for fd in /proc/"$1"/fd/*; do
    [[ $(readlink "$fd" 2>/dev/null) == "socket:[$2]" ]] && return 0
  done
  return 1
}

# Waits until process PID itself listens on ADDRESS:PORT, checking every
# 50 ms for up to SECONDS (default 10). Fails at once when PID exits.
wait_listening() {
  local pid=$1 address=$2 port=$3 tries inode
  for ((tries = ${4:-10} * 20; tries > 0; tries--)); do
    is_alive "$pid" || return 1
    inode=$(listening_inode "$address" "$port")
    [[ -n $inode ]] && holds_socket "$pid" "$inode" && return 0
    sleep 0.05
  done
  return 1
}

# Runs COMMAND... in the background in a session of its own, so that the
# terminal's signals do not reach it, with no input and its output in
# LOG. Sets started_pid.
start_detached() {
  local log=$1
  shift
  setsid "$@" </dev/null >"$log" 2>&1 &
  # shellcheck disable=SC2034  # read by the caller
  started_pid=$!
}

# Stops process PID if it is ours (its command line mentions TEXT): TERM,
# then KILL if it still runs after 10 s. NAME says what it is in the
# message about the KILL. Fails if it outlives that too.
stop_pid() {
  local pid=$1 text=$2 name=$3 tries
  kill -TERM "$pid" 2>/dev/null || true
  for ((tries = 200; tries > 0; tries--)); do
    is_ours "$pid" "$text" || return 0
    sleep 0.05
  done
  echo "$script: $name ignored TERM for 10 s; killing it" >&2
  kill -KILL "$pid" 2>/dev/null || true
  for ((tries = 100; tries > 0; tries--)); do
    is_ours "$pid" "$text" || return 0
    sleep 0.05
  done
  return 1
}

# Shell commands run when the script exits, the latest first.
exit_actions=()
run_exit_actions() {
  local i
  for ((i = ${#exit_actions[@]} - 1; i >= 0; i--)); do eval "${exit_actions[i]}" || true; done
}
at_exit() {
  exit_actions+=("$1")
  trap run_exit_actions EXIT
}

# Sets variable VAR to a new temporary folder, removed when the script
# exits.
make_temp_dir() {
  local folder
  folder=$(mktemp -d)
  printf -v "$1" '%s' "$folder"
  at_exit "rm -rf '$folder'"
}

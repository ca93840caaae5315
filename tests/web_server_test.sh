#!/usr/bin/env bash
# Whole-program test of the local web setup: lighttpd configured by
# scripts/web-config serves the pages of web/ and runs the real flash_x3
# against the card models of scan_sim on 127.0.0.1:1971; curl posts the
# upgrade form as a browser would, and as foreign pages would, which the
# server must refuse. Also starts and stops a server through
# scripts/web-server. Prints one line per check; exits 77 when lighttpd or
# curl is missing.
#   tests/web_server_test.sh FLASH_X3 SCAN_SIM
set -euo pipefail

(($# == 2)) || { echo "usage: $0 FLASH_X3 SCAN_SIM" >&2; exit 2; }
flash_x3=$1
scan_sim=$2
repo=$(cd "$(dirname "$0")/.." && pwd -P)
. "$repo/scripts/lib.sh"
for tool in lighttpd curl; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/setup installs it)"
    exit 77
  fi
done

make_temp_dir work
sim_pid=
web_pid=
# A server left by a failed web-server check.
at_exit '[[ ! -f $work/ws/lighttpd.pid ]] || "$repo/scripts/web-server" stop --dir "$work/ws" >/dev/null 2>&1'
at_exit 'for pid in $web_pid $sim_pid; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done'

passed=0
failed=0
pass() { echo "ok - $1"; passed=$((passed + 1)); }
fail() {
  echo "FAIL - $1"
  shift
  local detail
  for detail in "$@"; do echo "    $detail"; done
  failed=$((failed + 1))
}
# Gives up on the whole run: something the remaining checks need is broken.
abort() {
  echo "FAIL - $*"
  for log in "$work"/web/error.log "$work"/web/lighttpd.out "$work"/sim.out; do
    [[ -s $log ]] && { echo "--- $log"; tail -n 20 "$log"; }
  done
  echo "$passed passed, $((failed + 1)) failed"
  exit 1
}

# A port below the kernel's ephemeral range (where the upgrade's thousands
# of short connections take their local ports) that no socket uses.
free_port() {
  local low port tries
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range
  ((low > 12000)) || low=32768
  for ((tries = 0; tries < 100; tries++)); do
    port=$((10000 + RANDOM % (low - 10000)))
    cat /proc/net/tcp /proc/net/tcp6 2>/dev/null |
      awk -v port="$(printf ':%04X' "$port")" 'substr($2, length($2) - 4) == port { f = 1 } END { exit !f }' ||
      { echo "$port"; return 0; }
  done
  return 1
}

# --- the simulated backplane ------------------------------------------------
# Another test run on this machine may hold the scan port for a while, or
# take it between the look and scan_sim's bind.
for ((attempt = 0; attempt < 3; attempt++)); do
  for ((tries = 600; tries > 0; tries--)); do
    port_in_use 1971 || break
    sleep 0.05
  done
  port_in_use 1971 && abort "port 1971 stays in use by another process"
  "$scan_sim" --cards 1-4 --state "$work/state" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  wait_listening "$sim_pid" 127.0.0.1 1971 60 && break
  { kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null; } || true
  sim_pid=
done
[[ -n $sim_pid ]] || abort "scan_sim did not listen on 127.0.0.1:1971"

# --- the web server -----------------------------------------------------------
# A free port now may be taken before lighttpd binds it: then another.
for ((attempt = 0; attempt < 5; attempt++)); do
  port=$(free_port) || abort "no free port found"
  "$repo/scripts/web-config" "$work/web" "$port" "$flash_x3" >/dev/null || abort "scripts/web-config failed"
  lighttpd -D -f "$work/web/lighttpd.conf" </dev/null >"$work/web/lighttpd.out" 2>&1 &
  web_pid=$!
  wait_listening "$web_pid" 127.0.0.1 "$port" 60 && break
  { kill "$web_pid" 2>/dev/null && wait "$web_pid" 2>/dev/null; } || true
  web_pid=
done
[[ -n $web_pid ]] || abort "lighttpd did not start"
base=http://127.0.0.1:$port

# GET URL: the body in $work/body, the response headers in $work/headers,
# "status type" on stdout.
get() {
  curl -sS --max-time 30 -o "$work/body" -D "$work/headers" -w '%{http_code} %{content_type}' "$base$1"
}
# POST the upgrade form with curl's -F arguments from this server's own
# origin, as the browser does from the form; same outputs as get.
post() {
  post_from "Origin: $base" "$@"
}
# POST the upgrade form with one extra request header (curl's -H; "" for
# none).
post_from() {
  local args=() field
  [[ -z $1 ]] || args+=(-H "$1")
  shift
  for field in "$@"; do args+=(-F "$field"); done
  curl -sS --max-time 120 -o "$work/body" -D "$work/headers" -w '%{http_code} %{content_type}' "${args[@]}" \
    "$base/cgi/flash_x3"
}
# Adds to guard_problems what the response headers in file $2 lack of the
# content security policy and nosniff.
check_guard_headers() {
  local what=$1 headers=$2 policy
  policy=$(sed -n 's/^Content-Security-Policy: \(.*\)\r$/\1/ip' "$headers")
  # Scripts from this server only: no inline script, no other origin.
  [[ "$policy;" == *"script-src 'self';"* && $policy == *"default-src 'none'"* && $policy != *unsafe* ]] ||
    guard_problems+=("$what: Content-Security-Policy '$policy'")
  grep -qix $'X-Content-Type-Options: nosniff\r' "$headers" || guard_problems+=("$what: no X-Content-Type-Options: nosniff")
}

# --- the static pages -----------------------------------------------------
result=$(get /)
cp "$work/body" "$work/root.html"
if [[ $result == "200 text/html"* ]] && grep -q 'href="/cgi/web.cgi?upgrade_x3"' "$work/root.html" &&
   get /index.html >/dev/null && cmp -s "$work/body" "$work/root.html"; then
  pass "/ and /index.html show the landing page, which links the upgrade form"
else
  fail "/ and /index.html show the landing page, which links the upgrade form" "GET / gave $result"
fi

result=$(get /style.css)
if [[ $result == "200 text/css"* ]] && cmp -s "$work/body" "$repo/web/style.css"; then
  pass "/style.css is served as text/css"
else
  fail "/style.css is served as text/css" "got $result"
fi

# Every piece of the results page's frame has a rule of its own.
missing=()
for selector in 'div#top' 'h1' 'div#center' 'pre'; do
  grep -Eq "^$selector( |,|\$)" "$repo/web/style.css" || missing+=("$selector")
done
if ((${#missing[@]} == 0)); then
  pass "style.css styles div#top, h1, div#center and pre of the results page"
else
  fail "style.css styles div#top, h1, div#center and pre of the results page" "no rule for ${missing[*]}"
fi

result=$(get '/cgi/web.cgi?upgrade_x3')
cp "$work/body" "$work/form.html"
form_problems=()
[[ $result == "200 text/html"* ]] || form_problems+=("GET gave $result")
grep -q '<form method="post" action="/cgi/flash_x3" enctype="multipart/form-data">' "$work/form.html" ||
  form_problems+=("no multipart form posting to /cgi/flash_x3")
# The inputs in document order, one per line.
grep -o '<input[^>]*>' "$work/form.html" >"$work/inputs" || true
expected_names=$(for n in $(seq 0 31); do echo "slot$n"; done; echo image)
names=$(sed -n 's/.* name="\([^"]*\)".*/\1/p' "$work/inputs")
[[ $names == "$expected_names" ]] || form_problems+=("inputs in order: $(echo $names)")
(($(grep -c 'type="checkbox".*value="on"' "$work/inputs") == 32)) || form_problems+=("not 32 check boxes with value on")
grep -q 'type="file".*accept="\.s19,\.srec,\.mot"' "$work/inputs" || form_problems+=("file input without the S-record types")
disabled=$(grep 'disabled' "$work/inputs" | sed -n 's/.* name="\([^"]*\)".*/\1/p')
[[ $disabled == slot0 ]] || form_problems+=("disabled inputs: '$(echo $disabled)', expected slot0 alone")
for id in $(sed -n 's/.* id="\([^"]*\)".*/\1/p' "$work/inputs"); do
  grep -q "<label for=\"$id\">" "$work/form.html" || form_problems+=("no label for $id")
done
if ((${#form_problems[@]} == 0)); then
  pass "/cgi/web.cgi?upgrade_x3 shows the form: slot0..slot31 (slot0 disabled), then the file input, all labelled"
else
  fail "/cgi/web.cgi?upgrade_x3 shows the form: slot0..slot31 (slot0 disabled), then the file input, all labelled" \
    "${form_problems[@]}"
fi

# Nothing else under /cgi/ runs, and the configuration template is not
# served from the document root.
statuses=$(for url in '/cgi/web.cgi?status' /cgi/flash_x3/x /lighttpd.conf.in; do get "$url" | cut -d' ' -f1; done)
if [[ $(echo $statuses) == "403 403 403" ]]; then
  pass "other /cgi/ paths and the configuration template are refused"
else
  fail "other /cgi/ paths and the configuration template are refused" "statuses: $(echo $statuses)"
fi

# --- upgrades through the form --------------------------------------------
# Firmware with data above 0x10000 and the generation byte there erased, as
# S3 records of 32 data bytes: 320 KiB, and a full 512 KiB bank (a 1.3 MB
# upload).
make_firmware() {
  head -c "$2" /dev/urandom >"$work/$1.bin"
  printf '\xff' | dd of="$work/$1.bin" bs=1 seek=65536 conv=notrunc status=none
  objcopy -I binary -O srec --srec-forceS3 --srec-len=32 "$work/$1.bin" "$work/$1.s19"
}
make_firmware x3 327680
make_firmware full 524288

page_head='<html>
<head><link rel="stylesheet" type="text/css" href="/style.css"></head><body>
<div id="top"><h1><a href="/index.html">Telvane Switch</a> : <a href="/cgi/web.cgi?upgrade_x3">Upgrade X3 Firmware </a> : results</h1><div id="center"><pre>'
page_tail='</body>
</html>'
# Checks that the last post answered 200 with exactly the results page
# around OUTCOME (one line).
expect_page() {
  local name=$1 result=$2 outcome=$3 expected
  expected=$(printf '%s%s\n%s' "$page_head" "$outcome" "$page_tail")
  if [[ $result == "200 text/html"* && $(<"$work/body") == "$expected" ]]; then
    pass "$name"
  else
    fail "$name" "got $result:" "$(tail -c 300 "$work/body")"
  fi
}

result=$(post slot2=on slot3=on "image=@$work/x3.s19;type=application/octet-stream")
expect_page "two ticked slots: 2 cards re-flashed" "$result" \
  "The upgrade was successful. 2 cards re-flashed.<br> "
cp "$work/body" "$work/results.html"
cp "$work/headers" "$work/results.headers"

result=$(post slot4=on "image=@$work/x3.s19;type=application/octet-stream")
expect_page "one ticked slot: 1 card re-flashed" "$result" "The upgrade was successful. 1 card re-flashed.<br> "

result=$(post slot1=on "image=@$work/full.s19;type=application/octet-stream")
expect_page "a full 512 KiB image, a $(stat -c %s "$work/full.s19")-byte file: 1 card re-flashed" "$result" \
  "The upgrade was successful. 1 card re-flashed.<br> "

# flash_x3 stops reading at the S-record end line; here a 1 MiB field
# follows the file, so most of the body is never read.
head -c 1048576 /dev/zero | tr '\0' 'x' >"$work/tail.txt"
result=$(post slot1=on "image=@$work/x3.s19;type=application/octet-stream" "notes=<$work/tail.txt")
expect_page "a program that leaves 1 MiB of its input unread still gets its page out" "$result" \
  "The upgrade was successful. 1 card re-flashed.<br> "

result=$(post slot2=on "image=@$work/x3.s19;type=text/plain")
expect_page "a file sent as text/plain: malformed upload stream" "$result" \
  "The upgrade failed.<br>malformed upload stream"

# Only the switch's own pages may start an upgrade: the Origin header, or
# without one the Referer, must name this server. A refused post gets the
# refusal page and never reaches flash_x3, so no card changes; an accepted
# one re-flashes slot 4.
# method | Origin | Referer ("-" for none) | status
forged_posts="\
POST|http://evil.example|-|403
POST|null|-|403
POST|$base.evil.example|-|403
POST|http://evil.example|$base/cgi/web.cgi?upgrade_x3|403
POST|-|http://evil.example/upgrade.html|403
POST|-|$base.evil.example/|403
POST|-|-|403
PUT|-|-|403
POST|http://localhost:$port|-|200
POST|-|$base/cgi/web.cgi?upgrade_x3|200"
origin_problems=()
while IFS='|' read -r method origin referer status; do
  args=(-X "$method")
  [[ $origin == - ]] || args+=(-H "Origin: $origin")
  [[ $referer == - ]] || args+=(-H "Referer: $referer")
  before=$("$scan_sim" show --state "$work/state" --json)
  got=$(curl -sS --max-time 120 -o "$work/body" -D "$work/headers" -w '%{http_code}' "${args[@]}" -F slot4=on \
    -F "image=@$work/x3.s19;type=application/octet-stream" "$base/cgi/flash_x3") || true
  after=$("$scan_sim" show --state "$work/state" --json)
  what="$method, Origin $origin, Referer $referer"
  if [[ $got != "$status" ]]; then
    origin_problems+=("$what: status $got, expected $status")
  elif ((status == 403)); then
    cmp -s "$work/body" "$repo/web/errors/cross-site-403.html" || origin_problems+=("$what: not the refusal page")
    cp "$work/headers" "$work/refused.headers"
    [[ $after == "$before" ]] || origin_problems+=("$what: the cards changed")
  else
    grep -q 'The upgrade was successful. 1 card re-flashed.' "$work/body" && [[ $after != "$before" ]] ||
      origin_problems+=("$what: slot 4 not re-flashed: $(tail -c 200 "$work/body")")
  fi
done <<<"$forged_posts"
if ((${#origin_problems[@]} == 0)); then
  pass "posts from foreign pages or from nowhere are refused with 403 and touch no card; the server's own names flash"
else
  fail "posts from foreign pages or from nowhere are refused with 403 and touch no card; the server's own names flash" \
    "${origin_problems[@]}"
fi

# The form, its script, the results page and the refusal page run no
# script but the server's own files, and the pages have none inline to
# lose to that.
guard_problems=()
get '/cgi/web.cgi?upgrade_x3' >/dev/null
check_guard_headers "the form" "$work/headers"
get /upgrade.js >/dev/null
check_guard_headers "/upgrade.js" "$work/headers"
check_guard_headers "the results page" "$work/results.headers"
check_guard_headers "the refusal page" "$work/refused.headers"
for page in "$repo"/web/*.html "$repo"/web/errors/*.html; do
  ! grep -Eio '<script( [^>]*)?>' "$page" | grep -viq ' src=' || guard_problems+=("$page: inline script")
  ! grep -Eiq '<[^>]* on[a-z]+=|javascript:' "$page" || guard_problems+=("$page: inline event handler")
done
if ((${#guard_problems[@]} == 0)); then
  pass "the form, /upgrade.js, the results and the refusal page allow only the server's own scripts, nosniff"
else
  fail "the form, /upgrade.js, the results and the refusal page allow only the server's own scripts, nosniff" \
    "${guard_problems[@]}"
fi

# The links on the results page lead to pages of this server.
bad_links=()
for href in $(grep -o 'href="[^"]*"' "$work/results.html" | sed 's/href="\(.*\)"/\1/'); do
  result=$(get "$href")
  [[ $result == 200* ]] || bad_links+=("$href: $result")
done
if ((${#bad_links[@]} == 0)) && grep -q 'href=' "$work/results.html"; then
  pass "every link on the results page answers 200"
else
  fail "every link on the results page answers 200" "${bad_links[@]}"
fi

{ kill "$web_pid" && wait "$web_pid" 2>/dev/null; } || true
web_pid=

# --- scripts/web-server ---------------------------------------------------
server=$repo/scripts/web-server
ws=$work/ws
port=$(free_port) || abort "no free port found"
base=http://127.0.0.1:$port
if "$server" start --dir "$ws" --port "$port" --program "$flash_x3" >"$work/out" 2>&1; then
  pid=$(<"$ws/lighttpd.pid")
  inode=$(listening_inode 127.0.0.1 "$port")
  status_line=$("$server" status --dir "$ws" 2>&1) || true
  if [[ -n $inode ]] && holds_socket "$pid" "$inode" && [[ $status_line == *"running (PID $pid)"* ]] &&
     [[ $(get /cgi/web.cgi?upgrade_x3) == 200* ]]; then
    pass "web-server start: the recorded PID listens on the port and serves the form"
  else
    fail "web-server start: the recorded PID listens on the port and serves the form" "$(cat "$work/out")"
  fi
  if ! "$server" start --dir "$ws" --port "$port" >"$work/out" 2>&1 && grep -q 'already running' "$work/out"; then
    pass "web-server start refuses a second server for the same directory"
  else
    fail "web-server start refuses a second server for the same directory" "$(cat "$work/out")"
  fi
  "$server" stop --dir "$ws" >"$work/out" 2>&1 || true
  status=0
  "$server" status --dir "$ws" >/dev/null || status=$?
  if ! is_alive "$pid" && [[ ! -e $ws/lighttpd.pid && -z $(listening_inode 127.0.0.1 "$port") ]] && ((status == 3)); then
    pass "web-server stop ends that PID and frees the port; status then exits 3"
  else
    fail "web-server stop ends that PID and frees the port; status then exits 3" "$(cat "$work/out")"
  fi
else
  fail "web-server start: the recorded PID listens on the port and serves the form" "$(cat "$work/out")"
fi

echo "$passed passed, $failed failed"
((failed == 0))

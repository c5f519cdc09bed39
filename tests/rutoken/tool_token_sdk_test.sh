#!/usr/bin/env bash
# jarnel-tool token and jarnel-sim end to end on simulated ruToken and eToken carriers: the
# tool in one process, the simulator's state seen from another.
set -u
tool="$1"; simtool="$2"; simlibs="$3"
export JARNEL_SIM_DIR=$(mktemp -d)
export JARNEL_LIBRARY_PATH="$simlibs"
trap 'rm -rf "$JARNEL_SIM_DIR"' EXIT
unset JARNEL_PIN
failures=0

check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}
run() {  # run ARGS... : sets out, err, rc
  out=$("$tool" "$@" 2>"$JARNEL_SIM_DIR/.err"); rc=$?
  err=$(cat "$JARNEL_SIM_DIR/.err")
}

carrier() {  # carrier KIND READER PREFIX PIN ROOT FUNCTION (dump's root: a grep pattern)
  local kind="$1" reader="$2" prefix="$3" pin="$4" root="$5"
  "$simtool" "$kind" reset
  run token ls "$prefix:"
  check "$kind: no reader" 1 "$rc"
  run token put "$prefix:1001" /dev/null
  check "$kind: no reader message" yes "$(grep -q 'token reader not found' <<<"$err" && echo yes)"

  "$simtool" "$kind" insert "$reader"
  printf 'public bytes' | "$tool" token put "$prefix:1001/2002"
  check "$kind: put exit" 0 "$?"
  run token cat "$prefix:1001\\2002"
  check "$kind: cat" "public bytes" "$out"
  run token stat "$prefix:1001"
  check "$kind: stat directory" "directory -" "$out"
  run token ls "$prefix:1001"
  check "$kind: ls" "2002" "$out"

  # A private file: the PIN from a file, then from the environment; a wrong one fails clearly.
  echo "$pin" > "$JARNEL_SIM_DIR/pin"
  printf 'secret' | "$tool" token --private --pin-file "$JARNEL_SIM_DIR/pin" put "$prefix:1001/3003"
  check "$kind: private put" 0 "$?"
  run token cat "$prefix:1001/3003" </dev/null
  check "$kind: private cat without a PIN fails" 1 "$rc"
  check "$kind: login failed printed" yes "$(grep -q 'login failed' <<<"$err" && echo yes)"
  out=$(JARNEL_PIN="$pin" "$tool" token cat "$prefix:1001/3003")
  check "$kind: private cat with JARNEL_PIN" "secret" "$out"
  out=$(JARNEL_PIN=wrong "$tool" token cat "$prefix:1001/3003" 2>&1); rc=$?
  check "$kind: wrong PIN exit" 1 "$rc"
  check "$kind: wrong PIN printed" yes "$(grep -q 'login failed' <<<"$out" && echo yes)"

  # The simulator's view from another process.
  dump=$("$simtool" "$kind" dump "$reader")
  check "$kind: dump file" yes "$(grep -qi "^$root/1001/2002 12\$" <<<"$dump" && echo yes)"
  check "$kind: dump private" yes "$(grep -qi "^$root/1001/3003 6 private\$" <<<"$dump" && echo yes)"
  check "$kind: dump retries" yes "$(grep -q 'attempts left' <<<"$dump" && echo yes)"

  run token rm "$prefix:1001/2002"
  check "$kind: rm" 0 "$rc"
  check "$kind: rm gone" no "$("$simtool" "$kind" dump "$reader" | grep -qi '1001/2002' && echo yes || echo no)"
  run token mkdir "$prefix:4000"
  check "$kind: mkdir" 0 "$rc"
  run token stat "$prefix:4000"
  check "$kind: made directory" "directory -" "$out"

  # A vendor failure armed from the command line, on the read itself (the tool's probes before
  # the read open files too).
  before=$("$simtool" "$kind" calls "$6")
  "$simtool" "$kind" fail "$6" 1 0x80100069
  out=$(JARNEL_PIN="$pin" "$tool" token cat "$prefix:1001/3003" 2>/dev/null); rc=$?
  check "$kind: armed failure" 1 "$rc"
  out=$(JARNEL_PIN="$pin" "$tool" token cat "$prefix:1001/3003" 2>/dev/null); rc=$?
  check "$kind: only that call failed" "0 secret" "$rc $out"
  check "$kind: calls counted" yes "$([ "$("$simtool" "$kind" calls "$6")" -gt "$before" ] && echo yes)"

  "$simtool" "$kind" remove "$reader"
  run token cat "$prefix:1001/3003"
  check "$kind: removed token" 1 "$rc"
}

carrier rutoken "Aktiv Co. ruToken 0" "ruToken" 12345678 f001 rtlReadFile
carrier etoken "AKS ifdh 0" "AKS ifdh 0" 1234567890 '3f00\\e007' ETFileRead
[ "$failures" -eq 0 ] && echo "all passed"
exit $((failures > 0))

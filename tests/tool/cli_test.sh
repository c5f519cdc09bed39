#!/usr/bin/env bash
# jarnel-tool as a whole: --version, help in every form, --opt=value, usage errors that name the
# option, and the exit status when the result cannot be written (a full disk).
# Usage: cli_test.sh JARNEL_TOOL
set -u
tool=$(readlink -f "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"; }

key=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
head -c 3000 /dev/urandom >"$work/msg"

# Versions.
v=$("$tool" --version) || fail "--version exit"
[[ $v =~ ^jarnel-tool\ [0-9]+\.[0-9]+ ]] || fail "--version prints '$v'"
expect_eq "$("$tool" version)" "$v" "version command and --version agree"

# Help: every listed command answers --help and help CMD with its usage on standard output.
commands=$("$tool" --help | sed -n 's/^  \([a-z0-9-]*\) .*/\1/p')
[ -n "$commands" ] || fail "--help lists no commands"
for c in $commands; do
  out=$("$tool" "$c" --help 2>&1) || fail "$c --help: exit $?"
  echo "$out" | grep -q "usage: jarnel-tool $c" || fail "$c --help: no usage line"
  expect_eq "$("$tool" help "$c" 2>&1)" "$out" "help $c equals $c --help"
done
for c in cipher digest ecgost mac rand token version r3410 pse buffer cert crl key; do
  echo "$commands" | grep -qx "$c" || { fail "$c is not listed"; continue; }
  expect_eq "$("$tool" "$c" -h 2>&1)" "$("$tool" "$c" --help 2>&1)" "$c -h equals --help"
done
"$tool" help nosuch >/dev/null 2>"$work/err"
expect_eq "$?:$(cat "$work/err")" "2:jarnel-tool: unknown command 'nosuch' (see jarnel-tool --help)" "help of an unknown command"

# Usage errors: exit 2, one line naming the command and the option.
check_usage() {
  local says=$1
  shift
  "$tool" "$@" </dev/null >/dev/null 2>"$work/err"
  local rc=$?
  expect_eq "$rc:$(cat "$work/err")" "2:$says" "$*"
}
check_usage "jarnel-tool digest: option '--alg' needs a value" digest --alg
check_usage "jarnel-tool digest: unknown option '--frob' (see jarnel-tool digest --help)" digest --frob=1 --alg rus-hash
check_usage "jarnel-tool mac: option '--key' needs a value" mac --key --iv 0011223344556677
check_usage "jarnel-tool cipher: option '--decrypt' takes no value" cipher --decrypt=1
check_usage "jarnel-tool version: version takes no arguments" version extra
check_usage "jarnel-tool cipher: unknown algorithm 'des' for --alg" cipher --alg=des --key=$key
check_usage "jarnel-tool pse: option '--shares' needs a value" pse create "$work/c" --shares
check_usage "jarnel-tool pse: unknown option '--frob' (see jarnel-tool pse --help)" pse check --frob=1 "$work/c"
check_usage "jarnel-tool buffer: option '--password-file' needs a value" buffer encrypt --password-file
check_usage "jarnel-tool buffer: --cipher goes with encrypt only" buffer decrypt --cipher=44 --password-file "$work/msg"
check_usage "jarnel-tool cert: unknown subcommand 'frob' (see jarnel-tool cert --help)" cert frob
check_usage "jarnel-tool cert: add needs PSEPATH and CERTFILE (see jarnel-tool cert add --help)" cert add "$work/c"
check_usage "jarnel-tool cert: show needs one FILE (see jarnel-tool cert show --help)" cert show a b
check_usage "jarnel-tool cert: unknown option '--frob' (see jarnel-tool cert --help)" cert show --frob "$work/msg"
check_usage "jarnel-tool crl: show needs one FILE (see jarnel-tool crl --help)" crl show
check_usage "jarnel-tool crl: unknown subcommand 'list' (see jarnel-tool crl --help)" crl list x
check_usage "jarnel-tool key: option '--paramset' needs a value" key gen "$work/c" --paramset
check_usage "jarnel-tool key: unknown option '--frob' (see jarnel-tool key --help)" key pub --frob=1 "$work/c"
check_usage "jarnel-tool key: --paramset CP-D is not a parameter set of ECGOST3410" key gen "$work/c" --paramset=CP-D
check_usage "jarnel-tool key: --alg, --paramset and --traditional go with gen" key sign "$work/c" --alg=R3410
check_usage "jarnel-tool key: import needs PSEPATH and KEYFILE" key import "$work/c"
# Subcommands have their own help, also as "help CMD SUB".
for cs in "token ls" "pse create" "pse copy" "buffer decrypt" "cert show" "cert add"; do
  read -r c sub <<<"$cs"
  out=$("$tool" $c $sub --help 2>&1) || fail "$cs --help: exit $?"
  echo "$out" | grep -q "^usage: jarnel-tool $cs" || fail "$cs --help: no usage line of its own"
  expect_eq "$("$tool" help $c $sub 2>&1)" "$out" "help $cs equals $cs --help"
done

# --opt=value is the same as --opt value.
expect_eq "$("$tool" mac --key=$key --sbox=tc26-z "$work/msg")" "$("$tool" mac --key $key --sbox tc26-z "$work/msg")" \
  "--opt=value"
# "--" ends the options: a file named like an option.
cp "$work/msg" "$work/--alg"
(cd "$work" && "$tool" digest --alg rus-hash -- --alg) >/dev/null || fail "-- before a file named --alg"

# A result that cannot be written: exit 1 and one line, for every command that prints one.
mkdir -p "$work/tok"
printf 'x' >"$work/tok/f"
full() {
  "$tool" "$@" >/dev/full 2>"$work/err" </dev/null
  local rc=$?
  expect_eq "$rc" 1 "$* > /dev/full: exit status"
  grep -q "standard output: No space left on device" "$work/err" || fail "$* > /dev/full: says '$(cat "$work/err")'"
  expect_eq "$(wc -l <"$work/err")" 1 "$* > /dev/full: one line"
}
full --version
full version
full --help
full digest --alg rus-hash "$work/msg"
full digest --alg rus-hash "$work/msg" "$work/msg"
full mac --key $key "$work/msg"
full cipher --alg rus-gamma --key $key "$work/msg"
full rand 16 --hex
full rand 100000
full token ls "$work/tok"
full token stat "$work/tok/f"
full token cat "$work/tok/f"
full ecgost keygen --paramset A
"$tool" ecgost keygen --paramset A --out "$work/k.der" || fail "keygen --out"
full ecgost pub --paramset A --key-file "$work/k.der"
full ecgost sign --paramset A --key-file "$work/k.der" "$work/msg"
printf 'pw\n' >"$work/pw"
"$tool" buffer encrypt --password-file "$work/pw" "$work/msg" "$work/msg.p7" || fail "buffer encrypt"
full buffer decrypt --password-file "$work/pw" "$work/msg.p7"
full buffer encrypt --password-file "$work/pw" "$work/msg"
"$tool" pse create "$work/pse" || fail "pse create"
full pse check "$work/pse"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/c.key" -subj /CN=x -days 1 -out "$work/c.pem" 2>/dev/null
full cert show "$work/c.pem"
"$tool" ecgost keygen --paramset A --out /dev/full 2>"$work/err"
expect_eq "$?:$(cat "$work/err")" "1:jarnel-tool ecgost: /dev/full: No space left on device" "keygen --out /dev/full"
"$tool" cipher --alg rus-gamma --key $key --out /dev/full "$work/msg" 2>"$work/err"
expect_eq "$?:$(cat "$work/err")" "1:jarnel-tool cipher: /dev/full: No space left on device" "cipher --out /dev/full"
"$tool" buffer decrypt --password-file "$work/pw" "$work/msg.p7" /dev/full 2>"$work/err"
expect_eq "$?:$(cat "$work/err")" "1:jarnel-tool buffer: /dev/full: No space left on device" "buffer decrypt to /dev/full"

# A denied read says so (not "no such file"). Permissions do not bind root: run as nobody when
# this runs as root and nobody can reach the tool.
as_nobody=()
if [ "$(id -u)" -ne 0 ]; then
  as_nobody=(env)
elif command -v setpriv >/dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups "$tool" --version >/dev/null 2>&1; then
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
if [ ${#as_nobody[@]} -gt 0 ]; then
  deny=$(mktemp -d)
  chmod 755 "$deny"
  mkdir "$deny/locked"
  echo x >"$deny/locked/f"
  echo y >"$deny/secret"
  chmod 700 "$deny/locked"
  chmod 600 "$deny/secret"
  [ "$(id -u)" -eq 0 ] || chmod 000 "$deny/locked" "$deny/secret"
  while read -r -a words; do
    path=${words[-1]}
    unset 'words[-1]'
    "${as_nobody[@]}" "$tool" "${words[@]}" "$deny/$path" >/dev/null 2>"$work/err"
    expect_eq "$?:$(cat "$work/err")" "1:jarnel-tool ${words[0]}: $deny/$path: Permission denied" "${words[*]} of a denied path"
  done <<'TABLE'
token stat locked/f
token cat locked/f
token cat secret
digest --alg rus-hash secret
mac --key 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f secret
buffer encrypt --password-file /dev/null secret
pse check locked
TABLE
  chmod -R u+rwx "$deny"
  rm -rf "$deny"
else
  echo "note: permissions bind nobody here; denied-read checks skipped"
fi

[ $failures -eq 0 ] && echo "jarnel-tool command-line checks passed"
exit $((failures > 0))

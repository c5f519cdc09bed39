#!/usr/bin/env bash
# jarnel-tool token end to end on a temporary folder: every subcommand, its exit status, and
# what it leaves on disk.
set -u
tool="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}

run() {  # run ARGS... : sets out, err, rc
  out=$("$tool" "$@" 2>"$dir/.err"); rc=$?
  err=$(cat "$dir/.err")
}

run token mkdir "$dir/tok/keys"
check "mkdir exit" 0 "$rc"
check "mkdir made the folder" yes "$([ -d "$dir/tok/keys" ] && echo yes)"
run token mkdir "$dir/tok/keys"
check "mkdir of an existing folder" 0 "$rc"

printf 'public bytes\n' | "$tool" token put "$dir/tok/keys/req.txt"
check "put from standard input" "public bytes" "$(cat "$dir/tok/keys/req.txt")"
head -c 5000 /dev/urandom > "$dir/secret.src"
run token --private put "$dir/tok/keys/secret.key" "$dir/secret.src"
check "private put exit" 0 "$rc"
check "private put bytes" yes "$(cmp -s "$dir/secret.src" "$dir/tok/keys/secret.key" && echo yes)"
run token put "$dir/tok/keys/empty.bin" /dev/null
check "put of nothing" 0 "$rc"
check "empty file exists" yes "$([ -f "$dir/tok/keys/empty.bin" ] && [ ! -s "$dir/tok/keys/empty.bin" ] && echo yes)"
run token put "$dir/tok/new/deeper/f" "$dir/secret.src"
check "put makes missing directories" yes "$([ -f "$dir/tok/new/deeper/f" ] && echo yes)"

run token ls "$dir/tok"
check "ls marks directories" "keys/
new/" "$out"
run token ls "$dir/tok/keys"
check "ls of files" "empty.bin
req.txt
secret.key" "$out"
run token ls "$dir/tok/keys/*.key"
check "ls with a pattern" "secret.key" "$out"
run token ls "$dir/missing"
check "ls of a missing folder fails" 1 "$rc"

run token cat "$dir/tok/keys/req.txt"
check "cat" "public bytes" "$out"
check "cat prints nothing on standard error" "" "$err"
"$tool" token cat "$dir/tok/keys/secret.key" > "$dir/back"
check "cat gives the bytes back" yes "$(cmp -s "$dir/secret.src" "$dir/back" && echo yes)"
run token cat "$dir/tok/keys/missing"
check "cat of a missing file fails" 1 "$rc"
check "cat failure says why in one line" "jarnel-tool token: $dir/tok/keys/missing: No such file or directory" "$err"
run --verbose token cat "$dir/tok/keys/missing"
check "--verbose adds the error queue" yes "$(echo "$err" | grep -q ':BUFFER_read_file:internal error:' && echo yes)"
run token cat "$dir/tok/keys"
check "cat of a directory" "1 jarnel-tool token: $dir/tok/keys: Is a directory" "$rc $err"
run token put "$dir/tok/keys/req.txt/under" "$dir/secret.src"
check "put under a file" "1 jarnel-tool token: $dir/tok/keys/req.txt/under: Not a directory" "$rc $err"
run token put "$dir/tok/keys/x" "$dir/no-source"
check "put of a missing source" "1 jarnel-tool token: $dir/no-source: No such file or directory" "$rc $err"
run token mkdir "$dir/tok/keys/req.txt"
check "mkdir on a file" "1 jarnel-tool token: $dir/tok/keys/req.txt: File exists and is not a directory" "$rc $err"

run token stat "$dir/tok/keys/secret.key"
check "stat of a file" "file 5000" "$out"
run token stat "$dir/tok/keys"
check "stat of a directory" "directory -" "$out"
run token stat "$dir/tok/nothing"
check "stat of nothing fails" "1 jarnel-tool token: $dir/tok/nothing: No such file or directory" "$rc $err"

ln "$dir/tok/keys/secret.key" "$dir/witness"
run token rm "$dir/tok/keys/secret.key"
check "rm of a file" 0 "$rc"
check "rm deleted the file" no "$([ -e "$dir/tok/keys/secret.key" ] && echo yes || echo no)"
check "rm overwrote it with zeros first" yes "$(cmp -s "$dir/witness" <(head -c 5000 /dev/zero) && echo yes)"
run token rm "$dir/tok/keys"
check "rm of a non-empty directory fails" "1 jarnel-tool token: $dir/tok/keys: Directory not empty" "$rc $err"
check "it is still there" yes "$([ -f "$dir/tok/keys/req.txt" ] && echo yes)"
run token rm "$dir/tok/keys/req.txt"
run token rm "$dir/tok/keys/empty.bin"
run token rm "$dir/tok/keys"
check "rm of an empty directory" 0 "$rc"
check "the directory is gone" no "$([ -e "$dir/tok/keys" ] && echo yes || echo no)"
run token rm "$dir/tok/keys"
check "rm of nothing fails" 1 "$rc"

# A token whose vendor library is missing fails cleanly.
run token cat "ruToken:1001"
check "ruToken without its library" 1 "$rc"

# Usage errors and help.
run token
check "no subcommand" 2 "$rc"
run token frob "$dir"
check "unknown subcommand" 2 "$rc"
run token cat
check "missing PATH" 2 "$rc"
run token cat a b
check "too many arguments" 2 "$rc"
run token --private cat "$dir/x"
check "--private outside put" 2 "$rc"
run token ls "$dir" --pin-file
check "--pin-file without a file" 2 "$rc"
run token --pin-file "$dir/no-pin" ls "$dir"
check "a missing PIN file" "1 jarnel-tool token: $dir/no-pin: No such file or directory" "$rc $err"
printf '1234\n' >"$dir/pin"
run token --pin-file="$dir/pin" ls "$dir/tok"
check "a PIN file is read only when a carrier asks" 0 "$rc"
run token ls --pin-file
check "a missing value names the option" "jarnel-tool token: option '--pin-file' needs a value" "$err"
run token --bogus ls "$dir"
check "unknown option" 2 "$rc"
run token ls "$(printf 'x%.0s' $(seq 1 260))"
check "over-long path" 2 "$rc"
for level in "" ls cat put rm mkdir stat; do
  for form in "token $level --help" "token $level -h" "help token $level"; do
    # shellcheck disable=SC2086
    run $form
    check "help '$form'" 0 "$rc"
    check "help '$form' says usage" yes "$(echo "$out" | grep -q '^usage: jarnel-tool token' && echo yes)"
  done
done
"$tool" token ls "$dir" >/dev/full 2>"$dir/.err"
check "ls to a full disk" "1 jarnel-tool token: standard output: No space left on device" "$? $(cat "$dir/.err")"
run --help
check "tool help lists token" yes "$(echo "$out" | grep -q '^  token' && echo yes)"

# Private files are the owner's alone, with the folders made for them, whatever the mask.
(
  umask 000
  "$tool" token --private put "$dir/priv/new/k.key" "$dir/secret.src"
  "$tool" token put "$dir/pub/new/cert.cer" "$dir/secret.src"
)
check "private file mode" 600 "$(stat -c %a "$dir/priv/new/k.key")"
check "private folder mode" 700 "$(stat -c %a "$dir/priv/new")"
check "public file keeps the default" 666 "$(stat -c %a "$dir/pub/new/cert.cer")"

# A folder the user may not read: a failure with the system's reason, not an empty listing.
# Root reads every folder, so the tool runs as user nobody from a copy it may execute.
if [ "$(id -u)" -ne 0 ] || command -v setpriv >/dev/null; then
  shared=$(mktemp -d)
  chmod 755 "$shared"
  cp "$tool" "$shared/jarnel-tool"
  mkdir "$shared/locked"
  printf 'a' > "$shared/locked/a.key"
  printf 'b' > "$shared/locked/b.key"
  chmod 000 "$shared/locked"
  as_user=()
  [ "$(id -u)" -eq 0 ] && as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  out=$("${as_user[@]}" "$shared/jarnel-tool" token ls "$shared/locked" 2>"$dir/.err"); rc=$?
  err=$(cat "$dir/.err")
  check "ls of an unreadable folder fails" 1 "$rc"
  check "ls of an unreadable folder lists nothing" "" "$out"
  check "one line of reason" 1 "$(printf '%s\n' "$err" | wc -l)"
  check "the reason is the system's" yes "$(echo "$err" | grep -qx "jarnel-tool token: $shared/locked: Permission denied" && echo yes)"
  chmod 700 "$shared/locked"
  rm -rf "$shared"
else
  echo "SKIP: running as root without setpriv: the unreadable-folder checks need an unprivileged user"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"

#!/usr/bin/env bash
# jarnel-tool pse and buffer end to end on a temporary folder: every subcommand, its exit
# status, and what it leaves on disk.
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

run() {  # run ARGS... : sets out, err, rc. In a table's words A, X, PW and IN name files here.
  local args=() a
  for a in "$@"; do
    case $a in
      A) args+=("$dir/a") ;;
      X) args+=("$dir/x") ;;
      PW) args+=("$dir/pw") ;;
      IN) args+=("$dir/plain") ;;
      *) args+=("$a") ;;
    esac
  done
  out=$("$tool" "${args[@]}" 2>"$dir/.err" </dev/null); rc=$?
  err=$(cat "$dir/.err")
}

sizes() { (cd "$1" && for f in mk.db3 masks.db3 kek.opq rand.opq; do printf '%s ' "$(stat -c %s "$f" 2>/dev/null || echo -)"; done); }

# create and check
run pse create "$dir/a"
check "create exit" 0 "$rc"
check "create file sizes" "230 32 36 36 " "$(sizes "$dir/a")"
run pse check "$dir/a"
check "check exit" 0 "$rc"
check "check lines" "sbox=31 shares=8" "$(echo "$out" | head -2 | tr '\n' ' ' | sed 's/ $//')"
check "fingerprint is 64 hex digits" yes "$(echo "$out" | grep -Eq '^fingerprint=[0-9a-f]{64}$' && echo yes)"
fp_a=$(echo "$out" | grep fingerprint)
rand_before=$(od -An -tx1 "$dir/a/rand.opq")
run pse check "$dir/a"
check "check leaves the random state" "$rand_before" "$(od -An -tx1 "$dir/a/rand.opq")"
run pse create "$dir/a"
check "create over a container is refused" 1 "$rc"
check "refusal names the cause" yes "$(echo "$err" | grep -q 'exists there already' && echo yes)"

run pse create --shares 1 --sbox 34 "$dir/b"
check "create with options" 0 "$rc"
check "one share sizes" "6 32 36 36 " "$(sizes "$dir/b")"
run pse check "$dir/b"
check "check finds the S-box and shares" "sbox=34 shares=1" "$(echo "$out" | head -2 | tr '\n' ' ' | sed 's/ $//')"

# damaged container
cp -r "$dir/a" "$dir/bad"
printf '\x23' | dd of="$dir/bad/mk.db3" bs=1 seek=0 conv=notrunc 2>/dev/null
run pse check "$dir/bad"
check "damaged container: one line" "1:jarnel-tool pse: $dir/bad: the container does not open: its files are damaged or incomplete" "$rc:$err"
run pse check --verbose "$dir/bad"
check "--verbose: the queue names PSE_CTX_read" yes "$(echo "$err" | grep -q 'PSE_CTX_read' && echo yes)"
check "--verbose: the reason line too" yes "$(echo "$err" | grep -qx "jarnel-tool pse: $dir/bad: .*damaged or incomplete" && echo yes)"
run --verbose pse check "$dir/bad"
check "--verbose before the command" yes "$(echo "$err" | grep -q 'PSE_CTX_read' && echo yes)"
run pse check "$dir/none"
check "missing container" "1:jarnel-tool pse: $dir/none: no container there" "$rc:$err"

# copy, with a password-protected mask at the destination
printf 'pass word\n' > "$dir/pw"
printf 'other\n' > "$dir/pw2"
run pse copy --mask-password-file "$dir/pw" "$dir/a" "$dir/c"
check "copy exit" 0 "$rc"
check "protected mask is DER" "30" "$(od -An -tx1 -N1 "$dir/c/masks.db3" | tr -d ' ')"
run pse check "$dir/c"
check "protected mask without password" \
  "1:jarnel-tool pse: $dir/c: the mask file is password-protected (give --mask-password-file)" "$rc:$err"
run pse check --mask-password-file "$dir/pw2" "$dir/c"
check "wrong mask password: the library's reason" "1:jarnel-tool pse: $dir/c: integrity check value failure" "$rc:$err"
run pse check --mask-password-file "$dir/nosuch" "$dir/c"
check "unreadable password file" "1:jarnel-tool pse: $dir/nosuch: No such file or directory" "$rc:$err"
run pse check --mask-password-file "$dir/pw" "$dir/c"
check "right mask password opens" "$fp_a" "$(echo "$out" | grep fingerprint)"
run pse copy --mask-password-file "$dir/pw" "$dir/c" "$dir/d"
check "copy of a protected container" 0 "$rc"
run pse check --mask-password-file "$dir/pw" "$dir/d"
check "the copy keeps the keys" "$fp_a" "$(echo "$out" | grep fingerprint)"

# erase
mkdir -p "$dir/d/keys" && echo k > "$dir/d/keys/k.key"
rm -f "$dir/d/rand.opq"
run pse erase "$dir/d"
check "erase exit" 0 "$rc"
check "erase removes the files" "- - - - " "$(sizes "$dir/d")"
check "erase keeps the key folder" yes "$([ -f "$dir/d/keys/k.key" ] && echo yes)"
run pse erase "$dir/d"
check "erase of nothing" 0 "$rc"
# A container that cannot be deleted is not reported erased. Permissions do not bind root: run
# as nobody then, when nobody can reach the tool.
as_nobody=()
if [ "$(id -u)" -ne 0 ]; then
  as_nobody=(env)
elif command -v setpriv >/dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups "$tool" --version >/dev/null 2>&1; then
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
if [ ${#as_nobody[@]} -gt 0 ] && [ -x "$dir" ] && chmod 755 "$dir"; then
  cp -r "$dir/a" "$dir/locked"
  chmod 555 "$dir/locked"
  "${as_nobody[@]}" "$tool" pse erase "$dir/locked" 2>"$dir/.err"
  check "erase of an undeletable container" "1:jarnel-tool pse: $dir/locked: Permission denied" "$?:$(cat "$dir/.err")"
  check "its files stay" "230 32 36 36 " "$(sizes "$dir/locked")"
  "${as_nobody[@]}" "$tool" pse create "$dir/locked/sub" 2>"$dir/.err"
  check "create in a folder that cannot be written" 1 "$?"
  check "no container is left there" no "$([ -e "$dir/locked/sub/mk.db3" ] && echo yes || echo no)"
  chmod 755 "$dir/locked"
else
  echo "note: permissions bind nobody here; undeletable-container checks skipped"
fi

# usage: exit 2 and one line that names the option or the argument
while IFS='|' read -r says args; do
  read -r -a words <<<"$args"
  run "${words[@]}"
  check "usage: $args" "2:jarnel-tool pse: $says" "$rc:$err"
done <<'TABLE'
unknown subcommand 'frobnicate' (see jarnel-tool pse --help)|pse frobnicate A
--shares needs a number from 1 to 255, not '0'|pse create --shares 0 X
--shares needs a number from 1 to 255, not '256'|pse create --shares=256 X
--sbox needs a number from 31 to 35, not '36'|pse create --sbox 36 X
option '--sbox' needs a value|pse create X --sbox
--shares goes with create only|pse check --shares 2 A
--mask-password-file does not go with erase|pse erase --mask-password-file PW A
unknown option '--frob' (see jarnel-tool pse --help)|pse check --frob=1 A
copy needs SRC and DST (see jarnel-tool pse copy --help)|pse copy A
too many arguments for check (see jarnel-tool pse check --help)|pse check A X
TABLE
check "bad usage makes nothing" no "$([ -e "$dir/x" ] && echo yes || echo no)"
run pse
check "no subcommand" 2 "$rc"
long="$dir/$(head -c 250 /dev/zero | tr '\0' p)"
run pse check "$long"
check "path of 248 or more characters" "2:jarnel-tool pse: PATH has ${#long} characters; at most 247 are allowed" "$rc:$err"
# help: the command's, and each subcommand's
run pse --help
check "help" 0 "$rc"
check "-h is --help" "$out" "$("$tool" pse -h)"
check "help pse is pse --help" "$out" "$("$tool" help pse)"
for sub in create check copy erase; do
  run pse "$sub" --help
  check "help of $sub" "0:usage: jarnel-tool pse $sub" "$rc:$(echo "$out" | head -1 | cut -d' ' -f1-4)"
  check "help pse $sub" "$out" "$("$tool" help pse "$sub")"
done
run pse check "$dir/a" --verbose
check "--verbose on success prints nothing more" "0:" "$rc:$err"

# buffer
head -c 1000 /dev/urandom > "$dir/plain"
run buffer encrypt --password-file "$dir/pw" "$dir/plain" "$dir/sealed"
check "buffer encrypt" 0 "$rc"
check "asn1parse reads it" yes "$(openssl asn1parse -inform DER -in "$dir/sealed" | grep -q '1.3.6.1.4.1.7203.1.1.3' && echo yes)"
run buffer decrypt --password-file "$dir/pw" "$dir/sealed" "$dir/back"
check "buffer decrypt" 0 "$rc"
check "round trip" yes "$(cmp -s "$dir/plain" "$dir/back" && echo yes)"
run buffer decrypt --password-file "$dir/pw2" "$dir/sealed" "$dir/back2"
check "another password" "1:jarnel-tool buffer: $dir/sealed: integrity check value failure" "$rc:$err"
check "no output file on failure" no "$([ -e "$dir/back2" ] && echo yes || echo no)"
run buffer decrypt --verbose --password-file "$dir/pw2" "$dir/sealed" "$dir/back2"
check "--verbose: the queue names BUFFER_decrypt" yes "$(echo "$err" | grep -q 'BUFFER_decrypt' && echo yes)"
run buffer decrypt --password-file "$dir/pw" "$dir/plain" "$dir/back2"
check "not a protected buffer" "1:jarnel-tool buffer: $dir/plain: encrypted data expected" "$rc:$err"
check "no output file for it" no "$([ -e "$dir/back2" ] && echo yes || echo no)"
run buffer decrypt --password-file "$dir/pw" "$dir/nosuch" "$dir/back2"
check "missing input" "1:jarnel-tool buffer: $dir/nosuch: No such file or directory" "$rc:$err"
run buffer decrypt --password-file "$dir/nopw" "$dir/sealed"
check "missing password file" "1:jarnel-tool buffer: $dir/nopw: No such file or directory" "$rc:$err"
run buffer decrypt --password-file "$dir/pw" "$dir/sealed" /dev/full
check "full disk" "1:jarnel-tool buffer: /dev/full: No space left on device" "$rc:$err"
"$tool" buffer decrypt --password-file "$dir/pw" "$dir/sealed" >/dev/full 2>"$dir/.err"
check "full standard output" "1:jarnel-tool buffer: standard output: No space left on device" "$?:$(cat "$dir/.err")"
run buffer encrypt --password-file="$dir/pw" "$dir/plain" "$dir/plain.p7"
check "--opt=value" 0 "$rc"
check "in place: the input is read first" yes "$("$tool" buffer decrypt --password-file "$dir/pw" "$dir/plain.p7" | cmp -s - "$dir/plain" && echo yes)"
: >"$dir/empty"
check "empty password round trip" yes "$("$tool" buffer encrypt --password-file "$dir/empty" "$dir/plain" | "$tool" buffer decrypt --password-file "$dir/empty" | cmp -s - "$dir/plain" && echo yes)"
printf '\n' >"$dir/pw-empty-line"
"$tool" pse copy --mask-password-file "$dir/empty" "$dir/a" "$dir/e" 2>"$dir/.err"
check "an empty mask password" "0:" "$?:$(cat "$dir/.err")"
run pse check --mask-password-file "$dir/pw-empty-line" "$dir/e"
check "opens with an empty first line" "$fp_a" "$(echo "$out" | grep fingerprint)"
check "empty input round trip" 0 "$("$tool" buffer encrypt --password-file "$dir/pw" "$dir/empty" | "$tool" buffer decrypt --password-file "$dir/pw" | wc -c)"
"$tool" buffer encrypt --password-file "$dir/pw" --cipher 44 --iter 5 < "$dir/plain" > "$dir/sealed44"
check "DES-EDE3 uses its OID" yes "$(openssl asn1parse -inform DER -in "$dir/sealed44" | grep -q 'des-ede3-cbc' && echo yes)"
check "stdin to stdout" yes "$("$tool" buffer decrypt --password-file "$dir/pw" --iter 5 < "$dir/sealed44" | cmp -s - "$dir/plain" && echo yes)"
run buffer decrypt --password-file "$dir/pw" "$dir/sealed44"
check "iteration count matters" 1 "$rc"
# OpenSSL opens the DES-EDE3 form's outer layer with the key PBKDF2-HMAC-SHA1 derives from the
# password over 8 zero bytes of salt; the digestedData inside holds the bytes.
printf 'seven bytes and more' >"$dir/short"
"$tool" buffer encrypt --password-file "$dir/pw" --cipher 44 "$dir/short" "$dir/short44"
k=$(openssl kdf -keylen 24 -kdfopt digest:SHA1 -kdfopt "pass:pass word" -kdfopt hexsalt:0000000000000000 \
  -kdfopt iter:2048 PBKDF2 | tr -d ':')
inner=$(openssl cms -EncryptedData_decrypt -inform DER -secretkey "$k" -in "$dir/short44" 2>/dev/null | od -An -tx1 | tr -d ' \n')
check "openssl decrypts the DES-EDE3 form to digestedData" yes "$(case $inner in 30*06092a864886f70d010705*) echo yes ;; esac)"
check "with the bytes inside" yes "$(case $inner in *"$(od -An -tx1 "$dir/short" | tr -d ' \n')"*) echo yes ;; esac)"
while IFS='|' read -r says args; do
  read -r -a words <<<"$args"
  run "${words[@]}"
  check "usage: $args" "2:jarnel-tool buffer: $says" "$rc:$err"
done <<'TABLE'
--cipher is 174 or 44, not '37'|buffer encrypt --password-file PW --cipher 37 IN
--cipher goes with encrypt only|buffer decrypt --password-file PW --cipher 44 IN
decrypt needs --password-file|buffer decrypt IN
option '--iter' needs a value|buffer decrypt --password-file PW IN --iter
--iter needs a number, not 'x'|buffer decrypt --password-file PW --iter=x IN
unknown subcommand 'seal' (see jarnel-tool buffer --help)|buffer seal --password-file PW IN
unknown option '--out' (see jarnel-tool buffer --help)|buffer encrypt --password-file PW --out X IN
TABLE
for sub in encrypt decrypt; do
  run buffer "$sub" -h
  check "help of buffer $sub" "0:usage: jarnel-tool buffer $sub" "$rc:$(echo "$out" | head -1 | cut -d' ' -f1-4)"
  check "help buffer $sub" "$out" "$("$tool" help buffer "$sub")"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"

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

run() {  # run ARGS... : sets out, err, rc
  out=$("$tool" "$@" 2>"$dir/.err"); rc=$?
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
check "damaged container fails" 1 "$rc"
check "damaged container reason" yes "$(echo "$err" | grep -q 'PSE_CTX_read' && echo yes)"
run pse check "$dir/none"
check "missing container fails" 1 "$rc"
check "missing container reason" yes "$(echo "$err" | grep -q 'no container there' && echo yes)"

# copy, with a password-protected mask at the destination
printf 'pass word\n' > "$dir/pw"
printf 'other\n' > "$dir/pw2"
run pse copy --mask-password-file "$dir/pw" "$dir/a" "$dir/c"
check "copy exit" 0 "$rc"
check "protected mask is DER" "30" "$(od -An -tx1 -N1 "$dir/c/masks.db3" | tr -d ' ')"
run pse check "$dir/c"
check "protected mask without password fails" 1 "$rc"
check "reason names the password" yes "$(echo "$err" | grep -q 'password-protected' && echo yes)"
run pse check --mask-password-file "$dir/pw2" "$dir/c"
check "wrong mask password fails" 1 "$rc"
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

# usage
run pse
check "no subcommand" 2 "$rc"
run pse frobnicate "$dir/a"
check "unknown subcommand" 2 "$rc"
run pse create --shares 0 "$dir/x"
check "shares out of range" 2 "$rc"
run pse create --sbox 36 "$dir/x"
check "S-box out of range" 2 "$rc"
run pse check --shares 2 "$dir/a"
check "create-only option" 2 "$rc"
run pse copy "$dir/a"
check "copy needs two paths" 2 "$rc"
run pse check "$dir/$(head -c 250 /dev/zero | tr '\0' p)"
check "path of 248 or more characters" 2 "$rc"
run pse --help
check "help" 0 "$rc"

# buffer
head -c 1000 /dev/urandom > "$dir/plain"
run buffer encrypt --password-file "$dir/pw" "$dir/plain" "$dir/sealed"
check "buffer encrypt" 0 "$rc"
check "asn1parse reads it" yes "$(openssl asn1parse -inform DER -in "$dir/sealed" | grep -q '1.3.6.1.4.1.7203.1.1.3' && echo yes)"
run buffer decrypt --password-file "$dir/pw" "$dir/sealed" "$dir/back"
check "buffer decrypt" 0 "$rc"
check "round trip" yes "$(cmp -s "$dir/plain" "$dir/back" && echo yes)"
run buffer decrypt --password-file "$dir/pw2" "$dir/sealed" "$dir/back2"
check "another password fails" 1 "$rc"
check "no output on failure" no "$([ -s "$dir/back2" ] && echo yes || echo no)"
"$tool" buffer encrypt --password-file "$dir/pw" --cipher 44 --iter 5 < "$dir/plain" > "$dir/sealed44"
check "DES-EDE3 uses its OID" yes "$(openssl asn1parse -inform DER -in "$dir/sealed44" | grep -q 'des-ede3-cbc' && echo yes)"
check "stdin to stdout" yes "$("$tool" buffer decrypt --password-file "$dir/pw" --iter 5 < "$dir/sealed44" | cmp -s - "$dir/plain" && echo yes)"
run buffer decrypt --password-file "$dir/pw" "$dir/sealed44"
check "iteration count matters" 1 "$rc"
run buffer encrypt --password-file "$dir/pw" --cipher 37 "$dir/plain"
check "cipher must be 174 or 44" 2 "$rc"
run buffer decrypt "$dir/sealed"
check "password file required" 2 "$rc"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"

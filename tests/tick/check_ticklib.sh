#!/usr/bin/env bash
# Usage: check_ticklib.sh i386|x86_64 libticklib.so
# Passes when the library is an ELF object of that machine whose dynamic symbol table exports
# only the JNI method, which needs libc.so.6 alone, and whose method body is exactly RDTSC and a
# return (on x86_64 with the two instructions that join EDX:EAX into RAX).
set -euo pipefail
arch=$1 lib=$2
sym=Java_ru_halvorit_crypto_rand_ReadTickCounter_rdtsc
fail() { echo "FAIL: $*"; exit 1; }

header=$(readelf -h "$lib")
case $arch in
  i386)   grep -q 'Class:.*ELF32' <<<"$header" && grep -q 'Machine:.*Intel 80386' <<<"$header" \
            || fail "not an i386 ELF object"
          want_insns=$'rdtsc\nret' ;;
  x86_64) grep -q 'Class:.*ELF64' <<<"$header" && grep -q 'Machine:.*X86-64' <<<"$header" \
            || fail "not an x86-64 ELF object"
          want_insns=$'rdtsc\nshl\nor\nret' ;;
  *) fail "unknown machine $arch" ;;
esac

exports=$(nm -D --defined-only "$lib" | awk '{print $2, $3}')
[ "$exports" = "T $sym" ] || fail "dynamic symbols defined: $exports"

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ "$needed" = "libc.so.6" ] || fail "needs: $needed"

# The method's bytes, from its symbol's address and size.
read -r addr size < <(readelf -sW "$lib" | awk -v s="$sym" '$8 == s && $4 == "FUNC" {print $2, $3; exit}')
[ -n "${addr:-}" ] || fail "no symbol $sym"
start=$((16#$addr))
insns=$(objdump -d --no-show-raw-insn --start-address=$start --stop-address=$((start + size)) "$lib" \
  | awk -F'\t' '/^ *[0-9a-f]+:\t/ {split($2, w, " "); print w[1]}')
[ "$insns" = "$want_insns" ] || fail "body is: $(echo $insns)"

echo "ok: $arch $lib exports only $sym, needs only libc.so.6, body: $(echo $insns)"

#!/bin/sh
# Native signatures verified by BouncyCastle, and BouncyCastle's signatures (random and with a
# known k) verified and reproduced here. Arguments: the native tool, the java launcher, the
# class path of the compiled exchange program and BouncyCastle.
set -eu
tool=$1 java=$2 cp=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$tool" make "$dir/native.txt"
"$java" -cp "$cp" R3410Interop "$dir/native.txt" "$dir/bc.txt"
"$tool" check "$dir/bc.txt"

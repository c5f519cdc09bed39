#!/usr/bin/env bash
# cmake --install into a temporary prefix gives a working set: the tool runs, the man page and the
# guide are there, and a Java program compiled against the installed jar loads the installed
# library and writes and reads a token file.
# Usage: install_test.sh BUILD_DIR JAVA_HOME
set -u
build=$1
java_home=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$work/prefix" >"$work/log" 2>&1 || { cat "$work/log"; fail "cmake --install"; }
p=$work/prefix
for f in bin/jarnel-tool lib/libjarnel.so share/java/jarnel.jar share/man/man1/jarnel-tool.1 \
  share/doc/jarnel/jarnel-tool.md share/doc/jarnel/java.md; do
  [ -e "$p/$f" ] || fail "not installed: $f"
done
"$p/bin/jarnel-tool" --version | grep -q '^jarnel-tool ' || fail "the installed tool does not run"

cat >"$work/Probe.java" <<'JAVA'
import ru.halvorit.io.TokenFile;
import ru.halvorit.io.TokenFileInputStream;
import ru.halvorit.io.TokenFileOutputStream;

public class Probe {
  public static void main(String[] args) throws Exception {
    String path = args[0] + "/dir/file";
    TokenFileOutputStream.writeAll(path, new byte[] {1, 2, 3}, false);
    byte[] back = TokenFileInputStream.readAll(path);
    System.out.println(back.length + " " + new TokenFile(args[0] + "/dir").list()[0]);
  }
}
JAVA
out=$("$java_home/bin/java" -cp "$p/share/java/jarnel.jar" -Djava.library.path="$p/lib" "$work/Probe.java" "$work" 2>&1)
[ "$out" = "3 file" ] || fail "Java against the installed jar and library: '$out'"

[ $failures -eq 0 ] && echo "install checks passed"
exit $((failures > 0))

# Reader of the test-vector files in tests/data (*.vec) for the shell suites; source it.
# vec_fields FILE KEY...: one line per vector, its section then the values of KEY..., separated
# by the unit separator \037, which is not white space to `read`, so empty values keep their
# place (a missing key gives an empty value). The format is described in
# tests/support/vec_file.h. Read the lines with: while IFS=$'\037' read -r section v1 v2 ...
vec_fields() {
  local file=$1
  shift
  awk -v keys="$*" '
    BEGIN { n = split(keys, want, " ") }
    function flush(   i, line) {
      if (!have) return
      line = section
      for (i = 1; i <= n; ++i) line = line "\037" ((want[i] in val) ? val[want[i]] : "")
      print line
      delete val
      have = 0
    }
    { sub(/\r$/, "") }
    /^$/ { flush(); next }
    /^#/ { next }
    /^\[.*\]$/ { flush(); section = substr($0, 2, length($0) - 2); next }
    {
      eq = index($0, "=")
      if (eq == 0) next
      key = substr($0, 1, eq - 1); sub(/ +$/, "", key)
      value = substr($0, eq + 1); sub(/^ /, "", value)
      val[key] = value
      have = 1
    }
    END { flush() }' "$file"
}

# Turns the Markdown of docs/user/jarnel-tool.md into a man page (roff -man). It knows the few
# forms that page uses: a first line "# name section "source" "manual"", "##" sections, "###"
# subsections, paragraphs, "- " list items (continued by indented lines), ``` blocks and
# `code` spans (bold).
function esc(s) {
  gsub(/\\/, "\\e", s)
  gsub(/-/, "\\-", s)
  return s
}
function inline(s,    out, n, parts, i) {
  s = esc(s)
  n = split(s, parts, "`")
  out = parts[1]
  for (i = 2; i <= n; i++) out = out (i % 2 == 0 ? "\\fB" : "\\fR") parts[i]
  if (n % 2 == 0) out = out "\\fR"
  return out
}
function line_out(s) {
  if (s ~ /^[.']/) s = "\\&" s
  print s
}
NR == 1 && /^# / {
  sub(/^# /, "")
  print ".TH " $0
  next
}
/^```/ {
  if (!pre) { print ".PP"; print ".nf"; print ".RS 2"; pre = 1 }
  else { print ".RE"; print ".fi"; pre = 0 }
  next
}
pre { line_out(esc($0)); next }
/^## / { sub(/^## /, ""); print ".SH " toupper($0); para = 0; next }
/^### / { sub(/^### /, ""); print ".SS " $0; para = 0; next }
/^$/ { para = 0; next }
/^- / { sub(/^- /, ""); print ".IP \\(bu 2"; line_out(inline($0)); para = 1; next }
/^  / && para { sub(/^ +/, ""); line_out(inline($0)); next }
{
  if (!para) { print ".PP"; para = 1 }
  line_out(inline($0))
}

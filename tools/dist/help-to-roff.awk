# Turns the help of one zipfs command (`zipfs COMMAND --help`) into a subsection of the manual page: the usage
# line its heading, paragraphs filled by the formatter, indented "NAME  text" lines (options, option values)
# tagged paragraphs, other lines indented by four (examples) kept as they are.

function escaped(text) {
    gsub(/\\/, "\\e", text)
    gsub(/-/, "\\-", text)
    if (text ~ /^[.']/) text = "\\&" text
    return text
}

NR == 1 {
    sub(/^Usage: /, "")
    print ".SS \"" escaped($0) "\""
    next
}
/^$/ { print ".PP"; tagged = 0; next }
/^[A-Z][a-z ]*options:$/ { print ".PP"; print "\\fB" escaped($0) "\\fR"; tagged = 0; next }
/^    [^ -]/ { print ".RS"; print ".nf"; print escaped(substr($0, 5)); print ".fi"; print ".RE"; next }
/^  +[^ ].*[^ ]  +[^ ]/ {
    line = $0
    sub(/^ +/, "", line)
    gap = match(line, /  +/)
    print ".TP"
    print "\\fB" escaped(substr(line, 1, gap - 1)) "\\fR"
    print escaped(substr(line, gap + RLENGTH))
    tagged = 1
    next
}
# Text after tagged paragraphs is a paragraph of its own, not the last tag's.
tagged { print ".PP"; tagged = 0 }
{ print escaped($0) }

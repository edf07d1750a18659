# Puts a program's --help into the shape help2man reads:
#
# - the usage block ("Usage:" alone, then one indented form a line, longer forms continued on
#   deeper lines) becomes "Usage: FORM" and "  or:  FORM" lines, of which help2man makes the
#   SYNOPSIS;
# - a term alone on its line ("  serial program", its description on the lines below) gets its
#   description beside it, as the other terms have theirs;
# - the lines of a list (after a line ending with ":" or "e.g." and indented deeper) become
#   paragraphs of their own, where help2man would otherwise run them together as prose;
# - "Exit status:" starts a paragraph of its own.
function flush_form() {
    if (form != "")
        print (forms++ ? "  or:  " : "Usage: ") form
    form = ""
}
function indent_of(line) { return match(line, /[^ ]/) - 1 }
# Prints a line of the text, a list's line as a paragraph of its own. A list follows a line that
# introduces it (ending with ":" or "e.g.", but no heading: a line of its own at the margin)
# and is indented deeper than that line.
function emit(line,    indent) {
    if (line == "") {
        list = -1
        introduces = 0
        after_blank = 1
        print ""
        return
    }
    if (line ~ /^Exit status:/)
        print ""
    indent = indent_of(line)
    if ((introduces && indent > introducer) || indent == list) {
        print ""
        list = indent
    } else if (indent < list) {
        list = -1
    }
    introduces = line ~ /(:|e\.g\.)$/ && !(after_blank && indent == 0)
    introducer = indent
    after_blank = 0
    print line
}
BEGIN { list = -1; after_blank = 1 }

NR == 1 && $0 == "Usage:" { usage = 1; next }
usage && /^$/ { flush_form(); usage = 0; print; next }
usage && /^  [^ ]/ { flush_form(); form = substr($0, 3); next }
usage { sub(/^ +/, ""); form = form " " $0; next }

# A description's further lines, moved to the column of a term's joined description.
from && indent_of($0) == from { printf "%*s%s\n", to, "", substr($0, from + 1); next }
{ from = 0 }
term != "" {
    line = term
    term = ""
    if (indent_of($0) > indent_of(line)) {
        from = indent_of($0)
        to = length(line) + 2
        sub(/^ +/, "", $0)
        emit(line "  " $0)
        next
    }
    emit(line)
}
/^  [^ -]/ && !/[^ ]  +[^ ]/ { term = $0; next }
{ emit($0) }
END {
    flush_form()
    if (term != "")
        emit(term)
}

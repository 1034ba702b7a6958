#!/bin/sh
# help-for-man.sh PROGRAM OPTION...: runs PROGRAM with OPTION... and prints its
# output as help2man reads a synopsis. Our programs begin --help with
# "usage: NAME ...", give each further form on a line of its own aligned
# under NAME, and wrap a long form onto lines indented further; help2man takes
# a synopsis only from a first line "Usage: NAME ..." followed by
# "   or: NAME ..." lines. So the first "usage:" becomes "Usage:", each further
# form an "or:" line, and each wrapped line is joined to its form. Every other
# line (and --version's output) passes as it is.
program=$1
shift
"$program" "$@" | awk '
NR == 1 && /^usage: / { sub(/^usage: /, "Usage: "); form = $0; synopsis = 1; next }
synopsis && /^       [^ ]/ { print form; sub(/^       /, "   or: "); form = $0; next }
synopsis && /^        +[^ ]/ { sub(/^ +/, " "); form = form $0; next }
synopsis { print form; synopsis = 0 }
{ print }
END { if (synopsis) print form }'

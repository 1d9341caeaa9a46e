# Turns the help text (receiver/help.txt) into a man page on standard output:
#   awk -v version=1.1.0 -v date=2024-05-01 -v summary="what it does" -f help-to-man.awk help.txt
# The help text's layout carries its structure:
#   Usage: farspeak ARGUMENTS     the first line: the synopsis
#   Heading:                      a section: a capital, then letters and spaces, then a colon
#     TERM  description           an item: two spaces in, two or more spaces after the term
#         more description        a line further in continues an item
#     example                     two spaces in and no double space: shown as it is
#   any other line                running text; a blank line ends a paragraph

# Roff text: a backslash is \e, a hyphen that starts a word is an option's minus sign (\-), the
# ellipsis is named (roff input is ASCII), and a line must not start with a control character.
function escape(text,    out, i, c, previous) {
  out = ""
  previous = " "
  for (i = 1; i <= length(text); i++) {
    c = substr(text, i, 1)
    if (c == "\\")
      out = out "\\e"
    else if (c == "-" && previous !~ /[A-Za-z0-9]/)
      out = out "\\-"
    else
      out = out c
    previous = c
  }
  gsub(/\xE2\x80\xA6/, "\\[u2026]", out)
  if (out ~ /^[.']/)
    out = "\\&" out
  return out
}

# An item's term: options in bold, placeholders (capitals) in italics.
function term(text,    words, count, i, word, comma, out) {
  count = split(text, words, " ")
  out = ""
  for (i = 1; i <= count; i++) {
    word = words[i]
    comma = ""
    if (word ~ /,$/) {
      comma = ","
      word = substr(word, 1, length(word) - 1)
    }
    if (word ~ /^[-\/]/)
      word = "\\fB" escape(word) "\\fR"
    else if (word ~ /^[A-Z]+$/)
      word = "\\fI" word "\\fR"
    else
      word = escape(word)
    out = out (i > 1 ? " " : "") word comma
  }
  return out
}

# Running text after an item, an example or a blank line starts a new paragraph.
function paragraph() {
  if (state == "example")
    print ".fi\n.RE"
  if (state == "item" || state == "example" || (blank && state != "section"))
    print ".PP"
  state = "text"
  blank = 0
}

NR == 1 {
  print ".TH FARSPEAK 1 \"" date "\" \"farspeak " version "\" \"User Commands\""
  print ".SH NAME\nfarspeak \\- " escape(summary)
  sub(/^Usage: farspeak */, "")
  print ".SH SYNOPSIS\n.B farspeak\n" escape($0)
  print ".SH DESCRIPTION"
  state = "section"
  next
}

/^$/ {
  blank = 1
  next
}

/^[A-Z][A-Za-z ]*:$/ {
  if (state == "example")
    print ".fi\n.RE"
  print ".SH \"" toupper(substr($0, 1, length($0) - 1)) "\""
  state = "section"
  blank = 0
  next
}

match($0, /^  [^ ]+( [^ ]+)*  +/) {
  if (state == "example")
    print ".fi\n.RE"
  itemTerm = substr($0, 3, RLENGTH - 2)
  sub(/ +$/, "", itemTerm)
  print ".TP\n" term(itemTerm) "\n" escape(substr($0, RLENGTH + 1))
  state = "item"
  blank = 0
  next
}

/^   / {
  sub(/^ +/, "")
  print escape($0)
  next
}

/^  / {
  if (state != "example" || blank) {
    paragraph()
    print ".RS\n.nf"
    state = "example"
  }
  print escape(substr($0, 3))
  next
}

{
  paragraph()
  print escape($0)
}

END {
  if (state == "example")
    print ".fi\n.RE"
}

# Reshapes a command-line help for help2man: the list of commands (CLI11's
# "Subcommands:" of --help-all) becomes a section "*Commands*", each command
# a subsection with its description and options; the closing notes after the
# commands are dropped (the manual page says them in its own sections).
/^Subcommands:$/ { print "*Commands*"; in_commands = 1; next }
in_commands && /^[a-z][a-z0-9-]*$/ { print $0 ":"; next }
in_commands && /^  (Options|Positionals):$/ { next }
in_commands && /^[^ ]/ { exit }
{ print }

#!/bin/sh
# Prints the Debian archive this machine's apt takes its packages from: the
# first binary source (deb822 .sources or one-line .list) whose suites are
# not security updates. The repository names no archive of its own.
set -eu
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] || continue
  awk 'BEGIN { RS = ""; FS = "\n" }
       {
         types = ""; uris = ""; suites = ""; enabled = "yes"
         for (i = 1; i <= NF; i++) {
           line = $i
           if (line ~ /^[ \t]*#/) continue
           split(line, kv, ":[ \t]*")
           key = tolower(kv[1]); value = substr(line, length(kv[1]) + 2)
           sub(/^[ \t]+/, "", value)
           if (key == "types") types = value
           else if (key == "uris") uris = value
           else if (key == "suites") suites = value
           else if (key == "enabled") enabled = tolower(value)
         }
         if (enabled != "no" && types ~ /(^| )deb( |$)/ && uris != "" && suites !~ /-security/) {
           split(uris, u, " "); print u[1]; exit
         }
       }' "$file"
done | head -n 1 | grep . && exit 0
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  # deb [options] uri suite components...
  sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$file" |
    awk '$1 == "deb" && $3 !~ /-security/ { print $2; exit }'
done | head -n 1 | grep . && exit 0
echo "No Debian archive in this machine's apt sources" >&2
exit 1

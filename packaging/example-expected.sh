# shellcheck shell=bash disable=SC2034 # its variables are for the scripts that source it
# Sourced by packaging/check-installed.sh and packaging/windows/check-windows.sh: what a run on
# the example working folder (example/), 40 days on, must show and leave, on Linux and on
# Windows alike. The callers run from the top of the checkout.

# A fresh copy of the example working folder; prints its path.
example_copy() {
    local work
    work=$(mktemp -d)
    cp -r example/. "$work/"
    echo "$work"
}

# What the run writes on the console (every line ends in a blank; it is added here so that no
# editor can strip it).
example_console() {
    sed 's/$/ /' <<'END'
"Ordner: " "daten"
""
"Treffer: " "bericht.log"
"Alter in Tagen: " 40
"Treffer: " "Protokoll.LOG"
"Alter in Tagen: " 40
"Treffer: " "zwischen.tmp"
"Alter in Tagen: " 40
""
"Treffer gesamt: " 3
"Bitte druecken Sie eine Taste zum beenden..."
END
}

# What the run writes into the run log after the header.
example_log_body() {
    printf '%s\n' daten/bericht.log '40 Tage' daten/Protokoll.LOG '40 Tage' \
        daten/unterordner/zwischen.tmp '40 Tage' 'Treffer gesamt: 3'
}

# The files left in the working folder after the run (as "find . -type f | sort" lists them,
# joined by blanks): the .log and .tmp files go, whatever the case of the ending; the hidden
# one and the others stay.
example_left='./daten/.versteckt.log ./daten/notiz.txt ./daten/unterordner/behalten.csv ./eingabe_kehrlund.txt ./log_kehrlund.txt '

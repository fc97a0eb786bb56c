#include "cli/options.h"

Options readOptions(const QStringList &arguments)
{
    Options options;
    for (const QString &argument : arguments) {
        if (!argument.startsWith(QLatin1Char('-')))
            continue;
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            options.action = Options::Action::ShowHelp;
        } else if (argument == QLatin1String("--version")) {
            if (options.action != Options::Action::ShowHelp) // help goes first
                options.action = Options::Action::ShowVersion;
        } else if (argument == QLatin1String("-n") || argument == QLatin1String("--dry-run")) {
            options.dryRun = true;
        } else if (argument == QLatin1String("-v") || argument == QLatin1String("--verbose")) {
            options.verbose = true;
        } else {
            options.action = Options::Action::Refuse;
            options.unknownOption = argument;
            return options;
        }
    }
    return options;
}

QString usage()
{
    return QStringLiteral(
        "Aufruf: kehrlund [-n | --dry-run] [-v | --verbose]\n"
        "        kehrlund -h | --help | --version\n"
        "\n"
        "Löscht alte Dateien aus Ordnerbäumen. Die Aufträge stehen in eingabe_kehrlund.txt\n"
        "im Arbeitsordner: je Zeile ein Wurzelordner, Dateinamensmuster wie *.log;*.tmp und\n"
        "eine Frist in Tagen (1 bis 365), durch Tabulatoren getrennt. Jede passende Datei,\n"
        "deren Erstellungsdatum mindestens so viele Kalendertage zurückliegt, wird gelöscht\n"
        "und an das Protokoll log_kehrlund.txt im Arbeitsordner angehängt.\n"
        "\n"
        "Optionen:\n"
        "  -n, --dry-run  Probelauf: dieselben Meldungen wie ein echter Lauf, aber nichts\n"
        "                 wird gelöscht und das Protokoll bleibt unverändert\n"
        "  -v, --verbose  jeden übergangenen Ordner und jede übergangene Datei mit dem Grund\n"
        "                 nennen, nur auf der Konsole\n"
        "  -h, --help     diese Hilfe zeigen\n"
        "      --version  die Version zeigen\n"
        "\n"
        "Andere Argumente werden nicht beachtet. Mehr in kehrlund(1).\n");
}

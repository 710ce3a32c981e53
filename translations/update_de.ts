<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>UpdateClient</name>
    <message>
        <source>Voxtera3 Client Update</source>
        <translation>Voxtera3 Client Aktualisierung</translation>
    </message>
    <message>
        <source>Lasted Version:</source>
        <translation>Neueste Version:</translation>
    </message>
    <message>
        <source>&lt;!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.0//EN" "http://www.w3.org/TR/REC-html40/strict.dtd"&gt;
&lt;html&gt;&lt;head&gt;&lt;meta name="qrichtext" content="1" /&gt;&lt;style type="text/css"&gt;
p, li { white-space: pre-wrap; }
&lt;/style&gt;&lt;/head&gt;&lt;body style=" font-size:9pt; font-weight:400; font-style:normal;"&gt;
&lt;p style=" margin-top:0px; margin-bottom:0px; margin-left:0px; margin-right:0px; -qt-block-indent:0; text-indent:0px;"&gt;&lt;a href="http://www.voxtera.example/"&gt;&lt;span style=" text-decoration: underline; color:#0000ff;"&gt;http://www.voxtera.example/&lt;/span&gt;&lt;/a&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.0//EN" "http://www.w3.org/TR/REC-html40/strict.dtd"&gt;
&lt;html&gt;&lt;head&gt;&lt;meta name="qrichtext" content="1" /&gt;&lt;style type="text/css"&gt;
p, li { white-space: pre-wrap; }
&lt;/style&gt;&lt;/head&gt;&lt;body style=" font-size:9pt; font-weight:400; font-style:normal;"&gt;
&lt;p style=" margin-top:0px; margin-bottom:0px; margin-left:0px; margin-right:0px; -qt-block-indent:0; text-indent:0px;"&gt;&lt;a href="http://www.voxtera.example/"&gt;&lt;span style=" text-decoration: underline; color:#0000ff;"&gt;http://www.voxtera.example/&lt;/span&gt;&lt;/a&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>&amp;Details</source>
        <translation>&amp;Details</translation>
    </message>
    <message>
        <source>&amp;Start Voxtera3</source>
        <translation>Voxtera3 &amp;starten</translation>
    </message>
    <message>
        <source>&amp;Update</source>
        <translation>&amp;Update</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Das Update läuft.&lt;/p&gt;&lt;p&gt;Wollen Sie es wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Failed to retrieve Version number.</source>
        <translation>Die Versionsnummer konnte nicht abgerufen werden.</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;&lt;b&gt;Failed to download client_%1.ini!&lt;/b&gt;&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;&lt;b&gt;client_%1.ini konnte nicht heruntergeladen werden!&lt;/b&gt;&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;write file %1 error&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Fehler beim Schreiben der Datei %1&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;Error:%1&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Fehler:%1&lt;/font&gt;</translation>
    </message>
    <message>
        <source>The manifest is larger than 16 MB.</source>
        <translation>Das Manifest ist größer als 16 MB.</translation>
    </message>
    <message>
        <source>%1 is larger than the manifest announces.</source>
        <translation>%1 ist größer, als das Manifest angibt.</translation>
    </message>
    <message>
        <source>The proxy server asks for a user name and password.</source>
        <translation>Der Proxy-Server verlangt einen Benutzernamen und ein Passwort.</translation>
    </message>
    <message>
        <source>HTTP status %1</source>
        <translation>HTTP-Status %1</translation>
    </message>
    <message>
        <source>Failed to open Temp directory.</source>
        <translation>Das temporäre Verzeichnis konnte nicht geöffnet werden.</translation>
    </message>
    <message>
        <source>Downloading to %1</source>
        <translation>Herunterladen nach %1</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;Error:timeout&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Fehler:Zeitüberschreitung&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;%1 not correct.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;%1 ist nicht korrekt.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;mirrors.ini file not found!&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Die Datei mirrors.ini wurde nicht gefunden!&lt;/font&gt;</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>Warnung</translation>
    </message>
    <message>
        <source>The Voxtera 3 Client should be
 closed before starting the update.</source>
        <translation>Der Voxtera 3 Client sollte vor dem
 Start des Updates beendet werden.</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;Update finished.Press "Start Voxtera3" run Voxtera3.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Update abgeschlossen. Drücken Sie "Voxtera3 starten", um Voxtera3 zu starten.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;%1 file read error.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;%1: Fehler beim Lesen der Datei.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;%1 file size not correct&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;%1: Die Dateigröße ist nicht korrekt&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;%1 file MD5 not correct&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;%1: Die MD5-Prüfsumme ist nicht korrekt&lt;/font&gt;</translation>
    </message>
    <message>
        <source>extracting %1...</source>
        <translation>entpacke %1...</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;%1 file extract error.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;%1: Fehler beim Entpacken der Datei.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;%1 file write error.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;%1: Fehler beim Schreiben der Datei.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;Failed to run Gzip.exe&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Gzip.exe konnte nicht gestartet werden&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;%1 file install error.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;%1: Fehler beim Installieren der Datei.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>%1/%2</source>
        <translation>%1/%2</translation>
    </message>
    <message>
        <source>checked %1/%2</source>
        <translation>%1/%2 geprüft</translation>
    </message>
    <message>
        <source>%1</source>
        <translation>%1</translation>
    </message>
    <message>
        <source>%1/s</source>
        <translation>%1/s</translation>
    </message>
    <message>
        <source>Byte</source>
        <translation>Byte</translation>
    </message>
    <message>
        <source>KB</source>
        <translation>KB</translation>
    </message>
    <message>
        <source>MB</source>
        <translation>MB</translation>
    </message>
    <message>
        <source>Resume broken downloads...</source>
        <translation>Abgebrochene Downloads werden fortgesetzt...</translation>
    </message>
    <message>
        <source>Downloading %1...</source>
        <translation>Lade %1 herunter...</translation>
    </message>
    <message>
        <source>%1 is up to date.</source>
        <translation>%1 ist bereits aktuell.</translation>
    </message>
    <message>
        <source>The log file is full; the rest of this run is not written.</source>
        <translation>Die Protokolldatei ist voll; der Rest dieses Laufs wird nicht geschrieben.</translation>
    </message>
    <message>
        <source>not loaded</source>
        <translation>nicht geladen</translation>
    </message>
    <message>
        <source>none</source>
        <translation>keiner</translation>
    </message>
    <message>
        <source>vt3update %1 starts an update</source>
        <translation>vt3update %1 beginnt eine Aktualisierung</translation>
    </message>
    <message>
        <source>Qt %1, OpenSSL %2</source>
        <translation>Qt %1, OpenSSL %2</translation>
    </message>
    <message>
        <source>Proxy: %1</source>
        <translation>Proxy: %1</translation>
    </message>
    <message>
        <source>Proxy for %1: %2</source>
        <translation>Proxy für %1: %2</translation>
    </message>
    <message>
        <source>Application directory: %1</source>
        <translation>Anwendungsverzeichnis: %1</translation>
    </message>
    <message>
        <source>Release: %1</source>
        <translation>Ausgabe: %1</translation>
    </message>
    <message>
        <source>Request failed: %1, HTTP status %2</source>
        <translation>Anfrage fehlgeschlagen: %1, HTTP-Status %2</translation>
    </message>
    <message>
        <source>Request failed: %1 (asked for %2), HTTP status %3</source>
        <translation>Anfrage fehlgeschlagen: %1 (angefragt: %2), HTTP-Status %3</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;trusted-keys.txt line %1 is not a public key.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;trusted-keys.txt Zeile %1 ist kein öffentlicher Schlüssel.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;Release %1 is older than the installed release %2; it is not installed.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Release %1 ist älter als das installierte Release %2 und wird nicht installiert.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>The signature of release %1 is not valid.</source>
        <translation>Die Signatur von Release %1 ist ungültig.</translation>
    </message>
    <message>
        <source>The signature of release %1 is missing.</source>
        <translation>Die Signatur von Release %1 fehlt.</translation>
    </message>
    <message>
        <source>Release %1 is not verified: this installation trusts no signing keys.</source>
        <translation>Release %1 ist nicht geprüft: diese Installation vertraut keinem Signaturschlüssel.</translation>
    </message>
    <message>
        <source>%1 is locked by another program.</source>
        <translation>%1 ist von einem anderen Programm gesperrt.</translation>
    </message>
    <message>
        <source>%1 is still in use; it will be removed at the next restart.</source>
        <translation>%1 wird noch verwendet und beim nächsten Neustart entfernt.</translation>
    </message>
    <message>
        <source>%1 is still in use; it will be removed at the next start.</source>
        <translation>%1 wird noch verwendet; es wird beim nächsten Start entfernt.</translation>
    </message>
    <message>
        <source>unknown option &apos;%1&apos;</source>
        <translation>unbekannte Option &apos;%1&apos;</translation>
    </message>
    <message>
        <source>--check, --update, --verify and --repair do not go together</source>
        <translation>--check, --update, --verify und --repair schließen einander aus</translation>
    </message>
    <message>
        <source>--quiet goes with --update, --verify or --repair, --start-client with --update or --repair</source>
        <translation>--quiet gibt es nur mit --update, --verify oder --repair, --start-client nur mit --update oder --repair</translation>
    </message>
    <message>
        <source>Try &apos;vt3update --help&apos;.</source>
        <translation>Mehr mit &apos;vt3update --help&apos;.</translation>
    </message>
    <message>
        <source>Usage: vt3update [--check | --update [--quiet] [--start-client]]
       vt3update --verify [--quiet] [--full] | --repair [--quiet] [--start-client]

Without options the update window opens.

  --check         Ask the version server which release is current.
  --update        Update without a click; the window shows the run
                  and closes at the end.
  --verify        Compare the installation with its release: print the files
                  missing, modified or extra (2: damaged, 1: cannot verify).
  --full          With --verify: read every file, not only changed ones.
  --repair        Fetch and install again what is missing or modified.
  --quiet         With --update or --repair: no window; the log goes to
                  standard output. With --verify: print nothing.
  --start-client  With --update or --repair: start Voxtera3 afterwards.
  --help          Show this text.
  --version       Show the updater&apos;s version.

Exit codes: 0 updated or current, 1 failed, 2 a newer release is announced
(--check), 3 the Voxtera 3 client is running, 4 refused (release signature,
downgrade or an unverified version answer), 5 another vt3update is running,
6 no write access to the installation (nothing fetched), 64 wrong usage.</source>
        <translation>Aufruf: vt3update [--check | --update [--quiet] [--start-client]]
        vt3update --verify [--quiet] [--full] | --repair [--quiet] [--start-client]

Ohne Optionen öffnet sich das Fenster der Aktualisierung.

  --check         Den Versionsserver nach dem aktuellen Release fragen.
  --update        Ohne Klick aktualisieren; das Fenster zeigt den Lauf
                  und schließt sich am Ende.
  --verify        Die Installation mit ihrem Release vergleichen: fehlende,
                  geänderte und zusätzliche Dateien zeigen (2: beschädigt,
                  1: nicht prüfbar).
  --full          Mit --verify: jede Datei lesen, nicht nur geänderte.
  --repair        Fehlendes und Geändertes neu laden und installieren.
  --quiet         Mit --update oder --repair: kein Fenster; das Protokoll geht
                  auf die Standardausgabe. Mit --verify: nichts ausgeben.
  --start-client  Mit --update oder --repair: danach Voxtera3 starten.
  --help          Diesen Text zeigen.
  --version       Die Version des Aktualisierers zeigen.

Rückgabewerte: 0 aktualisiert oder aktuell, 1 fehlgeschlagen, 2 ein neueres
Release ist angekündigt (--check), 3 der Voxtera-3-Client läuft, 4 abgelehnt
(Signatur des Release, älteres Release oder nicht überprüfbare Versionsantwort),
5 ein anderes vt3update läuft, 6 kein Schreibzugriff auf die Installation
(nichts geladen), 64 falscher Aufruf.</translation>
    </message>
    <message>
        <source>Announced release: %1, version %2 of %3</source>
        <translation>Angekündigtes Release: %1, Version %2 vom %3</translation>
    </message>
    <message>
        <source>Installed release: %1</source>
        <translation>Installiertes Release: %1</translation>
    </message>
    <message>
        <source>Installed release: none recorded</source>
        <translation>Installiertes Release: keines verzeichnet</translation>
    </message>
    <message>
        <source>The version server&apos;s answer names no release.</source>
        <translation>Die Antwort des Versionsservers nennt kein Release.</translation>
    </message>
    <message>
        <source>The installation is current.</source>
        <translation>Die Installation ist aktuell.</translation>
    </message>
    <message>
        <source>A newer release is available.</source>
        <translation>Ein neueres Release ist verfügbar.</translation>
    </message>
    <message>
        <source>The version server gave no usable answer.</source>
        <translation>Der Versionsserver gab keine brauchbare Antwort.</translation>
    </message>
    <message>
        <source>Another vt3update is running.</source>
        <translation>Ein anderes vt3update läuft bereits.</translation>
    </message>
    <message>
        <source>%1 was not started by the server (%2); it is asked for again.</source>
        <translation>%1 wurde vom Server nicht begonnen (%2); es wird erneut angefordert.</translation>
    </message>
    <message>
        <source>no answer after the server ended a connection</source>
        <translation>keine Antwort, nachdem der Server eine Verbindung beendet hat</translation>
    </message>
    <message>
        <source>The transfer is too slow: less than 1 KB/s over the last %1 s.</source>
        <translation>Die Übertragung ist zu langsam: weniger als 1 KB/s in den letzten %1 s.</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;The patch for %1 cannot be used; the whole file is fetched instead.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Der Patch für %1 ist nicht zu gebrauchen; die ganze Datei wird stattdessen geladen.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>Patch %1: %2</source>
        <translation>Patch %1: %2</translation>
    </message>
    <message>
        <source>unsigned</source>
        <translation>unsigniert</translation>
    </message>
    <message>
        <source>not signed by a trusted version key</source>
        <translation>von keinem vertrauenswürdigen Versionsschlüssel signiert</translation>
    </message>
    <message>
        <source>older than an answer accepted before</source>
        <translation>älter als eine zuvor angenommene Antwort</translation>
    </message>
    <message>
        <source>older than the maximum age</source>
        <translation>älter als das Höchstalter</translation>
    </message>
    <message>
        <source>too far ahead of this computer&apos;s clock</source>
        <translation>zu weit vor der Uhr dieses Computers</translation>
    </message>
    <message>
        <source>The record of accepted version answers could not be read; it is written anew.</source>
        <translation>Die Aufzeichnung angenommener Versionsantworten konnte nicht gelesen werden; sie wird neu geschrieben.</translation>
    </message>
    <message>
        <source>Version answer dropped (%1): %2</source>
        <translation>Versionsantwort verworfen (%1): %2</translation>
    </message>
    <message>
        <source>The version answer was sent at %1, ahead of this computer&apos;s clock (%2).</source>
        <translation>Die Versionsantwort wurde um %1 gesendet, vor der Uhr dieses Computers (%2).</translation>
    </message>
    <message>
        <source>The time of the accepted version answer could not be recorded.</source>
        <translation>Die Zeit der angenommenen Versionsantwort konnte nicht aufgezeichnet werden.</translation>
    </message>
    <message>
        <source>The version server&apos;s answer could not be verified.</source>
        <translation>Die Antwort des Versionsservers konnte nicht überprüft werden.</translation>
    </message>
    <message>
        <source>This computer&apos;s clock looks wrong.</source>
        <translation>Die Uhr dieses Computers scheint falsch zu gehen.</translation>
    </message>
    <message>
        <source>missing: %1</source>
        <translation>fehlt: %1</translation>
    </message>
    <message>
        <source>modified: %1</source>
        <translation>geändert: %1</translation>
    </message>
    <message>
        <source>extra: %1</source>
        <translation>zusätzlich: %1</translation>
    </message>
    <message>
        <source>The installation is intact.</source>
        <translation>Die Installation ist unversehrt.</translation>
    </message>
    <message>
        <source>The installation is damaged: %1 missing, %2 modified.</source>
        <translation>Die Installation ist beschädigt: %1 fehlen, %2 geändert.</translation>
    </message>
    <message>
        <source>--full goes with --verify only</source>
        <translation>--full gibt es nur mit --verify</translation>
    </message>
    <message>
        <source>No release is recorded as installed; there is nothing to repair.</source>
        <translation>Kein installiertes Release ist verzeichnet; es gibt nichts zu reparieren.</translation>
    </message>
    <message>
        <source>The kept manifest&apos;s signature is not valid.</source>
        <translation>Die Signatur des aufbewahrten Manifests ist ungültig.</translation>
    </message>
    <message>
        <source>No release is kept to verify against: this installation has not completed an update with this updater yet.</source>
        <translation>Kein Release ist zum Vergleich aufbewahrt: diese Installation hat mit diesem Aktualisierer noch kein Update abgeschlossen.</translation>
    </message>
    <message>
        <source>The kept manifest cannot be read.</source>
        <translation>Das aufbewahrte Manifest kann nicht gelesen werden.</translation>
    </message>
    <message numerus="yes">
        <source>%n file(s) repaired.</source>
        <translation>
            <numerusform>%n Datei repariert.</numerusform>
            <numerusform>%n Dateien repariert.</numerusform>
        </translation>
    </message>
    <message>
        <source>Mirror %1 is tried after %2, which was much faster.</source>
        <translation>Spiegel %1 wird nach %2 versucht, der viel schneller war.</translation>
    </message>
    <message>
        <source>Mirror %1 is tried last until %2: %3 failure(s) in a row, the last %4 (%5).</source>
        <translation>Spiegel %1 wird bis %2 zuletzt versucht: %3 Fehlschläge in Folge, der letzte %4 (%5).</translation>
    </message>
    <message>
        <source>What earlier runs learnt of the mirrors (%1) could not be read; it is learnt anew.</source>
        <translation>Was frühere Läufe über die Spiegel erfahren haben (%1), konnte nicht gelesen werden; es wird neu erfahren.</translation>
    </message>
    <message>
        <source>Update as &amp;administrator</source>
        <translation>Als &amp;Administrator aktualisieren</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;No write access to %1: updating this installation needs an administrator. Nothing was fetched.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Kein Schreibzugriff auf %1: diese Installation kann nur ein Administrator aktualisieren. Es wurde nichts geladen.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>Updating as administrator...</source>
        <translation>Aktualisierung als Administrator...</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;The update as administrator was not started.&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Die Aktualisierung als Administrator wurde nicht gestartet.&lt;/font&gt;</translation>
    </message>
    <message>
        <source>&lt;font color=red&gt;The update as administrator did not finish (exit code %1).&lt;/font&gt;</source>
        <translation>&lt;font color=red&gt;Die Aktualisierung als Administrator wurde nicht abgeschlossen (Rückgabewert %1).&lt;/font&gt;</translation>
    </message>
    <message>
        <source>%1 is not in a work directory of the updater; it is left alone.</source>
        <translation>%1 liegt in keinem Arbeitsverzeichnis des Aktualisierers; es bleibt unangetastet.</translation>
    </message>
    <message>
        <source>Removed %1, left behind by an earlier update.</source>
        <translation>%1 entfernt, von einer früheren Aktualisierung zurückgelassen.</translation>
    </message>
</context>
</TS>
"""The command table as a person at the terminal sees it."""

import os
import re
import shlex
import subprocess
import tempfile
import unittest

from harness import EXE, RUNNER, TempHome, run_cli

USAGE = (
    b"zunel-print-agent 1.0.1\n\nUSO:\n"
    b"  zunel-print-agent [run|pair|list|revoke <id>|log [N] [--json]|install|uninstall|status|stop|report|version]\n\n"
    b"  run           Arranca el agente en segundo plano (servidor + control). Bloqueante.\n"
    b"  pair          Muestra un codigo de emparejamiento para vincular el ERP.\n"
    b"  list          Lista los dispositivos vinculados y el estado del agente.\n"
    b"  revoke <id>   Desvincula un dispositivo.\n"
    b"  log [N]       Muestra las ultimas N entradas del diario (50 si no se indica); --json las da tal\n"
    b"                como estan guardadas.\n"
    b"  install       Crea el auto-inicio en Startup del usuario, arranca el agente y verifica"
    b" que responde.\n"
    b"  uninstall     Quita el auto-inicio.\n"
    b"  status        Estado del auto-inicio.\n"
    b"  stop          Detiene el agente de este usuario (lo que se esta imprimiendo termina).\n"
    b"  report        Informe para soporte, sin secretos, para pegar en un ticket.\n"
    b"  version       Version.\n"
)


# `version`: the version, then the build (the commit's UTC date and short
# hash, marked when the tree had uncommitted changes; "desconocida" outside git).
VERSION_OUTPUT = re.compile("\\Azunel-print-agent 1.0.1\ncompilación "
                            "(\\d{4}-\\d\\d-\\d\\d\\.[0-9a-f]{12}(\\+cambios)?|desconocida)\n\\Z".encode())


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.home = TempHome()
        self.addCleanup(self.home.remove)

    def test_version(self):
        outputs = set()
        for arg in ("version", "-v", "--version"):
            code, out, err = run_cli(self.home, arg)
            self.assertEqual((code, err), (0, b""))
            self.assertRegex(out, VERSION_OUTPUT)
            outputs.add(out)
        self.assertEqual(len(outputs), 1, outputs)

    def test_help_goes_to_standard_error(self):
        for arg in ("help", "-h", "--help"):
            self.assertEqual(run_cli(self.home, arg), (0, b"", USAGE))

    def test_unknown_commands(self):
        # The echoed argument is not transliterated: a pipe or file gets its
        # UTF-8 bytes exactly, on Windows too.
        for arg in ("List", "RUN", "-V", "impresión¿→"):
            self.assertEqual(run_cli(self.home, arg),
                             (2, b"", b"comando desconocido: " + arg.encode() + b"\n\n" + USAGE))

    def test_revoke_without_id_reads_no_token(self):
        self.assertEqual(run_cli(self.home, "revoke"),
                         (2, b"", b"uso: zunel-print-agent revoke <id>\n"))

    def test_no_console_with_empty_value_still_writes_to_pipes(self):
        code, out, _ = run_cli(self.home, "version", env=self.home.env(ZUNEL_NO_CONSOLE=""))
        self.assertEqual(code, 0)
        self.assertRegex(out, VERSION_OUTPUT)

    @unittest.skipUnless(RUNNER, "only a Windows console needs the wide-character call")
    def test_accents_on_a_real_console(self):
        # cmd.exe under a pseudo-terminal gets a real Wine console, which the
        # agent borrows; Wine's console shows it on the terminal as UTF-8. Text
        # written to that console as bytes would be read in the console's OEM
        # code page and arrive garbled.
        exe = "Z:" + os.path.abspath(EXE).replace("/", "\\")
        line = " ".join(shlex.quote(a) for a in RUNNER + ["cmd.exe", "/c", exe, "impresión¿→"])
        with tempfile.NamedTemporaryFile() as transcript:
            subprocess.run(["script", "--quiet", "--return", "--command", line, transcript.name],
                           env=self.home.env(LANG="C.UTF-8"), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, timeout=120)
            shown = transcript.read()
        self.assertIn("impresión¿→".encode(), shown)


if __name__ == "__main__":
    unittest.main(verbosity=2)

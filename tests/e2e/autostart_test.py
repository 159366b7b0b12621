"""install, uninstall, status and cleanup of the real executable with a private
HOME. The agent that install starts is detached from the test, so it is found
by its HOME and command line and stopped by its process id."""

import http.server
import os
import shutil
import subprocess
import tempfile
import threading
import unittest

from harness import (EXE, HTTP_PORT, RUNNER, Agent, TempHome, agents_of, process_environ, processes_with_home,
                     stop_pid, wait_port_free)

UNDER_WINE = bool(RUNNER)


def startup_entry(home):
    """Where the Startup entry of this HOME lies."""
    if UNDER_WINE:
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        user = os.environ.get("USER") or os.environ.get("LOGNAME") or "root"
        return os.path.join(prefix, "drive_c", "users", user, "AppData", "Roaming", "Microsoft",
                            "Windows", "Start Menu", "Programs", "Startup", "ZunelPrintAgent.lnk")
    return os.path.join(home.path, ".config", "autostart", "ZunelPrintAgent.desktop")


class ForeignServer:
    """Another program on 47631 that answers 200 with JSON that lacks `capabilities`."""

    def __init__(self):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = b'{"ok":true}'
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", HTTP_PORT), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Autostart(unittest.TestCase):
    def setUp(self):
        wait_port_free(HTTP_PORT, timeout=60)
        self.home = TempHome()
        self.addCleanup(self.home.remove)
        self.addCleanup(self.stop_agents)
        self.cwd = tempfile.mkdtemp(prefix="zunel-e2e-cwd-")
        self.addCleanup(shutil.rmtree, self.cwd, True)
        if UNDER_WINE:
            # The prefix, and with it the Startup folder, is shared by all tests.
            self.remove_entry()
            self.addCleanup(self.remove_entry)

    def remove_entry(self):
        try:
            os.remove(startup_entry(self.home))
        except FileNotFoundError:
            pass

    def stop_agents(self):
        for pid in processes_with_home(self.home):
            stop_pid(pid)
        wait_port_free(HTTP_PORT)

    def cli(self, *args, env=None, cwd=None, exe=None):
        """Runs one command; returns (exit code, stdout, stderr) as bytes. The
        output goes to files, not pipes: under Wine the agent that install
        starts holds the Unix descriptors it was spawned with, and a pipe would
        not reach its end before that agent does."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(RUNNER + [exe or EXE, *args], env=env or self.home.env(),
                                  cwd=cwd, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                  timeout=60).returncode
            out.seek(0)
            err.seek(0)
            return code, out.read(), err.read()

    def test_install_status_uninstall(self):
        entry = startup_entry(self.home)
        self.assertEqual(self.cli("status"), (0, b"no instalado\n", b""))

        self.assertEqual(self.cli("install"), (0, b"Instalado y corriendo OK\n", b""))
        agents = agents_of(self.home)
        self.assertEqual(len(agents), 1, agents)
        self.assertTrue(os.path.isfile(entry))
        if UNDER_WINE:
            # The shell link the Windows build wrote, read by an independent reader.
            info = subprocess.run(["lnkinfo", entry], capture_output=True, text=True, check=True).stdout
            self.assertIn("Relative path\t\t\t: ./%s\n" % os.path.basename(EXE), info)
            self.assertIn("Command line arguments\t\t: run\n", info)
            self.assertIn("Working directory\t\t: Z:%s\n"
                          % os.path.dirname(os.path.realpath(EXE)).replace("/", "\\"), info)
        else:
            with open(entry) as f:
                self.assertEqual(f.read(),
                                 "[Desktop Entry]\nType=Application\nName=Zunel print agent\n"
                                 "Exec=\"%s\" run\nNoDisplay=true\nX-GNOME-Autostart-enabled=true\n"
                                 % os.path.realpath(EXE))
            # Detached: its own session, no console streams, and told so.
            pid = agents[0]
            with open("/proc/%d/stat" % pid) as f:
                self.assertEqual(int(f.read().rsplit(")", 1)[1].split()[3]), pid)
            for fd in (0, 1, 2):
                self.assertEqual(os.readlink("/proc/%d/fd/%d" % (pid, fd)), "/dev/null")
            self.assertEqual(process_environ(pid).get(b"ZUNEL_NO_CONSOLE"), b"1")
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                self.assertEqual(f.read().split(b"\0")[1:2], [b"run"])

        self.assertEqual(self.cli("status"), (0, b"instalado (Startup) y corriendo OK\n", b""))
        self.assertEqual(self.cli("install"),
                         (0, b"Instalado y corriendo OK (el agente ya estaba activo).\n", b""))
        self.assertEqual(agents_of(self.home), agents)

        for pid in agents:
            stop_pid(pid)
        wait_port_free(HTTP_PORT)
        self.assertEqual(self.cli("status"),
                         (0, b"instalado (Startup) pero no esta corriendo\n", b""))
        self.assertEqual(self.cli("uninstall"), (0, b"Auto-inicio desinstalado.\n", b""))
        self.assertFalse(os.path.exists(entry))
        self.assertEqual(self.cli("status"), (0, b"no instalado\n", b""))
        # Nothing to remove is still a success.
        self.assertEqual(self.cli("uninstall"), (0, b"Auto-inicio desinstalado.\n", b""))

    def test_running_agent_without_entry(self):
        with Agent(self.home) as agent:
            agent.wait_started()
            self.assertEqual(
                self.cli("status"),
                (0, b"corriendo, pero SIN auto-inicio (no hay acceso directo en Startup)\n", b""))

    def test_foreign_server_on_the_port_is_diagnosed_d6(self):
        server = ForeignServer()
        self.addCleanup(server.close)
        code, out, err = self.cli("install")
        self.assertEqual((code, out), (16, b""))
        self.assertEqual(err.decode(),
                         "[D6] Otra aplicacion esta usando el puerto 47631 que el agente necesita. "
                         "Cerra esa aplicacion o reinicia el equipo, y volve a instalar.\n\n"
                         "Detalle tecnico (para soporte): sin respuesta como agente en "
                         "http://127.0.0.1:47631/v1/ping tras 5 intentos\n")
        # The entry stays: a failure leaves earlier steps in place.
        self.assertTrue(os.path.isfile(startup_entry(self.home)))

    @unittest.skipIf(UNDER_WINE, "the Startup folder under Wine comes from the prefix")
    def test_unresolvable_startup_folder(self):
        env = self.home.env()
        env.pop("HOME")
        env["XDG_CONFIG_HOME"] = "relative/config"
        self.assertEqual(self.cli("install", env=env),
                         (1, b"", b"no se pudo resolver %APPDATA%\n"))
        self.assertEqual(self.cli("uninstall", env=env),
                         (1, b"", b"no se pudo resolver %APPDATA%\n"))
        self.assertEqual(self.cli("cleanup", env=env),
                         (0, b"Limpieza previa OK: tarea programada legacy.\n", b""))

    def test_cleanup(self):
        legacy_only = (0, b"Limpieza previa OK: tarea programada legacy.\n", b"")
        self.assertEqual(self.cli("cleanup"), legacy_only)
        self.assertEqual(self.cli("cleanup", os.path.join(self.home.path, "missing")), legacy_only)

        # A real folder with contents, and the Startup entry.
        entry = startup_entry(self.home)
        os.makedirs(os.path.dirname(entry), exist_ok=True)
        with open(entry, "w") as f:
            f.write("x")
        old = os.path.join(self.home.path, "old-install")
        os.makedirs(os.path.join(old, "sub"))
        with open(os.path.join(old, "sub", "file"), "w") as f:
            f.write("x")
        self.assertEqual(self.cli("cleanup", old, "ignored"),
                         (0, b"Limpieza previa OK: acceso directo de Startup, tarea programada "
                             b"legacy, carpeta de instalacion previa.\n", b""))
        self.assertFalse(os.path.exists(old))
        self.assertFalse(os.path.exists(entry))

    @unittest.skipIf(UNDER_WINE, "symbolic links are a host-side notion here")
    def test_cleanup_removes_a_link_not_its_target(self):
        target = os.path.join(self.home.path, "target")
        os.makedirs(target)
        with open(os.path.join(target, "keep"), "w") as f:
            f.write("keep")
        link = os.path.join(self.home.path, "link")
        os.symlink(target, link)
        self.assertEqual(self.cli("cleanup", link),
                         (0, b"Limpieza previa OK: tarea programada legacy, carpeta de instalacion "
                             b"previa.\n", b""))
        self.assertFalse(os.path.lexists(link))
        with open(os.path.join(target, "keep")) as f:
            self.assertEqual(f.read(), "keep")

    def test_cleanup_keeps_the_executables_own_folder(self):
        # A copy of the executable, so that a fault could only remove the copy.
        own = os.path.join(self.home.path, "agent-bin")
        os.makedirs(own)
        copy = os.path.join(own, os.path.basename(EXE))
        shutil.copy2(EXE, copy)
        legacy_only = (0, b"Limpieza previa OK: tarea programada legacy.\n", b"")
        forms = [own, own + os.sep, os.path.join(own, "..", "agent-bin")]
        if not UNDER_WINE:
            forms.append(os.path.relpath(own, self.cwd))
        for form in forms:
            self.assertEqual(self.cli("cleanup", form, cwd=self.cwd, exe=copy), legacy_only, form)
            self.assertTrue(os.path.isfile(copy), form)


if __name__ == "__main__":
    unittest.main(verbosity=2)

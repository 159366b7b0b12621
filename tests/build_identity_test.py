"""The build's identity (cmake/build_identity.cmake) as the build and the
release read it: from a git tree of its own, or a name given for a release."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
SCRIPT = os.path.join(SOURCE, "cmake", "build_identity.cmake")
TEMPLATE = os.path.join(SOURCE, "agentcore", "src", "base", "build_identity.cpp.in")
CMAKE = sys.argv.pop(1) if len(sys.argv) > 1 else "cmake"


def identity(source_dir="", **options):
    """The script's exit code, standard output and standard error."""
    args = [CMAKE, "-DSOURCE_DIR=" + source_dir, "-DPRINT=ON"]
    args += ["-D%s=%s" % item for item in options.items()]
    proc = subprocess.run(args + ["-P", SCRIPT], capture_output=True, text=True, timeout=60)
    return proc.returncode, proc.stdout, proc.stderr


class Repository:
    """A git work tree with one committed file."""

    def __init__(self, root):
        self.path = os.path.join(root, "repo")
        os.makedirs(self.path)
        self.git("init", "-q")
        self.write("a.txt", "uno\n")
        # 23:30 three hours west of UTC: already the next day in UTC.
        self.commit("2026-12-10T23:30:00-03:00")

    def git(self, *args, date=None):
        env = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example",
                   GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example")
        if date:
            env.update(GIT_AUTHOR_DATE=date, GIT_COMMITTER_DATE=date)
        return subprocess.run(["git", "-C", self.path, *args], env=env, check=True,
                              capture_output=True, text=True).stdout.strip()

    def write(self, name, text):
        with open(os.path.join(self.path, name), "w") as f:
            f.write(text)

    def commit(self, date):
        self.git("add", "-A")
        self.git("commit", "-q", "-m", "c", date=date)

    def head(self):
        return self.git("rev-parse", "HEAD")


class BuildIdentity(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="zunel-identity-")
        self.addCleanup(self.tmp.cleanup)
        self.repo = Repository(self.tmp.name)

    def test_a_commit_is_named_by_its_utc_date_and_short_hash(self):
        code, out, err = identity(self.repo.path)
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(out, "2026-12-11.%s\n" % self.repo.head()[:12])

    def test_uncommitted_changes_are_marked_unless_the_commit_is_asked_for(self):
        self.repo.write("new.txt", "not tracked\n")
        self.assertEqual(identity(self.repo.path)[1], "2026-12-11.%s\n" % self.repo.head()[:12],
                         "a file git does not track changes nothing built")
        self.repo.write("a.txt", "dos\n")
        for options, mark in (({}, "+cambios"), ({"COMMITTED": "ON"}, "")):
            with self.subTest(options=options):
                self.assertEqual(identity(self.repo.path, **options)[1],
                                 "2026-12-11.%s%s\n" % (self.repo.head()[:12], mark))

    def test_sources_that_are_not_a_tree_of_their_own_are_unknown(self):
        inside = os.path.join(self.repo.path, "build-release", "src")
        os.makedirs(inside)
        for where in (inside, self.tmp.name, os.path.join(self.tmp.name, "nowhere")):
            with self.subTest(where=where):
                self.assertEqual(identity(where), (0, "desconocida\n", ""))

    def test_a_given_name_is_taken_as_it_is_or_refused_with_its_reason(self):
        for name in ("rc1", "2026-12-10.78f8fe6c1a2b+cambios", "1.0.1~prueba_2", "x" * 40):
            with self.subTest(name=name):
                self.assertEqual(identity(self.repo.path, BUILD_ID=name), (0, name + "\n", ""))
        for name, reason in (("a b", "may hold only"), ("../x", "may hold only"),
                             ("x/y", "may hold only"), ("x\\y", "may hold only"),
                             ("-x", "may hold only"), ("ñandú", "may hold only"),
                             ("x" * 41, "longer than 40 characters")):
            with self.subTest(name=name):
                code, out, err = identity(self.repo.path, BUILD_ID=name)
                self.assertNotEqual(code, 0)
                self.assertEqual(out, "")
                self.assertRegex(err.splitlines()[0],
                                 r"^the build's name \"%s\" .*%s" % (re.escape(name), reason))

    def test_the_generated_file_is_rewritten_only_when_the_text_changes(self):
        output = os.path.join(self.tmp.name, "build_identity.cpp")

        def generate():
            code, _, err = identity(self.repo.path, TEMPLATE=TEMPLATE, OUTPUT=output)
            self.assertEqual((code, err), (0, ""))
            with open(output) as f:
                return f.read(), os.stat(output).st_mtime_ns

        text, written = generate()
        self.assertIn('agent_build() { return "2026-12-11.%s"; }' % self.repo.head()[:12], text)
        os.utime(output, ns=(written - 10**9, written - 10**9))
        self.assertEqual(generate(), (text, written - 10**9), "the same text leaves the file alone")
        self.repo.write("a.txt", "tres\n")
        self.repo.commit("2027-01-02T10:00:00+00:00")
        text, _ = generate()
        self.assertIn('agent_build() { return "2027-01-02.%s"; }' % self.repo.head()[:12], text)


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""Every object of the Windows build, and every linked executable, compiles
Boost.Asio's platform classes one way.

Asio chooses some of its internal classes (the thread, the mutex, the event,
thread-local storage...) from the macros defined before its first header is
read. When two files choose differently, functions of one name get two bodies
and the linker keeps one of each at random: a thread started as one class can
be joined as the other. This test lists, with the toolchain's nm, which
variant of each class every file holds, and fails when a class has two.

    one_configuration_test.py NM BUILD_DIR
"""

import collections
import pathlib
import re
import subprocess
import sys

# boost::asio::detail::<variant>_<class>, e.g. posix_thread, win_mutex. The
# null_ variants are left out: Asio uses them on purpose beside real ones.
CLASS = re.compile(
    r"boost::asio::detail::(posix|win|std|wince|winapp)_"
    r"(thread|mutex|event|tss_ptr|static_mutex|global_impl|signal_blocker)\b")


def variants(nm, path):
    """{class: {variant}} of the symbols in one object, archive or exe."""
    out = subprocess.run([nm, "-C", str(path)], check=True, capture_output=True, text=True).stdout
    found = collections.defaultdict(set)
    for match in CLASS.finditer(out):
        found[match.group(2)].add(match.group(1))
    return found


def conflicts(nm, files):
    """{class: {variant: [files]}} for each class seen in more than one variant."""
    seen = collections.defaultdict(lambda: collections.defaultdict(list))
    for path in files:
        for cls, kinds in variants(nm, path).items():
            for kind in kinds:
                seen[cls][kind].append(path)
    return {cls: by_kind for cls, by_kind in seen.items() if len(by_kind) > 1}


def main():
    nm, build = sys.argv[1], pathlib.Path(sys.argv[2])
    # The earlier release the upgrade test runs (earlier-release-*) is built
    # by that release's own rules and is not this build's.
    ours = [p for p in build.rglob("*.obj") if not p.relative_to(build).parts[0].startswith("earlier-release-")]
    files = sorted(ours) + sorted((build / "bin").glob("*.exe"))
    if not any(p.suffix == ".exe" for p in files) or not any(p.suffix == ".obj" for p in files):
        print(f"no objects or executables under {build}: nothing was checked", file=sys.stderr)
        return 1
    found = conflicts(nm, files)
    for cls, by_kind in sorted(found.items()):
        print(f"Asio's {cls} is compiled in more than one way:")
        for kind, paths in sorted(by_kind.items()):
            shown = ", ".join(str(p.relative_to(build)) for p in paths[:5])
            more = f" and {len(paths) - 5} more" if len(paths) > 5 else ""
            print(f"  {kind}_{cls}: {shown}{more}")
    if found:
        print("Every file must see Asio configured alike (zunel_deps' definitions in CMakeLists.txt).")
        return 1
    print(f"{len(files)} objects and executables: one variant of each Asio platform class")
    return 0


if __name__ == "__main__":
    sys.exit(main())

# Sourced by the benchmarks that run this build beside another in the same
# run. Sets `build` (this tree's Release build) and `before_build` (that of
# REVISION, by default the last commit of main this branch shares, built in
# Release from `git archive` in a temporary folder removed on exit).
# Usage: . bench/two_builds.sh [REVISION]
revision=${1:-$(git merge-base HEAD main)}
build=$(bench/build.sh zunel-print-agent)
before=$(mktemp -d)
trap 'rm -rf "$before"' EXIT
git archive "$revision" | tar -x -C "$before"
before_build=$(cd "$before" && ZUNEL_BENCH_BUILD_DIR="$before/build-bench" bench/build.sh zunel-print-agent)

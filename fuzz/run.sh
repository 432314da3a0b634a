#!/usr/bin/env bash
# Runs the URDF import fuzzer (build it first: see "Build" in fuzz/README.md).
#
#   bash fuzz/run.sh                      # 10 million executions, one job
#   bash fuzz/run.sh -max_total_time=600  # extra libFuzzer flags override the defaults
#   bash fuzz/run.sh -use_value_profile=1
#
# New inputs go to fuzz/build/corpus (not committed); the seeds in fuzz/corpus
# are read but never written. Crashes, timeouts and leaks are written to
# fuzz/build/artifacts/ as crash-*, timeout-*, leak-* or oom-*.
set -euo pipefail
cd "$(dirname "$0")"
mkdir -p build/corpus build/artifacts
exec ./build/urdf_fuzzer \
  -runs=10000000 -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -dict=urdf.dict -artifact_prefix=build/artifacts/ -print_final_stats=1 \
  "$@" build/corpus corpus

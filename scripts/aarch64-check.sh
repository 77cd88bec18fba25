#!/usr/bin/env bash
# The aarch64 kelpa against the x86-64 one, run here under user-mode emulation
# (qemu-aarch64-static): both builders write the same archive bytes for text, random
# bytes, a pattern, zeros and a tiny file at 1, 2 and 3 threads; each extracts the other's
# archives; an archive built on x86-64 with the aarch64 kelpa as its stub (-p) runs on
# aarch64 and installs its file. Then the engine layers' unit tests, cross-built for
# aarch64 (the test-aarch64 preset), run under the emulator. Builds the release-aarch64
# preset, and the release preset's kelpa when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
scripts/deps.sh aarch64
cmake --preset release-aarch64 >/dev/null
cmake --build --preset release-aarch64 -j "$jobs" >/dev/null
if [ ! -x build/src/driver/kelpa ] || [ ! -x build/tests/e2e_tests ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$jobs" --target kelpa e2e_tests >/dev/null
fi
x86=$PWD/build/src/driver/kelpa
arm=$PWD/build-aarch64/src/driver/kelpa
emu=(qemu-aarch64-static)

fail() { echo "FAILED: $*"; exit 1; }
readelf -h "$arm" | grep -q 'AArch64' || fail "$arm is not an aarch64 program"
if readelf -lW "$arm" | grep -q INTERP; then fail "$arm is not static"; fi
size=$(stat -c %s "$arm")
[ "$size" -le $((192 * 1024)) ] || fail "$arm is $size bytes, over 192 KiB"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Inputs of several 256 KiB chunks of the parallel encoder, and one of a few bytes.
python3 - <<'PY'
import random
r = random.Random(5)
words = [b"archive ", b"kelpa ", b"the ", b"window ", b"match ", b"stream\n", b"{ ", b"} "]
open("text", "wb").write(b"".join(r.choice(words) for _ in range(400000)))
open("random", "wb").write(bytes(r.getrandbits(8) for _ in range(1 << 20)))
open("pattern", "wb").write(b"".join(b"%08d|" % (i % 977) + b"ab" * (i % 13) for i in range(150000)))
open("zeros", "wb").write(bytes(4 << 20))
open("tiny", "wb").write(b"tiny\n")
PY

checked=0
for f in text random pattern zeros tiny; do
  for t in 1 2 3; do
    KELPA_THREADS=$t "$x86" -p "$arm" "$f" > "x86.$f.$t.run" 2>/dev/null
    KELPA_THREADS=$t "${emu[@]}" "$arm" -p "$arm" "$f" > "arm.$f.$t.run" 2>/dev/null
    cmp -s "x86.$f.$t.run" "arm.$f.$t.run" ||
      fail "$f, $t threads: the aarch64 builder wrote other bytes than the x86-64 one"
    checked=$((checked + 1))
  done
  # Each extracts the other's archive (-u -x), and the x86-64 one's with its own stub.
  "$x86" "$f" > "own.$f.run" 2>/dev/null
  "${emu[@]}" "$arm" -u -x "own.$f.run" 2>/dev/null | cmp -s - "$f" ||
    fail "$f: the aarch64 kelpa did not extract the x86-64 archive"
  "$x86" -u -x "arm.$f.2.run" 2>/dev/null | cmp -s - "$f" ||
    fail "$f: the x86-64 kelpa did not extract the aarch64 archive"
done

# An installer built on x86-64 for aarch64 runs there: the builder says once that it is for
# aarch64, the default extraction writes the file, the post command runs.
"$x86" -r 'echo installed > done.txt' -p "$arm" text > installer.run 2> warning
[ "$(cat warning)" = "$x86: warning: $arm is a program for aarch64, not x86-64: the archive will run on aarch64 only" ] ||
  fail "the builder's warning for an aarch64 stub: $(cat warning)"
chmod +x installer.run
mkdir target
(cd target && "${emu[@]}" ../installer.run > /dev/null 2>&1) || fail "the aarch64 installer failed"
cmp -s target/text text || fail "the aarch64 installer did not write the file"
[ "$(cat target/done.txt)" = installed ] || fail "the aarch64 installer's post command did not run"

echo "aarch64 kelpa: $size bytes, static; $checked archives identical to x86-64's, extracted both ways"

cd - >/dev/null
log=$PWD/build-logs/test-aarch64.log
mkdir -p build-logs
if ! { cmake --preset test-aarch64 && cmake --build --preset test-aarch64 -j "$jobs" &&
       ctest --preset test-aarch64 -j "$((jobs * 2))"; } >"$log" 2>&1; then
  tail -n 60 "$log"
  fail "the unit tests under emulation (log: $log)"
fi
echo "aarch64 unit tests under emulation: $(grep -o '[0-9]*% tests passed.*' "$log")"

# The end-to-end suite against the aarch64 kelpa: the x86-64 test program runs it, and every
# run of kelpa or of an archive it built goes through the emulator (KELPA_WRAP). Left out:
# tests whose archives a shell, env, a terminal or a signal reaches without the emulator in
# between, and those about the x86-64 build itself (its stub's libraries and size, its
# memory, mount namespaces).
skip=(Builder.StubThatIsTheOutputIsRefused Builder.FileNamedLikeTheProgramInTheCurrentDirectoryIsIgnored
      Builder.EmptyProgramNameStillFindsTheOwnFile Builder.WriteFailureIsReportedAndExits1
      Builder.ArchiveIsNeverWrittenOntoATerminal Builder.NonBlockingOutputIsWaitedOn
      Builder.BadThreadSettingIsReportedOnce Builder.SameArchiveOnAnyNumberOfThreads
      Stub.NeedsNoLibraryAndStaysSmall Stub.BuilderWarnsOnceWhenTheStubIsNotStatic
      Damaged.ArchiveChangedAfterTheCheckStopsTheExtraction Extract.CommandsOutputNamesAndEnvironment
      Extract.VerboseOnATerminalAsksUntilYesOrNo Extract.SignalsToKelpaReachThePostExtractionCommand
      Extract.ProgressLineOnATerminal Extract.RunsInAnEmptyRoot Memory.PeakDoesNotGrowWithTheInput
      Relocate.ThroughTemporaryLinkIntoRoomyFilesystems Relocate.RefusalsBeforeAnythingIsWritten
      Extract.SignedArchivesRunOnlyWithAValidSignatureByTheKey Listing.SignatureLineNamesTheKeyAndTheSlot
      Builder.SignedArchiveIsTheSameThroughAFileOrAPipe Builder.SigningFailuresLeaveNoSignedLookingArchive)
filter="*-$(IFS=:; echo "${skip[*]}")"
log=$PWD/build-logs/e2e-aarch64.log
shards=$((jobs * 2))
pids=()
for i in $(seq 0 $((shards - 1))); do
  KELPA_TEST_BIN=$arm KELPA_WRAP=qemu-aarch64-static GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i \
    build/tests/e2e_tests --gtest_filter="$filter" >"$log.$i" 2>&1 &
  pids+=($!)
done
failed=0
for p in "${pids[@]}"; do wait "$p" || failed=1; done
cat "$log".* >"$log" && rm -f "$log".*
[ "$failed" -eq 0 ] || { grep -E '^\[  FAILED' "$log" | head -20; fail "the end-to-end tests on the aarch64 kelpa (log: $log)"; }
echo "aarch64 end-to-end tests under emulation: $(grep -h -o '\[  PASSED  \] [0-9]* tests' "$log" |
  awk '{n += $4} END {print n}') passed, ${#skip[@]} left out"

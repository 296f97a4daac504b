#!/usr/bin/env bash
# Seeds one-line faults into the driver, one at a time, and records whether the test
# suite catches each: a check on the tests themselves, run on demand (not by test.sh).
#
#   scripts/seed-faults.sh [fault-id ...]    (default: every fault)
#   RAVO_SEED_REV=<commit> scripts/seed-faults.sh ...   the sources of that commit instead
#
# The worktree is never modified: the sources are copied to build/seed/src-* (refreshed on
# every run), built there once as the host build, and each fault is applied to the copy,
# the driver image rebuilt, the suite run, the file restored. Results go to stdout and to
# build/seed/results-*.txt, one line per fault: "<id> caught|missed|nobuild <failing tests>".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/seed
# A build of its own per source, so that no object outlives a change of sources.
src=$work/src-${RAVO_SEED_REV:-worktree}
bld=$work/build-${RAVO_SEED_REV:-worktree}
# Modification times are kept, so a rerun rebuilds only what changed since.
rm -rf "$src"
mkdir -p "$src"
if [ -n "${RAVO_SEED_REV:-}" ]; then
    git -C "$root" archive "$RAVO_SEED_REV" | tar -C "$src" -xmf - || exit 1
else
    tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$src" -xf -
fi
# The real captures are read in place: the copy finds them where the worktree does.
[ -e "$root/../shared" ] && ln -sfn "$(cd "$root/.." && pwd)/shared" "$work/shared"
cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    -DRAVO_BENCH=OFF >/dev/null || exit 1
cmake --build "$bld" -j "$(nproc)" >/dev/null || { echo "the unseeded copy does not build"; exit 1; }
# Every fault must be measured against a suite that passes without it.
ctest --test-dir "$bld" -j "$(nproc)" --timeout 60 >"$work/baseline.log" 2>&1 </dev/null
grep -q ', 0 tests failed' "$work/baseline.log" || { echo "the unseeded suite fails: $work/baseline.log"; exit 1; }
grep -q '\*\*\*Skipped' "$work/baseline.log" && echo "note: some tests skip, see $work/baseline.log"

# id | file | text as it is | text with the fault; <NL> is a line break, \| a '|'. Each
# text must occur exactly once.
faults=$(
    cat <<'EOF'
nec-window-edge|decode/NecProtocol.cpp|return duration >= low && duration <= high;|return duration > low && duration <= high;
nec-complement-inverted|decode/NecProtocol.cpp|if (((~_command_inv) & 0xFF) != _command) {|if (((~_command_inv) & 0xFF) == _command) {
nec-frame-copy-bound|decode/NecProtocol.cpp|if (_count >= NEC_FRAME_SAMPLES) {|if (_count > NEC_FRAME_SAMPLES + 64) {
rc5-frame-copy-bound|decode/Rc5Protocol.cpp|if (_count >= RC5_FRAME_SAMPLES) {|if (_count > RC5_FRAME_SAMPLES + 64) {
rlc-32-byte-bound|decode/RlcParse.cpp|bool oversized = length > RLC_MAX_PACKET_BYTES;|bool oversized = false;
rlc-group-cut-off-by-one|decode/RlcParse.cpp|if (count > remaining - 1) {|if (count > remaining) {
release-report-missing|decode/IrControl.cpp|_p_read_queue->sendReport(release, sizeof(release));|(void)release;
buffer-queue-lock-kept-on-duplicate|transfer/BufferQueue.cpp|        KeReleaseSpinLock(&_lock, irql);<NL>        return;|        return;
buffer-queue-duplicate-linked|transfer/BufferQueue.cpp|if (buffer->_queued == 1) {|if (buffer->_queued == 2) {
wait-for-buffer-32-bit|transfer/BufferQueue.cpp|static_cast<ULONGLONG>(ms) * 10000|static_cast<ULONG>(ms * 10000)
list-head-check-removed|platform/CheckedList.h|        if (head->Flink->Blink != head \|\| head->Blink->Flink != head)<NL>            corrupt();|        (void)head;
list-remove-check-removed|platform/CheckedList.h|if (next->Blink != entry \|\| previous->Flink != entry)<NL>            corrupt();|(void)0;
request-count-idle-unordered|hid/RequestCount.cpp|        RAVO_TRACE("last request completed, signalling event\n");<NL>        updateIdleEvent();|        RAVO_TRACE("last request completed, signalling event\n");<NL>        KeSetEvent(&_idle_event, IO_NO_INCREMENT, FALSE);
request-count-never-busy|hid/RequestCount.cpp|    if (count == 1)<NL>        updateIdleEvent();|    (void)count;
cancel-before-queue-ignored|hid/ReadReportQueue.cpp|bool cancelledEarly = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;|bool cancelledEarly = false;
send-report-ignores-cancel-owner|hid/ReadReportQueue.cpp|        if (routine == nullptr)<NL>            continue;<NL><NL>|        (void)routine;<NL><NL>
send-report-drops-on-cancelled|hid/ReadReportQueue.cpp|        if (routine == nullptr)<NL>            continue;<NL><NL>|        if (routine == nullptr)<NL>            return;<NL><NL>
cancel-read-count-kept|hid/ReadReportQueue.cpp|    IofCompleteRequest(irp, IO_NO_INCREMENT);<NL>    _request_count.decrement();<NL>}<NL><NL>void ReadReportQueue::flushReads|    IofCompleteRequest(irp, IO_NO_INCREMENT);<NL>}<NL><NL>void ReadReportQueue::flushReads
flush-wrong-status|hid/ReadReportQueue.cpp|irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;|irp->IoStatus.Status = STATUS_SUCCESS;
report-capacity-unchecked|hid/ReadReportQueue.cpp|if (capacity < length) {|if (capacity < 1) {
usb-descriptor-length-past-end|usb/UsbDescriptorCheck.cpp|if (length < sizeof(USB_COMMON_DESCRIPTOR) \|\| length > total - offset)|if (length < sizeof(USB_COMMON_DESCRIPTOR))
usb-total-length-past-received|usb/UsbDescriptorCheck.cpp|config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) \|\| total > received \|\||config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) \|\|
usb-interface-record-past-urb|usb/UsbDescriptorCheck.cpp|if (length < needed \|\| length > urb_length - offset)|if (length < needed)
usb-timeout-reuses-held-request|usb/UsbRequests.cpp|            IoCancelIrp(_p_irp);<NL>            KeWaitForSingleObject(&_sync_event, Executive, KernelMode, FALSE, nullptr);|            IoCancelIrp(_p_irp);
usb-timeout-wrong-status|usb/UsbRequests.cpp|status = STATUS_IO_TIMEOUT;|status = STATUS_SUCCESS;
usb-read-length-uncapped|usb/UsbAsyncTransfer.cpp|    if (moved > context->length)<NL>        moved = context->length;|    (void)0;
usb-iso-table-unbounded|usb/UsbAsyncTransfer.cpp|ULONG packets = iso->NumberOfPackets < room ? iso->NumberOfPackets : room;|ULONG packets = iso->NumberOfPackets + 0 * room;
usb-io-error-not-set|usb/UsbRequests.cpp|            setIoError(1);<NL>            RAVO_ERROR("CUsbInterface::UsbCall_GSPN : Error Status = %x!!\n", status);|            RAVO_ERROR("CUsbInterface::UsbCall_GSPN : Error Status = %x!!\n", status);
EOF
)

# Applies one fault to the copy; fails unless the text occurs exactly once.
seed() {
    python3 - "$src/$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1:4]
old = old.replace("<NL>", "\n").replace("\\|", "|")
new = new.replace("<NL>", "\n").replace("\\|", "|")
text = open(path).read()
if text.count(old) != 1:
    sys.exit(f"{path}: the text to replace occurs {text.count(old)} times")
open(path, "w").write(text.replace(old, new))
PY
}

wanted=" $* "
results=$work/results-${RAVO_SEED_REV:-worktree}.txt
: >"$results"
caught=0
missed=0
while IFS= read -r line; do
    [ -z "$line" ] && continue
    # Split on unescaped '|'.
    mapfile -t parts < <(python3 -c 'import re,sys; [print(p) for p in re.split(r"(?<!\\)\|", sys.argv[1])]' "$line")
    id=${parts[0]} file=${parts[1]} old=${parts[2]} new=${parts[3]}
    if [ $# -gt 0 ] && [[ $wanted != *" $id "* ]]; then continue; fi
    cp "$src/$file" "$work/original"
    if ! seed "$file" "$old" "$new"; then
        echo "$id stale (driver code changed)" | tee -a "$results"
        continue
    fi
    if cmake --build "$bld" -j "$(nproc)" >"$work/$id.build.log" 2>&1 </dev/null; then
        log=$work/$id.test.log
        ctest --test-dir "$bld" -j "$(nproc)" --timeout 60 >"$log" 2>&1 </dev/null
        failing=$(sed -n '/tests FAILED:/,$s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$log" |
            head -4 | tr '\n' ' ')
        if ! grep -q 'tests passed' "$log"; then
            echo "$id norun" | tee -a "$results"
        elif grep -q ', 0 tests failed' "$log"; then
            echo "$id missed" | tee -a "$results"
            missed=$((missed + 1))
        else
            echo "$id caught $failing" | tee -a "$results"
            caught=$((caught + 1))
        fi
    else
        echo "$id nobuild" | tee -a "$results"
    fi
    cp "$work/original" "$src/$file"
done <<<"$faults"
cmake --build "$bld" -j "$(nproc)" >/dev/null
echo "faults: $caught caught, $missed missed (results in $results)"

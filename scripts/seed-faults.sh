#!/usr/bin/env bash
# Seeds one-line faults into the driver, one at a time, and records whether the test suite,
# as scripts/test.sh runs it, catches each: a check on the tests themselves, run on demand
# (not by test.sh).
#
#   scripts/seed-faults.sh [fault-id ...]    (default: every fault)
#   RAVO_SEED_REV=<commit> scripts/seed-faults.sh ...   the sources of that commit instead
#   RAVO_SEED_STAGES="ctest soak sweep" scripts/seed-faults.sh ...   the stages to judge by
#
# A fault is judged by the stages of test.sh that run on the plain host build, in turn,
# until one of them fails: every test (ctest), the short soak (ravo_soak 300), then the fault
# sweep with the hostile receivers (ravo_faults). The sanitizer passes of test.sh are left
# out: each would need a build of its own for every fault, and no seeded fault is missed by
# all three stages for want of one. A stage counts only against a suite that passes it
# without the fault: ctest is run unseeded first, the soak and the sweep the first time a
# fault fails them.
#
# The worktree is never modified: the sources are copied to build/seed/src-* (refreshed on
# every run), built there once as the host build, and each fault is applied to the copy,
# the driver image rebuilt, the stages run, the file restored. Results go to stdout and to
# build/seed/results-*.txt, one line per fault ("<id> caught by <stage>: <what failed>",
# "<id> missed", "stale" or "nobuild"), then the catch rate of each driver folder and of all.
# Exits non-zero when fewer than 95 % are caught or a fault is stale or does not build.
set -uo pipefail
# Read whole before it runs: the script may be edited while a long run goes on.
{
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/seed
stages=${RAVO_SEED_STAGES:-ctest soak sweep}
jobs=$(nproc)
# A build of its own per source, so that no object outlives a change of sources.
src=$work/src-${RAVO_SEED_REV:-worktree}
bld=$work/build-${RAVO_SEED_REV:-worktree}
# The copy is brought up to date file by file: only a file whose bytes differ is written
# (and so rebuilt), whatever the times say; a run stopped with a fault seeded leaves
# nothing behind.
fresh=$work/fresh
rm -rf "$fresh"
mkdir -p "$fresh" "$src"
if [ -n "${RAVO_SEED_REV:-}" ]; then
    git -C "$root" archive "$RAVO_SEED_REV" | tar -C "$fresh" -xf - || exit 1
else
    tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$fresh" -xf -
fi
python3 - "$fresh" "$src" <<'PY'
import filecmp, os, shutil, sys
fresh, src = sys.argv[1:3]
for top, dirs, files in os.walk(src, topdown=False):
    for name in files + dirs:
        path = os.path.join(top, name)
        if not os.path.lexists(os.path.join(fresh, os.path.relpath(path, src))):
            shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
for top, dirs, files in os.walk(fresh):
    os.makedirs(os.path.join(src, os.path.relpath(top, fresh)), exist_ok=True)
    for name in files:
        new = os.path.join(top, name)
        old = os.path.join(src, os.path.relpath(new, fresh))
        if not os.path.exists(old) or not filecmp.cmp(new, old, shallow=False):
            shutil.copyfile(new, old)
            shutil.copymode(new, old)
PY
rm -rf "$fresh"
# The real captures are read in place: the copy finds them where the worktree does.
[ -e "$root/../shared" ] && ln -sfn "$(cd "$root/.." && pwd)/shared" "$work/shared"
# Every test ends within a second or two: one still running after 60 s has hung.
cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    -DRAVO_BENCH=OFF -DRAVO_TEST_TIMEOUT=60 >/dev/null || exit 1
cmake --build "$bld" -j "$jobs" >/dev/null || { echo "the unseeded copy does not build"; exit 1; }

# Each stage writes its log and returns non-zero when it failed; stage_failure then says what.
run_stage() {
    local stage=$1 log=$2
    case "$stage" in
        # The first failure is enough to know the fault is caught, and a fault that hangs
        # the stack would otherwise cost a time-out in every test of it. A failure counts
        # only when the failed test fails again: the machine is shared, and a test slowed
        # past a bound by another build's load says nothing of the fault. One that passes
        # on its second run sends the whole suite round again, at most three times.
        ctest)
            local attempt
            for attempt in 1 2 3; do
                ctest --test-dir "$bld" -j "$jobs" --stop-on-failure --output-on-failure \
                    >"$log" 2>&1 </dev/null
                grep -q ', 0 tests failed' "$log" && return 0
                mv "$log" "$log.$attempt"
                ctest --test-dir "$bld" --rerun-failed --output-on-failure >"$log" 2>&1 </dev/null
                grep -q ', 0 tests failed' "$log" || return 1
            done
            ;;
        soak) timeout 1800 "$bld/ravo_soak" 300 >"$log" 2>&1 </dev/null ;;
        sweep) timeout 3600 "$bld/ravo_faults" --jobs $((jobs * 2)) --first-failure >"$log" 2>&1 </dev/null ;;
    esac
}
stage_failure() {
    local stage=$1 log=$2
    case "$stage" in
        ctest) sed -n '/tests FAILED:/,$s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$log" |
            head -3 | tr '\n' ' ' ;;
        soak) grep -m1 -E 'ravo_soak:|VERIFIER|Assertion' "$log" || tail -1 "$log" ;;
        sweep) { grep -m1 'FAILED' "$log" || tail -1 "$log"; } | sed 's/^ *//' ;;
    esac
}
declare -A baseline_ok
baseline() {
    local stage=$1
    if [ -z "${baseline_ok[$stage]:-}" ]; then
        if run_stage "$stage" "$work/baseline-$stage.log"; then
            baseline_ok[$stage]=1
        else
            echo "the unseeded suite fails its $stage stage: $work/baseline-$stage.log"
            exit 1
        fi
    fi
}
baseline ctest
grep -q '\*\*\*Skipped' "$work/baseline-ctest.log" && echo "note: some tests skip, see $work/baseline-ctest.log"

# id | file | text as it is | text with the fault; <NL> is a line break, \| a '|'. Each
# text must occur exactly once.
#
# Left out, as equivalent to the driver as it is (no test could tell them apart): a remove
# lock kept where a device has no Device object (its removal then waits on nothing); the
# parser's status ignored at its creation (init takes that status right after); the bounds
# on the NEC and RC5 sample counts (a later check, or the longest frame, stops first); the
# parse thread's stop check between buffers (the abort after its end takes back what it
# sent meanwhile); the Halt bit ignored (a halted pipe fails every read, and a round of
# them gets the same abort and reset); the port reset's wait for the reads (the abort
# before it completes only once the reads it cancelled are back).
faults=$(
    cat <<'EOF'
nec-window-edge|decode/NecProtocol.cpp|return duration - low <= high - low;|return duration - low < high - low;
nec-complement-inverted|decode/NecProtocol.cpp|if ((((~bits) >> 24) & 0xFF) != ((bits >> 16) & 0xFF)) {|if ((((~bits) >> 24) & 0xFF) == ((bits >> 16) & 0xFF)) {
rlc-32-byte-bound|decode/RlcParse.cpp|bool oversized = length > RLC_MAX_PACKET_BYTES;|bool oversized = false;
rlc-group-cut-off-by-one|decode/RlcParse.cpp|if (count >= remaining) {|if (count > remaining) {
release-report-missing|decode/IrControl.cpp|_p_read_queue->sendReport(release, sizeof(release));|(void)release;
buffer-queue-lock-kept-on-duplicate|transfer/BufferQueue.cpp|        KeReleaseSpinLock(&_lock, irql);<NL>        return;|        return;
buffer-queue-duplicate-linked|transfer/BufferQueue.cpp|if (buffer->_queued == 1) {|if (buffer->_queued == 2) {
wait-for-buffer-32-bit|transfer/BufferQueue.cpp|static_cast<ULONGLONG>(ms) * 10000|static_cast<ULONG>(ms * 10000)
list-head-check-removed|platform/CheckedList.h|        if (head->Flink->Blink != head \|\| head->Blink->Flink != head)<NL>            corrupt();|        (void)head;
list-remove-check-removed|platform/CheckedList.h|if (next->Blink != entry \|\| previous->Flink != entry)<NL>            corrupt();|(void)0;
request-count-idle-unordered|hid/RequestCount.cpp|        RAVO_TRACE("last request completed, signalling event\n");<NL>        updateIdleEvent();|        RAVO_TRACE("last request completed, signalling event\n");<NL>        KeSetEvent(&_idle_event, IO_NO_INCREMENT, FALSE);
request-count-never-busy|hid/RequestCount.cpp|    if (count == 1)<NL>        updateIdleEvent();|    (void)count;
cancel-before-queue-ignored|hid/ReadReportQueue.cpp|cancelledEarly = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;|cancelledEarly = false;
send-report-ignores-cancel-owner|hid/ReadReportQueue.cpp|        if (routine == nullptr)<NL>            continue;<NL><NL>|        (void)routine;<NL><NL>
send-report-drops-on-cancelled|hid/ReadReportQueue.cpp|        if (routine == nullptr)<NL>            continue;<NL><NL>|        if (routine == nullptr)<NL>            return;<NL><NL>
cancel-read-count-kept|hid/ReadReportQueue.cpp|    IofCompleteRequest(irp, IO_NO_INCREMENT);<NL>    _request_count.decrement();<NL>}<NL><NL>void ReadReportQueue::flushReads|    IofCompleteRequest(irp, IO_NO_INCREMENT);<NL>}<NL><NL>void ReadReportQueue::flushReads
flush-wrong-status|hid/ReadReportQueue.cpp|irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;|irp->IoStatus.Status = STATUS_SUCCESS;
report-capacity-unchecked|hid/ReadReportQueue.cpp|if (capacity < length) {|if (capacity < 1) {
hid-attributes-one-byte-short|hid/HidMiniIoctl.cpp|buffer_length < sizeof(HID_DEVICE_ATTRIBUTES)) {|buffer_length < sizeof(HID_DEVICE_ATTRIBUTES) - 1) {
hid-attributes-short-succeeds|hid/HidMiniIoctl.cpp|STATUS_INVALID_PARAMETER : STATUS_BUFFER_TOO_SMALL;|STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
hid-attributes-length-of-buffer|hid/HidMiniIoctl.cpp|irp->IoStatus.Information = sizeof(HID_DEVICE_ATTRIBUTES);|irp->IoStatus.Information = buffer_length;
hid-descriptor-copied-whole|hid/HidMiniIoctl.cpp|RtlCopyMemory(irp->UserBuffer, descriptor, count);|RtlCopyMemory(irp->UserBuffer, descriptor, descriptor_length);
hid-descriptor-length-claimed|hid/HidMiniIoctl.cpp|irp->IoStatus.Information = count;|irp->IoStatus.Information = descriptor_length;
hid-descriptor-max-for-min|hid/HidMiniIoctl.cpp|ULONG count = buffer_length < descriptor_length ? buffer_length : descriptor_length;|ULONG count = buffer_length > descriptor_length ? buffer_length : descriptor_length;
hid-report-descriptor-wrong-length|hid/HidMiniIoctl.cpp|USHORT report_length = HidDescriptor.DescriptorList[0].wReportLength;|USHORT report_length = HidDescriptor.bLength;
hid-unknown-request-succeeds|hid/HidMiniIoctl.cpp|code);<NL>            status = STATUS_NOT_SUPPORTED;<NL>            break;<NL>    }|code);<NL>            status = STATUS_SUCCESS;<NL>            break;<NL>    }
hid-application-request-succeeds|hid/HidMiniIoctl.cpp|supported by this device\n", code);<NL>            status = STATUS_NOT_SUPPORTED;|supported by this device\n", code);<NL>            status = STATUS_SUCCESS;
frame-system-control-to-pdo|frame/DeviceDispatch.cpp|->NextDeviceObject, irp);|->PhysicalDeviceObject, irp);
frame-system-control-lock-kept|frame/DeviceDispatch.cpp|    IoReleaseRemoveLock(&extension->_remove_lock, irp);<NL>    return status;<NL>}<NL><NL>NTSTATUS Device::static_internalDeviceControl|    return status;<NL>}<NL><NL>NTSTATUS Device::static_internalDeviceControl
frame-requests-while-starting|frame/DeviceDispatch.cpp|if (state() != Started) {|if (state() == NotStarted) {
frame-entry-no-system-control|frame/DriverEntry.cpp|    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = Device::static_SystemControl;|    (void)0;
frame-pnp-query-to-pdo|frame/DevicePnp.cpp|            status = static_passIrpDown(lower, irp);<NL>            break;<NL>    }|            status = static_passIrpDown(device->physicalDevice(), irp);<NL>            break;<NL>    }
frame-remove-not-passed-down|frame/DevicePnp.cpp|return static_passIrpDown(lower, irp);|irp->IoStatus.Status = STATUS_SUCCESS; IofCompleteRequest(irp, IO_NO_INCREMENT); return STATUS_SUCCESS;
frame-stop-not-passed-down|frame/DevicePnp.cpp|            status = static_passIrpDown(lower, irp);<NL>            break;<NL>        case IRP_MN_SURPRISE_REMOVAL:|            irp->IoStatus.Status = status = STATUS_SUCCESS; IofCompleteRequest(irp, IO_NO_INCREMENT);<NL>            break;<NL>        case IRP_MN_SURPRISE_REMOVAL:
frame-surprise-removal-no-stop|frame/DevicePnp.cpp|            device->stop(irp);<NL>            status = static_passIrpDown(lower, irp);<NL>            break;<NL>        default:|            status = static_passIrpDown(lower, irp);<NL>            break;<NL>        default:
frame-start-pending-status-lost|frame/DevicePnp.cpp|    if (NT_SUCCESS(status))<NL>        status = irp->IoStatus.Status;|    (void)0;
frame-start-not-waited-for|frame/DevicePnp.cpp|        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);|        (void)event;
frame-start-completion-continues|frame/DevicePnp.cpp|    return STATUS_MORE_PROCESSING_REQUIRED;|    return STATUS_SUCCESS;
frame-failed-configuration-started|frame/DevicePnp.cpp|        setState(NotStarted);|        setState(Started);
frame-read-queue-not-opened|frame/DevicePnp.cpp|    _read_queue.open();|    (void)0;
frame-power-down-start-next-xp|frame/DevicePower.cpp|        if (usesPowerSequencing(device))<NL>            PoStartNextPowerIrp(irp);|        (void)0;
frame-power-calls-swapped|frame/DevicePower.cpp|return usesPowerSequencing(device) ? PoCallDriver(lower, irp) : IofCallDriver(lower, irp);|return usesPowerSequencing(device) ? IofCallDriver(lower, irp) : PoCallDriver(lower, irp);
frame-power-other-start-next-xp|frame/DevicePower.cpp|        PoStartNextPowerIrp(irp);<NL>        IoSkipCurrentIrpStackLocation(irp);<NL>        status = PoCallDriver(lower, irp);|        IoSkipCurrentIrpStackLocation(irp);<NL>        status = PoCallDriver(lower, irp);
frame-power-up-start-next-xp|frame/DevicePower.cpp|    PoStartNextPowerIrp(irp);<NL>    // Taken by the power dispatch|    // Taken by the power dispatch
frame-power-no-device-iocalldriver|frame/DevicePower.cpp|    return PoCallDriver(static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension)->NextDeviceObject,|    return IofCallDriver(static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension)->NextDeviceObject,
frame-power-up-work-lock-kept|frame/DevicePower.cpp|    IoReleaseRemoveLock(&extension->_remove_lock, device->_power_up_work);|    (void)extension;
frame-power-up-completion-lock-kept|frame/DevicePower.cpp|    IoReleaseRemoveLock(&extension->_remove_lock, irp);<NL>    return irp->IoStatus.Status;|    return irp->IoStatus.Status;
frame-power-down-not-marked-pending|frame/DevicePower.cpp|        IoMarkIrpPending(irp);<NL>        IoCopyCurrentIrpStackLocationToNext(irp);<NL>        (void)callPowerDriver(device, lower, irp);<NL>        status = STATUS_PENDING;|        IoCopyCurrentIrpStackLocationToNext(irp);<NL>        (void)callPowerDriver(device, lower, irp);<NL>        status = STATUS_PENDING;
frame-power-up-queued-kept|frame/DevicePower.cpp|    InterlockedExchange(&device->_power_up_queued, 0);<NL>    device->powerUp();|    device->powerUp();
frame-power-down-target-kept|frame/DevicePower.cpp|    InterlockedExchange(&_power_target, PowerDeviceD3);|    (void)_power_target;
frame-power-d1-sleeps|frame/DevicePower.cpp|(target == PowerDeviceD3 \|\| target == PowerDeviceD2)|target != PowerDeviceD0
frame-work-item-not-freed|frame/Device.cpp|        IoFreeWorkItem(_power_up_work);|        (void)0;
frame-device-kept-without-work-item|frame/Device.cpp|        delete extension->_p_device;<NL>        extension->_p_device = nullptr;|        extension->_p_device = nullptr;
frame-removal-reads-not-drained|frame/Device.cpp|    _read_queue.drain();|    (void)0;
frame-no-transfer-success|frame/Device.cpp|        if (_p_data_transfer == nullptr) {<NL>            status = STATUS_INSUFFICIENT_RESOURCES;|        if (_p_data_transfer == nullptr) {<NL>            status = STATUS_SUCCESS;
transfer-seventeen-reads|transfer/DataTransfer.cpp|for (ULONG i = 0; i < count && NT_SUCCESS(status); i++) {|for (ULONG i = 0; i <= count && NT_SUCCESS(status); i++) {
transfer-stop-event-kept-set|transfer/DataTransfer.cpp|    KeClearEvent(&_stop_requested_event);|    (void)0;
transfer-failed-start-reads-kept|transfer/DataTransfer.cpp|        setStopThread(1);<NL>        releaseBuffers();|        setStopThread(1);
transfer-reference-failure-handle-kept|transfer/DataTransfer.cpp|        KeClearEvent(&_transfer_stop_event);<NL>        ZwClose(handle);|        KeClearEvent(&_transfer_stop_event);
transfer-partial-buffer-irp-leaked|transfer/DataTransfer.cpp|    if (buffer->_p_irp != nullptr)<NL>        IoFreeIrp(buffer->_p_irp);|    (void)0;
transfer-failed-send-buffer-lost|transfer/DataTransfer.cpp|    _buffer_queue.putBuffer(buffer);<NL>    return STATUS_UNSUCCESSFUL;|    return STATUS_UNSUCCESSFUL;
transfer-failed-send-succeeds|transfer/DataTransfer.cpp|    return STATUS_UNSUCCESSFUL;|    return STATUS_SUCCESS;
transfer-abort-not-retried|transfer/DataTransfer.cpp|        if (!NT_SUCCESS(aborted))<NL>            aborted = _p_usb->UsbAbortPipe(_pipe_num, _interface_num);|        (void)0;
transfer-stop-without-join|transfer/DataTransfer.cpp|    joinThread();<NL>    releaseBuffers();|    releaseBuffers();
transfer-out-pipe-read|transfer/DataTransfer.cpp|    if (pipe == nullptr \|\| !USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) \|\||    if (pipe == nullptr \|\|
parse-no-decoder-event-unset|transfer/ParseThread.cpp|        RAVO_TRACE("Invalid protocol parser, Quit!\n");<NL>        setTransferStopEvent();|        RAVO_TRACE("Invalid protocol parser, Quit!\n");
parse-no-memory-event-unset|transfer/ParseThread.cpp|        RAVO_TRACE("Failed to create IR data buffer, Quit!\n");<NL>        setTransferStopEvent();|        RAVO_TRACE("Failed to create IR data buffer, Quit!\n");
parse-samples-leaked|transfer/ParseThread.cpp|    delete[] reinterpret_cast<PUCHAR>(ir_data);|    (void)ir_data;
parse-held-buffer-lost|transfer/ParseThread.cpp|    if (current != nullptr)<NL>        _buffer_queue.putBuffer(current);|    (void)current;
parse-buffer-sent-twice|transfer/ParseThread.cpp|            current = _buffer_queue.getBuffer();<NL>        }|        }
parse-failures-not-reset-by-data|transfer/ParseThread.cpp|                failed_in_a_row = 0;<NL>                RtlZeroMemory(&key_info, sizeof key_info);|                RtlZeroMemory(&key_info, sizeof key_info);
parse-old-reads-counted|transfer/ParseThread.cpp|} else if (current->_io.generation == _p_usb->pipeGeneration()) {|} else {
parse-burst-not-recovered|transfer/ParseThread.cpp|removed = !checkPipe(failed_in_a_row >= kFailuresBeforeBackOff);|removed = !checkPipe(false);
parse-pipe-not-reset|transfer/ParseThread.cpp|    status = _p_usb->UsbResetPipe(_pipe_num, _interface_num);|    status = STATUS_SUCCESS;
usb-descriptor-length-past-end|usb/UsbDescriptorCheck.cpp|if (length < sizeof(USB_COMMON_DESCRIPTOR) \|\| length > total - offset)|if (length < sizeof(USB_COMMON_DESCRIPTOR))
usb-total-length-past-received|usb/UsbDescriptorCheck.cpp|config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) \|\| total > received \|\||config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) \|\|
usb-interface-record-past-urb|usb/UsbDescriptorCheck.cpp|if (length < needed \|\| length > urb_length - offset)|if (length < needed)
usb-timeout-reuses-held-request|usb/UsbRequests.cpp|            IoCancelIrp(_p_irp);<NL>            KeWaitForSingleObject(&_sync_event, Executive, KernelMode, FALSE, nullptr);|            IoCancelIrp(_p_irp);
usb-timeout-wrong-status|usb/UsbRequests.cpp|status = STATUS_IO_TIMEOUT;|status = STATUS_SUCCESS;
usb-read-length-uncapped|usb/UsbAsyncTransfer.cpp|    if (moved > context->length)<NL>        moved = context->length;|    (void)0;
usb-iso-table-unbounded|usb/UsbAsyncTransfer.cpp|ULONG packets = iso->NumberOfPackets < room ? iso->NumberOfPackets : room;|ULONG packets = iso->NumberOfPackets + 0 * room;
usb-io-error-not-set|usb/UsbRequests.cpp|        setIoError(1);<NL>        RAVO_ERROR("CUsbInterface::UsbCall_GSPN : Error Status = %x!!\n", status);|        RAVO_ERROR("CUsbInterface::UsbCall_GSPN : Error Status = %x!!\n", status);
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
declare -A seeded caught by_stage
broken=0
began=$SECONDS
while IFS= read -r line; do
    [ -z "$line" ] && continue
    # Split on unescaped '|'.
    mapfile -t parts < <(python3 -c 'import re,sys; [print(p) for p in re.split(r"(?<!\\)\|", sys.argv[1])]' "$line")
    id=${parts[0]} file=${parts[1]} old=${parts[2]} new=${parts[3]}
    if [ $# -gt 0 ] && [[ $wanted != *" $id "* ]]; then continue; fi
    folder=${file%%/*}/
    rm -f "$work/$id".*.log*
    cp "$src/$file" "$work/original"
    if ! seed "$file" "$old" "$new"; then
        echo "$id stale (driver code changed)" | tee -a "$results"
        broken=$((broken + 1))
        continue
    fi
    if ! cmake --build "$bld" -j "$jobs" >"$work/$id.build.log" 2>&1 </dev/null; then
        echo "$id nobuild" | tee -a "$results"
        broken=$((broken + 1))
        cp "$work/original" "$src/$file"
        continue
    fi
    seeded[$folder]=$((${seeded[$folder]:-0} + 1))
    verdict=missed
    for stage in $stages; do
        log=$work/$id.$stage.log
        if ! run_stage "$stage" "$log"; then
            what=$(stage_failure "$stage" "$log")
            # Only against a stage that passes without the fault: the original back for that.
            if [ -z "${baseline_ok[$stage]:-}" ]; then
                cp "$work/original" "$src/$file"
                cmake --build "$bld" -j "$jobs" >/dev/null 2>&1 </dev/null
                baseline "$stage"
            fi
            verdict="caught by $stage: $what"
            caught[$folder]=$((${caught[$folder]:-0} + 1))
            by_stage[$folder.$stage]=$((${by_stage[$folder.$stage]:-0} + 1))
            break
        fi
    done
    echo "$id $verdict" | tee -a "$results"
    cp "$work/original" "$src/$file"
done <<<"$faults"
cmake --build "$bld" -j "$jobs" >/dev/null

total=0
total_caught=0
{
    echo
    for folder in $(printf '%s\n' "${!seeded[@]}" | sort); do
        n=${seeded[$folder]} c=${caught[$folder]:-0}
        split=""
        for stage in $stages; do
            [ -n "${by_stage[$folder.$stage]:-}" ] && split+="${split:+, }$stage ${by_stage[$folder.$stage]}"
        done
        echo "$folder: $c of $n caught${split:+ ($split)}"
        total=$((total + n))
        total_caught=$((total_caught + c))
    done
    percent=$(awk -v c="$total_caught" -v n="$total" 'BEGIN { printf "%.1f", n ? 100 * c / n : 0 }')
    echo "faults: $total_caught caught, $((total - total_caught)) missed, $percent% (stages: $stages;" \
        "$broken stale or not building; $((SECONDS - began)) s)"
} | tee -a "$results"
echo "(results in $results)"
[ "$broken" -eq 0 ] && [ $((total_caught * 100)) -ge $((total * 95)) ]
exit
}

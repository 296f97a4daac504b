#include "transfer/DataTransfer.h"

#include "platform/Diagnostics.h"
#include "usb/CUsbInterface.h"

namespace {

// waitTransferStop: 100 seconds, relative, in 100-nanosecond units.
const LONGLONG kTransferStopTimeout = -1000000000LL;
// How long stop() waits for reads still at the bus before it looks at the queue again.
const ULONG kStopPollMs = 500;

// A wait that an alert or an APC may end early: wait again until the object is signalled.
NTSTATUS waitUntilSignalled(PVOID object, BOOLEAN alertable) {
    NTSTATUS status;
    do {
        status = KeWaitForSingleObject(object, Executive, KernelMode, alertable, nullptr);
    } while (status == STATUS_ALERTED || status == STATUS_USER_APC);
    return status;
}

// Reads can only ever complete on a bulk or interrupt IN endpoint that has packets, or on
// an isochronous one whose request for a whole packet fits the URB area of a read.
bool canRead(const USBD_PIPE_INFORMATION* pipe, ULONG buffer_size, ULONG urb_size) {
    if (pipe == nullptr || !USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) ||
        pipe->MaximumPacketSize == 0)
        return false;
    if (pipe->PipeType == UsbdPipeTypeBulk || pipe->PipeType == UsbdPipeTypeInterrupt)
        return true;
    ULONG packets = buffer_size / pipe->MaximumPacketSize;
    return pipe->PipeType == UsbdPipeTypeIsochronous && packets != 0 &&
           GET_ISO_URB_SIZE(packets) <= urb_size;
}

} // namespace

DataTransfer::DataTransfer(CUsbInterface* usb, PDEVICE_OBJECT pdo, IR_Control* ir_control,
                           RLC_parse* rlc_parse, IR_Protocol* protocol)
    : _p_usb(usb), _stop_thread(1), _p_thread_object(nullptr), _p_pdo(pdo), _buffer_count(0),
      _p_ir_control(ir_control), _p_rlc_parse(rlc_parse), _p_protocol(protocol) {
    RAVO_TRACE("DataTransfer::DataTransfer\n");
    _interface_num = 0;
    _pipe_num = 0;
    _buffer_size = TRANSFER_BUFFER_BYTES;
    _urb_size = TRANSFER_URB_BYTES;
    KeInitializeEvent(&_transfer_stop_event, NotificationEvent, FALSE);
    KeInitializeEvent(&_stop_requested_event, NotificationEvent, FALSE);
}

DataTransfer::~DataTransfer() {
    stop();
    RAVO_TRACE("DataTransfer::~DataTransfer\n");
}

NTSTATUS DataTransfer::start() {
    RAVO_TRACE("DataTransfer::start\n");
    if (_p_thread_object != nullptr || !stopRequested()) {
        RAVO_ERROR("Unwanted DataTransfer::start() called. \n");
        return STATUS_SUCCESS;
    }
    const USBD_PIPE_INFORMATION* pipe = _p_usb->getPipeInfo(_interface_num, _pipe_num);
    if (!canRead(pipe, _buffer_size, _urb_size)) {
        RAVO_ERROR("DataTransfer::start: the receiver has no IR input pipe to read "
                   "(interface %d, pipe %d)\n",
                   _interface_num, _pipe_num);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    KeClearEvent(&_transfer_stop_event);
    KeClearEvent(&_stop_requested_event);

    ULONG count = TRANSFER_WANTED_BUFFERS;
    if (count > TRANSFER_MAX_BUFFERS)
        count = TRANSFER_MAX_BUFFERS;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < count && NT_SUCCESS(status); i++) {
        TransferBuffer* buffer = allocateBuffer();
        if (buffer == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        buffer->_index = i;
        // A failed submission has already put the buffer into the queue.
        (void)sendBuffer(buffer);
    }
    if (bufferCount() != 0)
        status = startThread();
    if (!NT_SUCCESS(status)) {
        // Without a thread nobody would ever take these buffers back: a later stop would
        // only find them after its full wait, and a removal that never comes would leak them.
        setStopThread(1);
        releaseBuffers();
        return status;
    }
    return status;
}

NTSTATUS DataTransfer::startThread() {
    RAVO_TRACE("DataTransfer::startThread\n");
    setStopThread(0);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr,
                                           nullptr, static_ThreadFunction, this);
    if (!NT_SUCCESS(status))
        return status;
    PVOID object = nullptr;
    status =
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        // A thread nobody can wait for must not outlive its DataTransfer: stop it and wait
        // for its last act, which it performs on every way out.
        setStopThread(1);
        KeSetEvent(&_stop_requested_event, IO_NO_INCREMENT, FALSE);
        _buffer_queue.signal();
        waitUntilSignalled(&_transfer_stop_event, FALSE);
        KeClearEvent(&_transfer_stop_event);
        ZwClose(handle);
        return status;
    }
    // The reference is what stop() waits on; the handle is not needed any more.
    ZwClose(handle);
    _p_thread_object = object;
    return status;
}

TransferBuffer* DataTransfer::allocateBuffer() {
    RAVO_TRACE("DataTransfer::allocateBuffer\n");
    TransferBuffer* buffer = new TransferBuffer;
    if (buffer == nullptr)
        return nullptr;
    buffer->_p_data = new UCHAR[_buffer_size];
    buffer->_p_irp = IoAllocateIrp(_p_pdo->StackSize, FALSE);
    buffer->_p_urb = reinterpret_cast<PURB>(new UCHAR[_urb_size]);
    if (buffer->_p_data != nullptr && buffer->_p_irp != nullptr && buffer->_p_urb != nullptr) {
        RtlZeroMemory(buffer->_p_data, _buffer_size);
        RtlZeroMemory(buffer->_p_urb, _urb_size);
        buffer->_queued = 0;
        InterlockedIncrement(&_buffer_count);
        return buffer;
    }
    RAVO_ERROR("DataTransfer::allocateBuffer: no memory for read buffer %d\n", _buffer_count);
    if (buffer->_p_irp != nullptr)
        IoFreeIrp(buffer->_p_irp);
    if (buffer->_p_data != nullptr)
        delete[] buffer->_p_data;
    if (buffer->_p_urb != nullptr)
        delete[] reinterpret_cast<PUCHAR>(buffer->_p_urb);
    delete buffer;
    return nullptr;
}

void DataTransfer::freeBuffer(TransferBuffer* buffer) {
    RAVO_TRACE("DataTransfer::freeBuffer\n");
    IoFreeIrp(buffer->_p_irp);
    delete[] buffer->_p_data;
    delete[] reinterpret_cast<PUCHAR>(buffer->_p_urb);
    delete buffer;
    InterlockedDecrement(&_buffer_count);
}

NTSTATUS DataTransfer::sendBuffer(TransferBuffer* buffer) {
    RAVO_TRACE("DataTransfer::sendBuffer\n");
    buffer->_p_owner = this;
    buffer->_io.irp = buffer->_p_irp;
    buffer->_io.urb = buffer->_p_urb;
    buffer->_io.urb_size = _urb_size;
    buffer->_io.callback = static_BufferComplete;
    buffer->_io.callback_context = buffer;
    buffer->_length = 0;
    NTSTATUS status =
        _p_usb->UsbAsyncIo(_pipe_num, _interface_num, buffer->_p_data, _buffer_size, &buffer->_io);
    if (NT_SUCCESS(status))
        return STATUS_SUCCESS;
    RAVO_ALWAYS("Error sending buffer to USB bus driver.  status = %x\n", status);
    _buffer_queue.putBuffer(buffer);
    return STATUS_UNSUCCESSFUL;
}

void DataTransfer::static_BufferComplete(PVOID callback_context, NTSTATUS status, ULONG length,
                                         UsbTransferContext* context) {
    (void)context;
    RAVO_TRACE("DataTransfer::static_BufferComplete\n");
    auto* buffer = static_cast<TransferBuffer*>(callback_context);
    if (buffer == nullptr)
        return;
    buffer->_length = (status == STATUS_SUCCESS && length > 0) ? length : 0;
    buffer->_status = status;
    buffer->_p_owner->_buffer_queue.putBuffer(buffer);
}

void DataTransfer::joinThread() {
    if (_p_thread_object == nullptr)
        return;
    _buffer_queue.signal();
    waitUntilSignalled(_p_thread_object, TRUE);
    ObDereferenceObject(_p_thread_object);
    _p_thread_object = nullptr;
}

void DataTransfer::releaseBuffers() {
    NTSTATUS aborted = _p_usb->UsbAbortPipe(_pipe_num, _interface_num);
    if (!NT_SUCCESS(aborted))
        RAVO_ERROR("DataTransfer: the reads could not be aborted (status=%x); trying again\n",
                   aborted);
    while (bufferCount() != 0) {
        // Reads that wait for data come back only through an abort: without one (no memory
        // for its request, say) this loop would wait for them forever.
        if (!NT_SUCCESS(aborted))
            aborted = _p_usb->UsbAbortPipe(_pipe_num, _interface_num);
        while (TransferBuffer* buffer = _buffer_queue.getBuffer())
            freeBuffer(buffer);
        if (bufferCount() == 0)
            break;
        // The queue's event may still be set by an earlier signal() with nothing queued:
        // waiting on it as it is would turn this loop into a spin.
        _buffer_queue.clearSignalIfEmpty();
        _buffer_queue.waitForBuffer(kStopPollMs);
    }
}

void DataTransfer::stop() {
    RAVO_TRACE("DataTransfer::stop\n");
    if (stopRequested())
        return;
    setStopThread(1);
    KeSetEvent(&_stop_requested_event, IO_NO_INCREMENT, FALSE);
    joinThread();
    releaseBuffers();
    waitTransferStop();
}

void DataTransfer::setTransferStopEvent() {
    RAVO_TRACE("DataTransfer::setTransferStopEvent\n");
    KeSetEvent(&_transfer_stop_event, IO_NO_INCREMENT, FALSE);
}

NTSTATUS DataTransfer::waitTransferStop() {
    RAVO_TRACE("DataTransfer::waitTransferStop\n");
    LARGE_INTEGER timeout;
    timeout.QuadPart = kTransferStopTimeout;
    NTSTATUS status =
        KeWaitForSingleObject(&_transfer_stop_event, Executive, KernelMode, FALSE, &timeout);
    KeClearEvent(&_transfer_stop_event);
    return status;
}

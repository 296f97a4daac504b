// The Device object: creation by the add-device routine, the per-device objects it owns,
// and its teardown.
#include "frame/Device.h"

#include "decode/IrControl.h"
#include "decode/KeyMap.h"
#include "decode/NecProtocol.h"
#include "decode/Rc5Protocol.h"
#include "decode/RlcParse.h"
#include "frame/MinidriverExtension.h"
#include "platform/Diagnostics.h"
#include "transfer/DataTransfer.h"
#include "usb/CUsbInterface.h"

namespace {

// Every owner deletes its objects only when they exist: the pool's delete reports a null.
template <typename T> void deleteObject(T*& object) {
    if (object != nullptr) {
        delete object;
        object = nullptr;
    }
}

} // namespace

Device::Device(PDEVICE_OBJECT fdo)
    : _state(NotStarted), _p_fdo(fdo), _p_ir_control(nullptr), _p_rlc_parse(nullptr),
      _p_protocol(nullptr), _p_usb(nullptr), _p_data_transfer(nullptr), _power_state(1),
      _os_build_number(0), _power_up_work(nullptr), _power_up_queued(0),
      _power_target(PowerDeviceD0) {
    KeInitializeMutex(&_objects_mutex, 0);
}

Device::~Device() {
    DeviceState previous = state();
    setState(Removed);
    lockObjects();
    if (previous == Started && _p_data_transfer != nullptr)
        _p_data_transfer->stop();
    deleteObjects();
    unlockObjects();
    _read_queue.drain();
    // Never queued here: a queued restart holds the remove lock, which the removal waited for.
    if (_power_up_work != nullptr)
        IoFreeWorkItem(_power_up_work);
}

PDEVICE_OBJECT Device::nextDevice() const {
    return static_cast<PHID_DEVICE_EXTENSION>(_p_fdo->DeviceExtension)->NextDeviceObject;
}

PDEVICE_OBJECT Device::physicalDevice() const {
    return static_cast<PHID_DEVICE_EXTENSION>(_p_fdo->DeviceExtension)->PhysicalDeviceObject;
}

void Device::lockObjects() {
    KeWaitForSingleObject(&_objects_mutex, Executive, KernelMode, FALSE, nullptr);
}

void Device::unlockObjects() {
    KeReleaseMutex(&_objects_mutex, FALSE);
}

NTSTATUS Device::static_add(PDRIVER_OBJECT driver, PDEVICE_OBJECT fdo) {
    (void)driver;
    RAVO_TRACE("Device::static_add : Build: %s , %s\n", __DATE__, __TIME__);
    MinidriverExtension* extension = minidriverExtension(fdo);
    // Ready before anything can fail: a request that still reaches a device whose Device
    // could not be created takes this lock before it finds _p_device null.
    IoInitializeRemoveLockEx(&extension->_remove_lock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
    extension->_p_device = new Device(fdo);
    if (extension->_p_device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // Allocated now, so that a power-up, which may complete at DISPATCH_LEVEL, never finds
    // itself without the item its restart needs.
    extension->_p_device->_power_up_work = IoAllocateWorkItem(fdo);
    if (extension->_p_device->_power_up_work == nullptr) {
        RAVO_ERROR("Device::static_add: no work item for the power-up restart, device not added\n");
        delete extension->_p_device;
        extension->_p_device = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RTL_OSVERSIONINFOEXW version;
    RtlZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    (void)RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&version));
    RAVO_NOTICE("Device::static_add OS build number: %d, version: %d.%d, service pack: %d.%d\n",
                version.dwBuildNumber, version.dwMajorVersion, version.dwMinorVersion,
                version.wServicePackMajor, version.wServicePackMinor);
    extension->_p_device->setOSBuildNumber(version.dwBuildNumber);

    ReadReportQueue::initCancelLock(fdo);
    return STATUS_SUCCESS;
}

NTSTATUS Device::init() {
    RAVO_TRACE("Device::init\n");
    lockObjects();
    NTSTATUS status = STATUS_SUCCESS;
    do {
        if (_p_usb == nullptr)
            _p_usb = new CUsbInterface(physicalDevice());
        if (_p_usb == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RAVO_ALWAYS("_p_usb created succ \n");
        status = _p_usb->InitDevice();
        if (!NT_SUCCESS(status))
            break;

        if (_p_ir_control == nullptr)
            _p_ir_control = new IR_Control(&_read_queue, KEY_MAP_DEFAULT);
        if (_p_ir_control == nullptr) {
            RAVO_ERROR("Could not allocate memory for IR Control object\n");
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RAVO_TRACE("IR_Control created successfully\n");

        if (_p_rlc_parse == nullptr) {
            NTSTATUS parser_status = STATUS_SUCCESS;
            _p_rlc_parse = new RLC_parse(&parser_status);
            if (_p_rlc_parse == nullptr || !NT_SUCCESS(parser_status)) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            status = parser_status;
        }
        RAVO_TRACE("RLC_parse created successfully\n");

        if (_p_protocol == nullptr)
            _p_protocol = createProtocolObject(DEVICE_PROTOCOL_NUMBER);
        if (_p_protocol == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RAVO_TRACE("Protocol object created successfully\n");

        if (_p_data_transfer == nullptr)
            _p_data_transfer = new DataTransfer(_p_usb, physicalDevice(), _p_ir_control,
                                                _p_rlc_parse, _p_protocol);
        if (_p_data_transfer == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RAVO_TRACE("DataTransfer created successfully\n");
    } while (false);
    if (!NT_SUCCESS(status))
        unInit();
    unlockObjects();
    return status;
}

IR_Protocol* Device::createProtocolObject(ULONG protocol) {
    RAVO_TRACE("Device::createProtocolObject\n");
    NTSTATUS status = STATUS_SUCCESS;
    IR_Protocol* decoder = nullptr;
    if (protocol == 0 || protocol == 1) {
        RAVO_TRACE("RC5 IR protocol is selected...\n");
        decoder = new RC5_Protocol(&status);
    } else if (protocol == 2) {
        RAVO_TRACE("NEC IR protocol is selected...\n");
        decoder = new NEC_Protocol(&status);
    } else {
        RAVO_INFO("Unsupported  IR protocol(0x%x)\n", protocol);
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        if (decoder != nullptr)
            delete decoder;
        return nullptr;
    }
    return decoder;
}

void Device::unInit() {
    lockObjects();
    deleteObjects();
    unlockObjects();
}

void Device::deleteObjects() {
    RAVO_TRACE("Device::unInit\n");
    // The parse thread uses the key translation, the parser and the decoder: it must be
    // gone before they are.
    if (_p_data_transfer != nullptr)
        _p_data_transfer->stop();
    deleteObject(_p_ir_control);
    deleteObject(_p_rlc_parse);
    deleteObject(_p_protocol);
    deleteObject(_p_data_transfer);
    deleteObject(_p_usb);
}

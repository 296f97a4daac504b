// What the device tells the HID class driver about itself: the HID descriptor, the report
// descriptor and the attribute values. Hosts parse these bytes; they are fixed.
#pragma once

#include "platform/platform.h"

#define HID_REPORT_DESCRIPTOR_SIZE 192

#define HID_DEVICE_VENDOR_ID 0xBEEF
#define HID_DEVICE_PRODUCT_ID 0xFEED
#define HID_DEVICE_VERSION_NUMBER 0x0101

// Input reports: byte 0 is the report ID; lengths include it.
#define HID_KEYBOARD_REPORT_ID 1
#define HID_KEYBOARD_REPORT_LENGTH 9
#define HID_CONSUMER_REPORT_ID 2
#define HID_CONSUMER_REPORT_LENGTH 4
#define HID_VENDOR_REPORT_ID 3
#define HID_VENDOR_REPORT_LENGTH 2
#define HID_SYSTEM_CONTROL_REPORT_ID 4
#define HID_SYSTEM_CONTROL_REPORT_LENGTH 2

// Keyboard report: modifier byte, reserved byte, then six key slots.
#define HID_KEYBOARD_MODIFIER_BYTE 1
#define HID_KEYBOARD_FIRST_KEY_BYTE 3
// System-control report: the Generic Desktop usage for System Power Down.
#define HID_SYSTEM_POWER_DOWN_USAGE 0x81

// The HID class descriptor (9 bytes); its report length field fixes how much of the
// report descriptor is served.
extern const HID_DESCRIPTOR HidDescriptor;
// The report descriptor: keyboard (ID 1), system control (ID 4), consumer control (ID 2)
// and a vendor-defined collection (ID 3); HID_REPORT_DESCRIPTOR_SIZE bytes.
extern const UCHAR HidReportDescriptor[];

#include "hid/HidDescriptors.h"

const HID_DESCRIPTOR HidDescriptor = {
    0x09,   // bLength
    0x21,   // bDescriptorType: HID
    0x0110, // bcdHID: 1.10
    0x00,   // bCountry: not localized
    0x01,   // bNumDescriptors
    {{
        0x22,                       // bReportType: report descriptor
        HID_REPORT_DESCRIPTOR_SIZE, // wReportLength
    }},
};
static_assert(sizeof(HID_DESCRIPTOR) == 9, "the HID descriptor is 9 bytes");

// clang-format off
const UCHAR HidReportDescriptor[] = {
    // Keyboard, report ID 1: modifier byte, reserved byte, six key slots.
    0x05, 0x01,       // Usage Page (Generic Desktop)
    0x09, 0x06,       // Usage (Keyboard)
    0xA1, 0x01,       // Collection (Application)
    0x05, 0x07,       //   Usage Page (Keyboard/Keypad)
    0x85, 0x01,       //   Report ID (1)
    0x19, 0xE0,       //   Usage Minimum (Left Control)
    0x29, 0xE7,       //   Usage Maximum (Right GUI)
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x01,       //   Logical Maximum (1)
    0x95, 0x08,       //   Report Count (8)
    0x75, 0x01,       //   Report Size (1)
    0x81, 0x02,       //   Input (Data, Variable, Absolute): one bit per modifier; as an array,
                      //   parsers read each set bit as an index (Ctrl and Alt as Shift)
    0x95, 0x01,       //   Report Count (1)
    0x75, 0x08,       //   Report Size (8)
    0x81, 0x01,       //   Input (Constant): reserved byte
    0x15, 0x01,       //   Logical Minimum (1): 0 is an empty slot, outside the range, for
    0x25, 0x65,       //   Logical Maximum (0x65)  parsers that count array indices from 1
    0x19, 0x01,       //   Usage Minimum (1)       (Wine's) as for those that start at the
    0x29, 0x65,       //   Usage Maximum (0x65)    Logical Minimum
    0x95, 0x06,       //   Report Count (6)
    0x75, 0x08,       //   Report Size (8)
    0x81, 0x00,       //   Input (Data, Array, Absolute): six key slots
    0xC0,             // End Collection

    // System control, report ID 4: one usage byte.
    0x05, 0x01,       // Usage Page (Generic Desktop)
    0x09, 0x80,       // Usage (System Control)
    0xA1, 0x01,       // Collection (Application)
    0x85, 0x04,       //   Report ID (4)
    0x15, 0x01,       //   Logical Minimum (1): 0 is no usage, as in the keyboard's slots
    0x26, 0xFF, 0x00, //   Logical Maximum (255): a one-byte 0xFF reads as -1 to signed parsers
    0x19, 0x01,       //   Usage Minimum (1)
    0x29, 0xFF,       //   Usage Maximum (0xFF)
    0x95, 0x01,       //   Report Count (1)
    0x75, 0x08,       //   Report Size (8)
    0x81, 0x00,       //   Input (Data, Array, Absolute)
    0xC0,             // End Collection

    // Consumer control, report ID 2: three bytes of single-bit controls.
    0x05, 0x0C,       // Usage Page (Consumer)
    0x09, 0x01,       // Usage (Consumer Control)
    0xA1, 0x01,       // Collection (Application)
    0x85, 0x02,       //   Report ID (2)
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x01,       //   Logical Maximum (1)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x01,       //   Report Count (1)
    0x09, 0xE9,       //   Usage (Volume Increment)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0xEA,       //   Usage (Volume Decrement)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0xE2,       //   Usage (Mute)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x05,       //   Report Count (5)
    0x81, 0x01,       //   Input (Constant): pads byte 1
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x01,       //   Logical Maximum (1)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x01,       //   Report Count (1)
    0x09, 0x9C,       //   Usage (Channel Increment)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0x9D,       //   Usage (Channel Decrement)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x06,       //   Report Count (6)
    0x81, 0x01,       //   Input (Constant): pads byte 2
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x01,       //   Logical Maximum (1)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x01,       //   Report Count (1)
    0x09, 0xB0,       //   Usage (Play)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0xB7,       //   Usage (Stop)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0xB1,       //   Usage (Pause)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0xB2,       //   Usage (Record)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0xB3,       //   Usage (Fast Forward)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x09, 0xB4,       //   Usage (Rewind)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x02,       //   Report Count (2)
    0x81, 0x01,       //   Input (Constant): pads byte 3
    0xC0,             // End Collection

    // Vendor-defined, report ID 3: one bit.
    0x06, 0xBC, 0xFF, // Usage Page (vendor-defined 0xFFBC)
    0x09, 0x88,       // Usage (0x88)
    0xA1, 0x01,       // Collection (Application)
    0x85, 0x03,       //   Report ID (3)
    0x09, 0x4B,       //   Usage (0x4B)
    0x15, 0x00,       //   Logical Minimum (0)
    0x25, 0x01,       //   Logical Maximum (1)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x01,       //   Report Count (1)
    0x81, 0x02,       //   Input (Data, Variable, Absolute)
    0x75, 0x01,       //   Report Size (1)
    0x95, 0x07,       //   Report Count (7)
    0x81, 0x01,       //   Input (Constant): pads the byte
    0xC0,             // End Collection
};
// clang-format on

// The array takes its size from the bytes listed, so a lost or doubled byte stops the build
// instead of shifting every item after it.
static_assert(sizeof(HidReportDescriptor) == HID_REPORT_DESCRIPTOR_SIZE,
              "the report descriptor is 192 bytes");
